#include "app/OutputVerifier.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

#include "flac/AuFLAC.h"
#include "pipeline/FormatSpec.h"
#include "tags/WrittenTags.h"
#include "wav/AuWave.h"

namespace tunevert {

namespace {

// How far an output's decoded length may lie from what was delivered, in frames of the rate
// read back. Where the encoder resampled, the delivered length scaled to that rate is rarely
// whole, and either neighbour is right (the Opus output rounds it up). Measured with our outputs
// read back by our inputs, for 0, 1, 600 to 5000, 44101 and 441001 frames, 1 s and 10 s, at
// 8 kHz mono, 22.05 kHz mono, 44.1 kHz and 48 kHz stereo:
//
//   format  what reads back                                  allowed
//   .wav    the samples delivered                            exact
//   .flac   the samples delivered                            exact
//   .mp3    exact from LAME's delay and padding in its        exact from 0.5 s on; below,
//           Info/Xing frame; under 0.3 s the record           up to 1199 frames more
//           overstates the length (1 frame -> 1199 frames,
//           8 kHz VBR 600 -> 1199, 2000 -> 2351)
//   .wma    whole codec frames: ASF keeps no record of the    never less; up to one codec
//           length; the output completes its last frame       frame (512, 1024 or 2048
//           with silence                                      by rate) more
//   .ogg    exact: the last page's granule position ends it  exact
//   .opus   exact: pre-skip and the end granule position     exact
//   .m4a    exact: the edit list ends AAC at the source's     exact
//           length (ALAC has no delay or padding)
//
// A file of nothing delivered may read back as up to 1199 frames of digital silence (an
// empty MP3 or Opus file decodes to one frame of it here).
constexpr int64_t kEmptySilence = 1199;

bool Silent(const void* Data, uint32_t Bytes) {
  const auto* p = static_cast<const uint8_t*>(Data);
  for (uint32_t i = 0; i < Bytes; ++i)
    if (p[i] != 0) return false;
  return true;
}

// Large requests: the inputs hand out what they hold up to this, and every call has a cost.
constexpr uint32_t kReadBytes = 1 << 20;

// The file as its format's input reads it: the one the batch reads such sources with.
std::unique_ptr<TAuFileIn> MakeReader(const TFormatSpec& Format) {
  const TFormatSpec* reader = Format.ReadBackAs.empty() ? &Format : FindFormat(Format.ReadBackAs);
  if (reader == nullptr || !reader->Readable()) return nullptr;
  return std::unique_ptr<TAuFileIn>(reader->MakeInput(nullptr));
}

[[noreturn]] void Unreadable(const std::string& Reason) {
  throw EAuException("The written file could not be read back: " + Reason);
}

std::string Seconds(double Value, int Decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f s", Decimals, Value);
  return text;
}

// "12.4 s of 30.0 s", with more decimals or in samples where a tenth of a second does not
// show the difference.
std::string Lengths(int64_t Frames, int64_t Expected, uint32_t Rate, const char* Joint) {
  const double have = static_cast<double>(Frames) / Rate;
  const double want = static_cast<double>(Expected) / Rate;
  for (int decimals : {1, 3}) {
    const std::string a = Seconds(have, decimals), b = Seconds(want, decimals);
    if (a != b) return a + Joint + b;
  }
  return std::to_string(Frames) + " samples" + Joint + std::to_string(Expected) + " samples";
}

std::string FormatText(uint32_t Rate, uint32_t Channels, uint32_t Bits) {
  return std::to_string(Rate) + " Hz, " + std::to_string(Channels) + " channels, " +
         std::to_string(Bits) + " bits";
}

}  // namespace

void VerifyOutput(const std::string& FileName, const std::string& Format,
                  const TDeliveredAudio& Delivered, const std::function<bool()>& StopRequested) {
  const TFormatSpec* kind = FindFormat(Format);
  std::unique_ptr<TAuFileIn> in = kind == nullptr ? nullptr : MakeReader(*kind);
  if (in == nullptr) Unreadable("this program has no reader for " + Format + " files");
  if (kind->PrepareReadBack) kind->PrepareReadBack(*in);
  // Lossless outputs store 32-bit samples as 24: the delivered digest cannot describe them;
  // FLAC's own MD5 of what it stored can.
  auto* flac = dynamic_cast<TFLACIn*>(in.get());
  const bool narrowedFlac = flac != nullptr && Delivered.BitsPerSample > 24;
  if (flac != nullptr) flac->SetCheckMD5Signature(narrowedFlac);
  in->SetFileName(FileName);
  const std::string invalid = "it is not a valid " + kind->Name + " file";
  if (!in->Valid()) Unreadable(invalid);
  if (auto* wave = dynamic_cast<TWaveIn*>(in.get())) {
    // What we write is plain PCM; anything else was read by some other decoder's guess.
    const TWavType type = wave->WavType();
    if (type != TWavType::wtPCM && type != TWavType::wtExtPCM) Unreadable(invalid);
  }
  const uint32_t rate = in->SampleRate(), channels = in->Channels(), bits = in->BitsPerSample();
  const uint32_t frameBytes = channels * bits / 8;
  if (rate == 0 || frameBytes == 0) Unreadable(invalid);
  // Stored at another width (32 as 24, or 8 as 16 where the format has no 8-bit samples).
  const bool narrowed = kind->Lossless && bits != Delivered.BitsPerSample &&
                        (Delivered.BitsPerSample > 24 || Delivered.BitsPerSample == 8);
  const bool compareSamples = kind->Lossless && !narrowed;
  if (kind->Lossless && (rate != Delivered.SampleRate || channels != Delivered.Channels ||
                         (bits != Delivered.BitsPerSample && !narrowed)))
    Unreadable("it holds " + FormatText(rate, channels, bits) + " where " +
               FormatText(Delivered.SampleRate, Delivered.Channels, Delivered.BitsPerSample) +
               " were written");

  TPcmDigest digest;
  int64_t frames = 0;
  try {
    in->Init();
  } catch (const std::exception& e) {
    Unreadable(std::string("decoding failed at the start: ") + e.what());
  }
  bool stopped = false;
  bool audible = false;  // only looked for when nothing was delivered
  try {
    for (;;) {
      if (StopRequested && StopRequested()) {
        stopped = true;
        break;
      }
      void* block = nullptr;
      uint32_t bytes = kReadBytes / frameBytes * frameBytes;
      in->GetData(block, bytes);
      if (bytes == 0) break;
      if (compareSamples) digest.Update(block, bytes);
      if (Delivered.Frames == 0 && !Silent(block, bytes)) audible = true;
      frames += bytes / frameBytes;
    }
  } catch (const std::exception& e) {
    in->Reset();
    Unreadable("decoding failed at " + Seconds(static_cast<double>(frames) / rate, 1) + ": " +
               e.what());
  }
  in->Reset();
  if (stopped) throw EVerifyStopped();

  // The delivered length in frames of the rate read back: low and high differ where it is
  // not whole.
  int64_t low = Delivered.Frames, high = Delivered.Frames;
  if (Delivered.SampleRate != 0 && Delivered.SampleRate != rate) {
    const double scaled = static_cast<double>(Delivered.Frames) * rate / Delivered.SampleRate;
    low = static_cast<int64_t>(std::floor(scaled));
    high = static_cast<int64_t>(std::ceil(scaled));
  }
  int64_t excess = kind->ExcessAllowed ? kind->ExcessAllowed(Delivered, rate) : 0;
  if (Delivered.Frames == 0 && !kind->Lossless && !audible)
    excess = std::max(excess, kEmptySilence);
  if (frames < low) Unreadable("it ends after " + Lengths(frames, low, rate, " of "));
  if (frames > high + excess)
    Unreadable("it lasts " + Lengths(frames, high, rate, " where only ") + " were written");
  if (compareSamples && digest.Value() != Delivered.Digest)
    Unreadable("its audio differs from what was written");
  if (narrowedFlac && !flac->IsMD5SignatureValid())
    Unreadable("its audio does not match the checksum its encoder wrote");
}

namespace {

std::string PictureText(const TCarriedPicture& Picture) {
  static const char* const kTypes[] = {"other picture", "file icon", "other file icon",
                                       "front cover", "back cover"};
  return Picture.Type >= 0 && Picture.Type < static_cast<int>(std::size(kTypes))
             ? kTypes[Picture.Type]
             : "picture of type " + std::to_string(Picture.Type);
}

}  // namespace

void VerifyWrittenTags(const std::string& FileName, const std::string& Format,
                       const TCarriedTags& Written) {
  // An output given no tags has none to lose, and the tag library may be missing.
  if (Written.Empty()) return;
  TCarriedTags read;
  try {
    read = ReadWrittenTags(FileName, Format);
  } catch (const std::exception& e) {
    Unreadable(std::string("its tags could not be read: ") + e.what());
  }
  // What the output adds by itself (an M4A file's gapless record) was not handed to it.
  for (const std::string& key : FieldsOutputsAdd(Format))
    if (!Written.Text.count(key)) read.Text.erase(key);
  const std::vector<TCarriedPicture> writtenPictures = StoredPictures(Written.Pictures, Format),
                                     readPictures = StoredPictures(read.Pictures, Format);
  for (const TCarriedPicture& picture : writtenPictures)
    if (std::find(readPictures.begin(), readPictures.end(), picture) == readPictures.end())
      Unreadable("its " + PictureText(picture) + " differs from the one written");
  if (readPictures != writtenPictures) Unreadable("it holds pictures that were not written");
  const auto written = StoredFields(Written, Format), back = StoredFields(read, Format);
  std::string differ;
  for (const auto& [key, values] : written) {
    const auto found = back.find(key);
    if (found == back.end() || !SameStoredValues(key, values, found->second, Format))
      differ += (differ.empty() ? "" : ", ") + key;
  }
  for (const auto& [key, values] : back)
    if (!written.count(key)) differ += (differ.empty() ? "" : ", ") + key;
  if (!differ.empty()) Unreadable("its tags differ from those written (" + differ + ")");
}

}  // namespace tunevert
