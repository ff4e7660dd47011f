#include "mp3enc/LameEnc.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <lame/lame.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace tunevert {

namespace {

// The libmp3lame functions the layer calls, typed from the library's own header.
struct TLameApi {
#define TV_LAME_FN(name) decltype(&::name) name = nullptr;
  TV_LAME_FN(lame_init)
  TV_LAME_FN(lame_close)
  TV_LAME_FN(lame_init_params)
  TV_LAME_FN(lame_set_in_samplerate)
  TV_LAME_FN(lame_set_out_samplerate)
  TV_LAME_FN(lame_set_num_channels)
  TV_LAME_FN(lame_set_mode)
  TV_LAME_FN(lame_set_brate)
  TV_LAME_FN(lame_set_quality)
  TV_LAME_FN(lame_set_copyright)
  TV_LAME_FN(lame_set_original)
  TV_LAME_FN(lame_set_error_protection)
  TV_LAME_FN(lame_set_extension)
  TV_LAME_FN(lame_set_emphasis)
  TV_LAME_FN(lame_set_strict_ISO)
  TV_LAME_FN(lame_set_disable_reservoir)
  TV_LAME_FN(lame_set_bWriteVbrTag)
  TV_LAME_FN(lame_set_VBR)
  TV_LAME_FN(lame_set_VBR_q)
  TV_LAME_FN(lame_set_VBR_mean_bitrate_kbps)
  TV_LAME_FN(lame_set_VBR_min_bitrate_kbps)
  TV_LAME_FN(lame_set_VBR_max_bitrate_kbps)
  TV_LAME_FN(lame_get_framesize)
  TV_LAME_FN(lame_encode_buffer)
  TV_LAME_FN(lame_encode_buffer_interleaved)
  TV_LAME_FN(lame_encode_flush)
  TV_LAME_FN(lame_encode_flush_nogap)
  TV_LAME_FN(lame_get_lametag_frame)
#undef TV_LAME_FN
};

struct TLoadedLame {
  TLameApi Api;
  TLameEntryPoints Entries;
};

std::atomic<TLoadedLame*> gLoaded{nullptr};
// Tables forgotten by SetLameLibraryName stay reachable here; streams may still point at
// them.
std::vector<std::unique_ptr<TLoadedLame>> gRetired;
std::mutex gNameLock;
std::string gLibraryName = "libmp3lame.so.0";

struct TLameStream {
  const TLameApi* Api;
  lame_global_flags* Flags;
  int Channels;
  uint32_t BufferSize;
  bool InfoTag;
};

std::mutex gStreamsLock;
std::map<HBE_STREAM, std::unique_ptr<TLameStream>> gStreams;
HBE_STREAM gNextHandle = 1;

// The Xing/Info frame of the stream closed last on this thread: the output closes the stream
// and then asks for the frame to be written into the finished file, on the same thread.
thread_local std::vector<uint8_t> tPendingInfoFrame;

TLameStream* FindStream(HBE_STREAM Stream) {
  std::lock_guard lock(gStreamsLock);
  auto it = gStreams.find(Stream);
  return it == gStreams.end() ? nullptr : it->second.get();
}

std::unique_ptr<TLameStream> TakeStream(HBE_STREAM Stream) {
  std::lock_guard lock(gStreamsLock);
  auto it = gStreams.find(Stream);
  if (it == gStreams.end()) return nullptr;
  auto s = std::move(it->second);
  gStreams.erase(it);
  return s;
}

std::vector<uint8_t> InfoFrame(const TLameStream& S) {
  std::vector<uint8_t> frame(2880);
  const size_t n = S.Api->lame_get_lametag_frame(S.Flags, frame.data(), frame.size());
  frame.resize(n <= frame.size() ? n : 0);
  return frame;
}

// Overwrites the placeholder the encoder left as the first frame, after an ID3v2 tag if any.
BE_ERR WriteInfoFrame(const char* FileName, const std::vector<uint8_t>& Frame) {
  if (FileName == nullptr) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  // No frame to write: the encoder writes none where a frame of the stream's bitrate
  // cannot hold it.
  if (Frame.empty()) return BE_ERR_SUCCESSFUL;
  const int fd = open(FileName, O_RDWR | O_CLOEXEC);
  if (fd < 0) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  uint8_t head[10];
  off_t at = 0;
  if (pread(fd, head, 10, 0) == 10 && head[0] == 'I' && head[1] == 'D' && head[2] == '3') {
    at = 10 + ((head[6] & 0x7F) << 21 | (head[7] & 0x7F) << 14 | (head[8] & 0x7F) << 7 |
               (head[9] & 0x7F));
    if (head[5] & 0x10) at += 10;  // footer
  }
  uint8_t sync[2];
  BE_ERR result = BE_ERR_INVALID_FORMAT;
  if (pread(fd, sync, 2, at) == 2 && sync[0] == 0xFF && (sync[1] & 0xE0) == 0xE0) {
    ssize_t written = 0;
    do {
      written = pwrite(fd, Frame.data(), Frame.size(), at);
    } while (written < 0 && errno == EINTR);
    // A short write inside the file's old length means the device failed.
    if (written >= 0 && written != static_cast<ssize_t>(Frame.size())) errno = EIO;
    if (written == static_cast<ssize_t>(Frame.size())) result = BE_ERR_SUCCESSFUL;
  }
  // errno keeps the first failure's reason for the caller; a failing close loses the frame.
  const int error = errno;
  if (close(fd) != 0 && errno != EINTR && result == BE_ERR_SUCCESSFUL) return BE_ERR_INVALID_FORMAT;
  errno = error;
  return result;
}

BE_ERR InitStream(BE_CONFIG* Config, uint32_t* Samples, uint32_t* BufferSize, HBE_STREAM* Stream) {
  TLoadedLame* loaded = gLoaded.load(std::memory_order_acquire);
  if (loaded == nullptr) return BE_ERR_INVALID_FORMAT;
  if (Config == nullptr || Samples == nullptr || BufferSize == nullptr || Stream == nullptr)
    return BE_ERR_INVALID_FORMAT_PARAMETERS;
  const BE_CONFIG c = *Config;
  if (c.dwConfig != BE_CONFIG_LAME) return BE_ERR_INVALID_FORMAT;
  if (c.dwSampleRate1 == 0 || c.dwSampleRate1 > 192000 || c.nMode < BE_MP3_MODE_STEREO ||
      c.nMode > BE_MP3_MODE_MONO)
    return BE_ERR_INVALID_FORMAT_PARAMETERS;
  const TLameApi& L = loaded->Api;
  lame_global_flags* gf = L.lame_init();
  if (gf == nullptr) return BE_ERR_NO_MORE_HANDLES;

  const int channels = c.nMode == BE_MP3_MODE_MONO ? 1 : 2;
  static constexpr MPEG_mode kModes[] = {STEREO, JOINT_STEREO, DUAL_CHANNEL, MONO};
  L.lame_set_in_samplerate(gf, static_cast<int>(c.dwSampleRate1));
  // Without a resample rate the output keeps the input's rate where MP3 has it; the library
  // alone would drop the rate at low bitrates.
  static constexpr uint32_t kMp3Rates[] = {8000,  11025, 12000, 16000, 22050,
                                           24000, 32000, 44100, 48000};
  uint32_t outRate = c.dwReSampleRate;
  if (outRate == 0 &&
      std::find(std::begin(kMp3Rates), std::end(kMp3Rates), c.dwSampleRate1) != std::end(kMp3Rates))
    outRate = c.dwSampleRate1;
  if (outRate != 0) L.lame_set_out_samplerate(gf, static_cast<int>(outRate));
  L.lame_set_num_channels(gf, channels);
  L.lame_set_mode(gf, kModes[c.nMode]);
  L.lame_set_error_protection(gf, c.bCRC1 != 0);
  L.lame_set_copyright(gf, c.bCopyright1 != 0);
  L.lame_set_original(gf, c.bOriginal1 != 0);
  L.lame_set_extension(gf, c.bPrivate1 != 0);
  L.lame_set_emphasis(gf, static_cast<int>(c.dwEmphasis & 3));
  L.lame_set_strict_ISO(gf, c.bStrictIso != 0);
  L.lame_set_disable_reservoir(gf, c.bNoRes != 0);
  L.lame_set_bWriteVbrTag(gf, c.bWriteVBRHeader != 0);
  // The low byte of nQuality is the algorithm quality (0 best, 9 fastest); 0 as a whole
  // leaves the library's default.
  if (c.nQuality != 0 && (c.nQuality & 0xFF) <= 9) L.lame_set_quality(gf, c.nQuality & 0xFF);

  // The average may come in kbit/s (as this program's output passes it) or in bit/s.
  const uint32_t abrKbps = c.dwVbrAbr_bps >= 1000 ? c.dwVbrAbr_bps / 1000 : c.dwVbrAbr_bps;
  if (c.nVbrMethod == VBR_METHOD_ABR && abrKbps != 0) {
    L.lame_set_VBR(gf, vbr_abr);
    L.lame_set_VBR_mean_bitrate_kbps(gf, static_cast<int>(abrKbps));
    if (c.dwMaxBitrate != 0) L.lame_set_VBR_max_bitrate_kbps(gf, static_cast<int>(c.dwMaxBitrate));
  } else if (c.bEnableVBR != 0) {
    L.lame_set_VBR(gf, vbr_default);
    L.lame_set_VBR_q(gf, c.nVBRQuality < 0 ? 0 : c.nVBRQuality > 9 ? 9 : c.nVBRQuality);
    if (c.dwBitrate != 0) L.lame_set_VBR_min_bitrate_kbps(gf, static_cast<int>(c.dwBitrate));
    if (c.dwMaxBitrate != 0) L.lame_set_VBR_max_bitrate_kbps(gf, static_cast<int>(c.dwMaxBitrate));
  } else {
    L.lame_set_VBR(gf, vbr_off);
    L.lame_set_brate(gf, c.dwBitrate != 0 ? static_cast<int>(c.dwBitrate) : 128);
  }
  if (L.lame_init_params(gf) < 0) {
    L.lame_close(gf);
    return BE_ERR_INVALID_FORMAT_PARAMETERS;
  }
  const auto samples = static_cast<uint32_t>(L.lame_get_framesize(gf) * channels);
  // The library's documented worst case for one call: 1.25 x samples + 7200.
  const uint32_t bufferSize = samples + samples / 4 + 7200;
  auto s = std::make_unique<TLameStream>(
      TLameStream{&L, gf, channels, bufferSize, c.bWriteVBRHeader != 0});
  {
    std::lock_guard lock(gStreamsLock);
    while (gNextHandle == 0 || gStreams.count(gNextHandle) != 0) ++gNextHandle;
    *Stream = gNextHandle++;
    gStreams.emplace(*Stream, std::move(s));
  }
  *Samples = samples;
  *BufferSize = bufferSize;
  return BE_ERR_SUCCESSFUL;
}

BE_ERR EncodeChunk(HBE_STREAM Stream, uint32_t Samples, const int16_t* Pcm, uint8_t* Output,
                   uint32_t* OutputBytes) {
  if (OutputBytes != nullptr) *OutputBytes = 0;
  TLameStream* s = FindStream(Stream);
  if (s == nullptr) return BE_ERR_INVALID_HANDLE;
  if (OutputBytes == nullptr || Output == nullptr || (Pcm == nullptr && Samples != 0))
    return BE_ERR_INVALID_FORMAT_PARAMETERS;
  const int frames = static_cast<int>(Samples / static_cast<uint32_t>(s->Channels));
  // The library's API takes non-const sample pointers but only reads them.
  auto* pcm = const_cast<short*>(reinterpret_cast<const short*>(Pcm));
  const int n = s->Channels == 2
                    ? s->Api->lame_encode_buffer_interleaved(s->Flags, pcm, frames, Output,
                                                             static_cast<int>(s->BufferSize))
                    : s->Api->lame_encode_buffer(s->Flags, pcm, pcm, frames, Output,
                                                 static_cast<int>(s->BufferSize));
  if (n == -1) return BE_ERR_BUFFER_TOO_SMALL;
  if (n < 0) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  *OutputBytes = static_cast<uint32_t>(n);
  return BE_ERR_SUCCESSFUL;
}

BE_ERR Flush(HBE_STREAM Stream, uint8_t* Output, uint32_t* OutputBytes, bool NoGap) {
  if (OutputBytes != nullptr) *OutputBytes = 0;
  TLameStream* s = FindStream(Stream);
  if (s == nullptr) return BE_ERR_INVALID_HANDLE;
  if (Output == nullptr || OutputBytes == nullptr) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  const int size = static_cast<int>(s->BufferSize);
  const int n = NoGap ? s->Api->lame_encode_flush_nogap(s->Flags, Output, size)
                      : s->Api->lame_encode_flush(s->Flags, Output, size);
  if (n < 0) return BE_ERR_BUFFER_TOO_SMALL;
  *OutputBytes = static_cast<uint32_t>(n);
  return BE_ERR_SUCCESSFUL;
}

BE_ERR DeinitStream(HBE_STREAM Stream, uint8_t* Output, uint32_t* OutputBytes) {
  return Flush(Stream, Output, OutputBytes, false);
}

BE_ERR FlushNoGap(HBE_STREAM Stream, uint8_t* Output, uint32_t* OutputBytes) {
  return Flush(Stream, Output, OutputBytes, true);
}

BE_ERR CloseStream(HBE_STREAM Stream) {
  std::unique_ptr<TLameStream> s = TakeStream(Stream);
  if (s == nullptr) return BE_ERR_INVALID_HANDLE;
  tPendingInfoFrame.clear();
  if (s->InfoTag) tPendingInfoFrame = InfoFrame(*s);
  s->Api->lame_close(s->Flags);
  return BE_ERR_SUCCESSFUL;
}

BE_ERR WriteVBRHeader(const char* FileName) {
  const std::vector<uint8_t> frame = std::move(tPendingInfoFrame);
  tPendingInfoFrame.clear();
  return WriteInfoFrame(FileName, frame);
}

BE_ERR WriteInfoTag(HBE_STREAM Stream, const char* FileName) {
  std::unique_ptr<TLameStream> s = TakeStream(Stream);
  if (s == nullptr) return BE_ERR_INVALID_HANDLE;
  const BE_ERR result = FileName != nullptr && s->InfoTag ? WriteInfoFrame(FileName, InfoFrame(*s))
                                                          : BE_ERR_SUCCESSFUL;
  s->Api->lame_close(s->Flags);
  return result;
}

template <class F>
bool Resolve(void* Library, const char* Name, F& Fn) {
  Fn = reinterpret_cast<F>(dlsym(Library, Name));
  return Fn != nullptr;
}

}  // namespace

std::string LameLibraryName() {
  std::lock_guard lock(gNameLock);
  return gLibraryName;
}

void SetLameLibraryName(const std::string& Name) {
  std::lock_guard lock(gNameLock);
  gLibraryName = Name;
  if (TLoadedLame* old = gLoaded.exchange(nullptr)) gRetired.emplace_back(old);
}

void LoadLameLibrary() {
  if (gLoaded.load(std::memory_order_acquire) != nullptr) return;
  void* library = dlopen(LameLibraryName().c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return;
  auto loaded = std::make_unique<TLoadedLame>();
  TLameApi& L = loaded->Api;
  bool ok = true;
#define TV_RESOLVE(name) ok = Resolve(library, #name, L.name) && ok;
  TV_RESOLVE(lame_init)
  TV_RESOLVE(lame_close)
  TV_RESOLVE(lame_init_params)
  TV_RESOLVE(lame_set_in_samplerate)
  TV_RESOLVE(lame_set_out_samplerate)
  TV_RESOLVE(lame_set_num_channels)
  TV_RESOLVE(lame_set_mode)
  TV_RESOLVE(lame_set_brate)
  TV_RESOLVE(lame_set_quality)
  TV_RESOLVE(lame_set_copyright)
  TV_RESOLVE(lame_set_original)
  TV_RESOLVE(lame_set_error_protection)
  TV_RESOLVE(lame_set_extension)
  TV_RESOLVE(lame_set_emphasis)
  TV_RESOLVE(lame_set_strict_ISO)
  TV_RESOLVE(lame_set_disable_reservoir)
  TV_RESOLVE(lame_set_bWriteVbrTag)
  TV_RESOLVE(lame_set_VBR)
  TV_RESOLVE(lame_set_VBR_q)
  TV_RESOLVE(lame_set_VBR_mean_bitrate_kbps)
  TV_RESOLVE(lame_set_VBR_min_bitrate_kbps)
  TV_RESOLVE(lame_set_VBR_max_bitrate_kbps)
  TV_RESOLVE(lame_get_framesize)
  TV_RESOLVE(lame_encode_buffer)
  TV_RESOLVE(lame_encode_buffer_interleaved)
  TV_RESOLVE(lame_encode_flush)
  TV_RESOLVE(lame_encode_flush_nogap)
  TV_RESOLVE(lame_get_lametag_frame)
#undef TV_RESOLVE
  // A library without every function the layer calls counts as missing; it stays mapped,
  // like any library once opened.
  if (!ok) return;
  loaded->Entries = TLameEntryPoints{&InitStream,     &EncodeChunk, &DeinitStream, &CloseStream,
                                     &WriteVBRHeader, &FlushNoGap,  &WriteInfoTag};
  TLoadedLame* expected = nullptr;
  if (gLoaded.compare_exchange_strong(expected, loaded.get(), std::memory_order_acq_rel))
    loaded.release();
}

bool LameLoaded() {
  return gLoaded.load(std::memory_order_acquire) != nullptr;
}

const TLameEntryPoints& LameEntryPoints() {
  static const TLameEntryPoints kNone;
  const TLoadedLame* loaded = gLoaded.load(std::memory_order_acquire);
  return loaded != nullptr ? loaded->Entries : kNone;
}

}  // namespace tunevert
