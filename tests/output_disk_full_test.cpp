// A disk that fills while an output is written or finished: every format fails its run, with
// a message that names the system's error, wherever the failing write falls: the audio, the
// encoder's last frames or pages, the header rewritten at the end, or the close.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "AppTestFiles.h"
#include "FileSizeLimit.h"
#include "flac/AuFLACOut.h"
#include "mp3enc/AuLame.h"
#include "opus/AuOpus.h"
#include "pipeline/AuInput.h"
#include "platform/AuFileStream.h"
#include "platform/Exception.h"
#include "platform/Text.h"
#include "vorbis/AuVorbisOut.h"
#include "wav/AuWave.h"
#include "winmedia/AuWMAOut.h"

using namespace tunevert;
using namespace tunevert::testing;
namespace fs = std::filesystem;

namespace {

const std::string kFileTooLarge = "The output file could not be written: File too large";
const std::string kDeviceError = "The output file could not be written: Input/output error";

struct TFormat {
  const char* Name;
  std::function<TComponentPtr<TAuFileOut>()> Make;
  bool TakesStream;  // writes through a TStream a test can hand in
  // An 8-bit mono source of an odd length: the WAV output ends with the pad byte.
  bool OddSource = false;
};

void PrintTo(const TFormat& Format, std::ostream* Out) {
  *Out << Format.Name;
}

std::vector<TFormat> Formats() {
  return {
      {"wav", [] { return TComponentPtr<TAuFileOut>(MakeComponent<TWaveOut>()); }, true},
      {"wavpadded", [] { return TComponentPtr<TAuFileOut>(MakeComponent<TWaveOut>()); }, true,
       true},
      {"mp3", [] { return TComponentPtr<TAuFileOut>(MakeComponent<TMP3Out>()); }, true},
      {"mp3vbr",
       [] {
         auto out = MakeComponent<TMP3Out>();
         out->SetEnableVBR(true);
         return TComponentPtr<TAuFileOut>(std::move(out));
       },
       true},
      {"wma",
       [] {
         auto out = MakeComponent<TWMAOut>();
         out->SetDesiredBitrate(128);
         return TComponentPtr<TAuFileOut>(std::move(out));
       },
       false},
      {"flac", [] { return TComponentPtr<TAuFileOut>(MakeComponent<TFLACOut>()); }, true},
      {"ogg", [] { return TComponentPtr<TAuFileOut>(MakeComponent<TVorbisOut>()); }, true},
      {"opus", [] { return TComponentPtr<TAuFileOut>(MakeComponent<TOpusOut>()); }, true},
  };
}

// Three seconds of stereo 16-bit PCM in a WAV file, which every output takes.
std::string MakeSource(const TempDir& Dir, bool Odd = false) {
  const std::string path = Dir / "source.wav";
  if (Odd)
    WriteWav(path, RampPcm(3 * 44100 + 1, 1, 8), 1, 8, 44100);
  else
    WriteWav(path, RampPcm(3 * 44100, 2, 16), 2, 16, 44100);
  return path;
}

// Runs Out from Source into Target (or into Stream when given); the message of the failure,
// empty when the run went through.
std::string Convert(TAuFileOut& Out, const std::string& Source, const std::string& Target,
                    TStream* Stream = nullptr) {
  auto in = MakeComponent<TWaveIn>();
  in->SetFileName(Source);
  Out.SetInput(in.get());
  if (Stream != nullptr)
    Out.SetStream(Stream);
  else
    Out.SetFileName(Target);
  std::string message;
  try {
    Out.BlockingRun();
  } catch (const std::exception& e) {
    message = e.what();
    if (message.empty()) message = "(empty message)";
  }
  Out.SetInput(nullptr);
  Out.SetStream(nullptr);
  return message;
}

// A memory file that notes where each write lands; on demand it fails, as a failing device
// would, every write or rewinding seek that would change bytes already written.
class TRecordingStream final : public TStream {
 public:
  struct TWrite {
    int64_t At, Bytes;
  };
  bool FailRewrites = false;
  bool FailRewinds = false;
  std::vector<TWrite> Writes;

  int64_t Read(void* Buffer, int64_t Count) override { return FData.Read(Buffer, Count); }
  int64_t Write(const void* Buffer, int64_t Count) override {
    const int64_t at = FData.Position();
    if (FailRewrites && at < FData.Size()) throw EAuException(kDeviceError);
    Writes.push_back({at, Count});
    return FData.Write(Buffer, Count);
  }
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override {
    if (FailRewinds && Origin == TSeekOrigin::soBeginning && Offset < FData.Size())
      throw EAuException(kDeviceError);
    return FData.Seek(Offset, Origin);
  }
  int64_t Size() override { return FData.Size(); }
  void SetSize(int64_t NewSize) override { FData.SetSize(NewSize); }

  bool Rewrote() const {
    int64_t end = 0;
    for (const TWrite& w : Writes) {
      if (w.At < end) return true;
      end = std::max(end, w.At + w.Bytes);
    }
    return false;
  }

 private:
  TMemoryStream FData;
};

// The file size limits that cut a file of Size bytes in its last writes: its last byte, all
// of its last extending write, and the end of the write before that one.
std::vector<int64_t> CutPoints(int64_t Size, const std::vector<TRecordingStream::TWrite>& Writes) {
  std::vector<int64_t> starts;  // where each write that grew the file began
  int64_t end = 0;
  for (const auto& w : Writes)
    if (w.At + w.Bytes > end) {
      starts.push_back(std::max(w.At, end));
      end = w.At + w.Bytes;
    }
  std::vector<int64_t> cuts = {Size - 1};
  if (!starts.empty() && starts.back() != Size - 1) cuts.push_back(starts.back());
  if (starts.size() > 1) cuts.push_back(starts.back() - 1);
  return cuts;
}

class OutputDiskFull : public ::testing::TestWithParam<TFormat> {};

// Cut where the last frames, the last pages of the encoder's drain or the WAV pad byte go:
// the run fails and says why.
TEST_P(OutputDiskFull, CutInTheLastWritesFailsTheRun) {
  const TFormat& format = GetParam();
  TempDir dir;
  const std::string source = MakeSource(dir, format.OddSource);
  const std::string whole = dir / "whole.out";
  auto out = format.Make();
  ASSERT_EQ(Convert(*out, source, whole), "");
  const auto size = static_cast<int64_t>(fs::file_size(whole));

  // The WMA runtime writes by name; the last 2000 bytes go out as it ends the stream.
  std::vector<int64_t> cuts = {size - 1, size - 2000};
  if (format.TakesStream) {
    TRecordingStream recorded;
    ASSERT_EQ(Convert(*out, source, "", &recorded), "");
    // A file run may begin with a frame a stream run leaves out (MP3's info frame).
    const int64_t shift = size - recorded.Size();
    ASSERT_GE(shift, 0);
    for (auto& w : recorded.Writes) w.At += shift;
    cuts = CutPoints(size, recorded.Writes);
  }
  for (const int64_t cut : cuts) {
    SCOPED_TRACE("limit " + std::to_string(cut) + " of " + std::to_string(size));
    std::string message;
    {
      const FileSizeLimit limit(static_cast<rlim_t>(cut));
      message = Convert(*out, source, dir / "cut.out");
    }
    EXPECT_EQ(message, kFileTooLarge);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, OutputDiskFull, ::testing::ValuesIn(Formats()),
                         [](const auto& Param) { return std::string(Param.param.Name); });

// The outputs that rewrite their headers in place at the end: WAV its sizes, FLAC its
// STREAMINFO and seek table. The others write front to back (the MP3 info frame goes in by
// name, below).
std::vector<TFormat> RewritingFormats() {
  std::vector<TFormat> result;
  for (TFormat& format : Formats())
    if (std::string(format.Name) == "wav" || std::string(format.Name) == "flac")
      result.push_back(std::move(format));
  return result;
}

class OutputHeaderRewrite : public ::testing::TestWithParam<TFormat> {};

// A rewrite never grows the file, so no size limit reaches it: a device error does.
TEST_P(OutputHeaderRewrite, FailedRewriteFailsTheRun) {
  TempDir dir;
  const std::string source = MakeSource(dir);
  auto out = GetParam().Make();
  TRecordingStream plain;
  ASSERT_EQ(Convert(*out, source, "", &plain), "");
  ASSERT_TRUE(plain.Rewrote());
  for (const bool rewinds : {false, true}) {
    SCOPED_TRACE(rewinds ? "the seek back fails" : "the rewrite fails");
    TRecordingStream failing;
    failing.FailRewrites = !rewinds;
    failing.FailRewinds = rewinds;
    EXPECT_EQ(Convert(*out, source, "", &failing), kDeviceError);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, OutputHeaderRewrite, ::testing::ValuesIn(RewritingFormats()),
                         [](const auto& Param) { return std::string(Param.param.Name); });

// Stereo 16-bit silence that runs Hook on the worker when it hands out its end.
class TEndHookInput final : public TAuStreamedInput {
 public:
  TEndHookInput() : TAuStreamedInput(nullptr) {}
  std::function<void()> Hook;
  int64_t Frames = 44100;

 protected:
  uint32_t GetBitsPerSample() override { return 16; }
  uint32_t GetChannels() override { return 2; }
  uint32_t GetSampleRate() override { return 44100; }
  int64_t GetTotalSamples() override { return FTotalSamples; }
  void StartInput() override {
    FSampleSize = 4;
    FTotalSamples = Frames;
    FSize = Frames * 4;
    FPosition = 0;
    FLeft = FSize;
    BufStart = 1;
    BufEnd = 0;
    Busy = true;
  }
  void StopInput() override { Busy = false; }
  void ProduceData(void*& Buffer, uint32_t& Bytes) override {
    Bytes = static_cast<uint32_t>(std::min<int64_t>(Bytes & ~3u, FLeft));
    FBuf.assign(std::max<uint32_t>(Bytes, 1), 0);
    Buffer = FBuf.data();
    FLeft -= Bytes;
    if (FLeft == 0 && Hook) std::exchange(Hook, nullptr)();
  }
  bool SeekToSample(int64_t&) override { return false; }

 private:
  int64_t FLeft = 0;
  std::vector<uint8_t> FBuf;
};

// The MP3 output finishes its file by name: the frame with the length and the gapless trim
// goes over the first frame once the stream is closed. When the file cannot be opened again,
// the run fails instead of keeping a file that tells players the wrong length.
TEST(Mp3DiskFull, InfoFrameThatCannotBeWrittenFailsTheRun) {
  TempDir dir;
  const std::string target = dir / "gone.mp3";
  auto in = MakeComponent<TEndHookInput>();
  // The name goes before the encoder finishes; the stream still writes the open file.
  in->Hook = [&] { fs::remove(target); };
  auto out = MakeComponent<TMP3Out>();
  out->SetInput(in.get());
  out->SetFileName(target);
  std::string message;
  try {
    out->BlockingRun();
  } catch (const std::exception& e) {
    message = e.what();
  }
  EXPECT_EQ(message, "The output file could not be written: No such file or directory");
  EXPECT_EQ(in->Hook, nullptr) << "the input never reached its end";
  out->SetInput(nullptr);
}

// close(2) is the last place a file system reports lost data.
TEST(FileStreamClose, FailingCloseRaisesAndClosesOnce) {
  TempDir dir;
  TAuFileStream file(Utf8ToUtf16(dir / "closed.bin"), 0xFF00);
  ASSERT_EQ(file.Write("abc", 3), 3);
  ASSERT_EQ(::close(file.Handle()), 0);  // the descriptor is gone under the stream: EBADF
  try {
    file.Close();
    ADD_FAILURE() << "no error";
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "The output file could not be written: Bad file descriptor");
  }
  EXPECT_NO_THROW(file.Close());
  EXPECT_EQ(file.Handle(), -1);
}

}  // namespace
