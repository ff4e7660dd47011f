// The compression manager's MPEG Layer-3 codec, over libmpg123's feed interface.
#include "platform/msacm/msacm.h"

#include <mpg123.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "platform/CodecLibrary.h"

namespace tunevert {

namespace {

constexpr std::array<uint32_t, 9> kMpegRates = {8000,  11025, 12000, 16000, 22050,
                                                24000, 32000, 44100, 48000};

// sizeof(MPEGLAYER3WAVEFORMAT): the largest format record this codec knows.
constexpr uint32_t kMaxFormatSize = 30;

// libmpg123 is mapped with the first MPEG Layer-3 payload rather than at every start of the
// program. The header may rename a function for the file-offset width, hence the spelled
// expansion for the lookup.
#define TV_MPG123_FUNCTIONS(X)                                                          \
  X(mpg123_init)                                                                        \
  X(mpg123_new) X(mpg123_delete) X(mpg123_param) X(mpg123_format_none) X(mpg123_format) \
      X(mpg123_open_feed) X(mpg123_close) X(mpg123_feed) X(mpg123_decode_frame) X(mpg123_info2)
#define TV_SPELL(Name) #Name
#define TV_NAME_OF(Name) TV_SPELL(Name)

struct TMpg123Api {
#define TV_FIELD(Name) decltype(&Name) Name##_ = nullptr;
  TV_MPG123_FUNCTIONS(TV_FIELD)
#undef TV_FIELD
};

// The entry points, or null when the library cannot be loaded.
const TMpg123Api* Mpg123() {
  static TCodecLibrary library({"libmpg123.so.0"}, {
#define TV_ENTRY(Name) TV_NAME_OF(Name),
                                                       TV_MPG123_FUNCTIONS(TV_ENTRY)
#undef TV_ENTRY
                                                   });
  static TMpg123Api api;
  static bool complete = false;
  static std::once_flag filled;
  std::call_once(filled, [] {
    if (!library.Load()) return;
    complete = true;
#define TV_RESOLVE(Name)                                             \
  api.Name##_ = library.Function<decltype(&Name)>(TV_NAME_OF(Name)); \
  complete = complete && api.Name##_ != nullptr;
    TV_MPG123_FUNCTIONS(TV_RESOLVE)
#undef TV_RESOLVE
  });
  return complete ? &api : nullptr;
}

struct TMpg123Deleter {
  void operator()(mpg123_handle* h) const { Mpg123()->mpg123_delete_(h); }
};
using TMpg123Ptr = std::unique_ptr<mpg123_handle, TMpg123Deleter>;

bool IsMpegRate(uint32_t Rate) {
  return std::find(kMpegRates.begin(), kMpegRates.end(), Rate) != kMpegRates.end();
}

bool IsMp3Source(const WAVEFORMATEX& F) {
  return F.wFormatTag == WAVE_FORMAT_MPEGLAYER3 && (F.nChannels == 1 || F.nChannels == 2) &&
         IsMpegRate(F.nSamplesPerSec);
}

// The one PCM format an MP3 source converts to: its own channels and rate, 16 bits.
WAVEFORMATEX PcmFor(const WAVEFORMATEX& Src) {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = Src.nChannels;
  f.nSamplesPerSec = Src.nSamplesPerSec;
  f.wBitsPerSample = 16;
  f.nBlockAlign = static_cast<uint16_t>(Src.nChannels * 2);
  f.nAvgBytesPerSec = Src.nSamplesPerSec * f.nBlockAlign;
  f.cbSize = 0;
  return f;
}

bool SamePcm(const WAVEFORMATEX& A, const WAVEFORMATEX& B) {
  return A.wFormatTag == B.wFormatTag && A.nChannels == B.nChannels &&
         A.nSamplesPerSec == B.nSamplesPerSec && A.wBitsPerSample == B.wBitsPerSample &&
         A.nBlockAlign == B.nBlockAlign;
}

// Smallest Layer-3 frame at this rate (lowest bitrate, no padding) and the frames it carries:
// no stream of this rate yields more samples per byte.
void SmallestFrame(uint32_t Rate, uint64_t& Bytes, uint64_t& Samples) {
  if (Rate >= 32000) {
    Bytes = 144ull * 32000 / Rate;
    Samples = 1152;
  } else {
    Bytes = 72ull * 8000 / Rate;
    Samples = 576;
  }
}

// Whether P starts a Layer-3 frame header of the given sample rate.
bool IsLayer3Header(const uint8_t* P, uint32_t Rate) {
  if (P[0] != 0xFF || (P[1] & 0xE0) != 0xE0) return false;
  const int version = (P[1] >> 3) & 3;  // 0: MPEG-2.5, 2: MPEG-2, 3: MPEG-1
  const int layer = (P[1] >> 1) & 3;    // 1: Layer 3
  const int bitrate = P[2] >> 4;
  const int rateIndex = (P[2] >> 2) & 3;
  if (version == 1 || layer != 1 || bitrate == 0 || bitrate == 15 || rateIndex == 3) return false;
  static constexpr uint32_t kBase[3] = {44100, 48000, 32000};
  const uint32_t divisor = version == 3 ? 1 : version == 2 ? 2 : 4;
  return kBase[rateIndex] / divisor == Rate;
}

}  // namespace

struct TAcmStream {
  WAVEFORMATEX Src{};
  WAVEFORMATEX Dst{};
  TMpg123Ptr Decoder;
  // Set once the data cannot be decoded further (wrong layer or rate, decoder error, full
  // destination); later calls then deliver nothing.
  bool Ended = false;
  // The first frame header seen. The decoder confirms a frame by the header after it, so
  // at the end a copy of this header lets it give out a last frame it still holds.
  uint8_t FirstHeader[4] = {};
  bool HaveHeader = false;

  // Decodes every frame the decoder can finish into Out; returns the bytes written.
  uint32_t Drain(uint8_t* Out, uint32_t Room);
};

uint32_t TAcmStream::Drain(uint8_t* Out, uint32_t Room) {
  const TMpg123Api* api = Mpg123();  // loaded: this stream has a decoder
  mpg123_handle* mh = Decoder.get();
  uint32_t produced = 0;
  while (!Ended) {
    off_t frame = 0;
    unsigned char* audio = nullptr;
    size_t bytes = 0;
    const int rc = api->mpg123_decode_frame_(mh, &frame, &audio, &bytes);
    if (rc == MPG123_NEED_MORE || rc == MPG123_DONE) break;
    if (rc == MPG123_NEW_FORMAT) continue;  // only the declared format is allowed at all
    mpg123_frameinfo2 info{};
    if (rc != MPG123_OK || api->mpg123_info2_(mh, &info) != MPG123_OK || info.layer != 3 ||
        bytes > Room - produced) {
      Ended = true;
      break;
    }
    if (bytes > 0) std::memcpy(Out + produced, audio, bytes);
    produced += static_cast<uint32_t>(bytes);
  }
  return produced;
}

MMRESULT acmMetrics(HACMOBJ hao, uint32_t uMetric, void* pMetric) {
  if (pMetric == nullptr) return MMSYSERR_INVALPARAM;
  if (uMetric != ACM_METRIC_MAX_SIZE_FORMAT) return MMSYSERR_NOTSUPPORTED;
  if (hao != nullptr) return MMSYSERR_INVALHANDLE;
  const uint32_t size = kMaxFormatSize;
  std::memcpy(pMetric, &size, sizeof size);
  return MMSYSERR_NOERROR;
}

MMRESULT acmFormatSuggest(HACMDRIVER had, const WAVEFORMATEX* pwfxSrc, WAVEFORMATEX* pwfxDst,
                          uint32_t cbwfxDst, uint32_t fdwSuggest) {
  if (had != nullptr) return MMSYSERR_INVALHANDLE;
  if (pwfxSrc == nullptr || pwfxDst == nullptr) return MMSYSERR_INVALPARAM;
  if ((fdwSuggest & ~ACM_FORMATSUGGESTF_TYPEMASK) != 0) return MMSYSERR_INVALFLAG;
  if (cbwfxDst < sizeof(WAVEFORMATEX)) return MMSYSERR_INVALPARAM;
  if (!IsMp3Source(*pwfxSrc)) return ACMERR_NOTPOSSIBLE;
  const WAVEFORMATEX pcm = PcmFor(*pwfxSrc);
  // Restrictions the caller set in the destination must be ones this codec can meet.
  if ((fdwSuggest & ACM_FORMATSUGGESTF_WFORMATTAG) && pwfxDst->wFormatTag != pcm.wFormatTag)
    return ACMERR_NOTPOSSIBLE;
  if ((fdwSuggest & ACM_FORMATSUGGESTF_NCHANNELS) && pwfxDst->nChannels != pcm.nChannels)
    return ACMERR_NOTPOSSIBLE;
  if ((fdwSuggest & ACM_FORMATSUGGESTF_NSAMPLESPERSEC) &&
      pwfxDst->nSamplesPerSec != pcm.nSamplesPerSec)
    return ACMERR_NOTPOSSIBLE;
  if ((fdwSuggest & ACM_FORMATSUGGESTF_WBITSPERSAMPLE) &&
      pwfxDst->wBitsPerSample != pcm.wBitsPerSample)
    return ACMERR_NOTPOSSIBLE;
  *pwfxDst = pcm;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamOpen(HACMSTREAM* phas, HACMDRIVER had, const WAVEFORMATEX* pwfxSrc,
                       const WAVEFORMATEX* pwfxDst, const void* pwfltr, uintptr_t dwCallback,
                       uintptr_t dwInstance, uint32_t fdwOpen) {
  const bool query = (fdwOpen & ACM_STREAMOPENF_QUERY) != 0;
  if (phas != nullptr) *phas = nullptr;
  if (had != nullptr) return MMSYSERR_INVALHANDLE;
  if (pwfxSrc == nullptr || pwfxDst == nullptr || (phas == nullptr && !query))
    return MMSYSERR_INVALPARAM;
  // No callback kinds are offered, so neither a callback nor its instance data can be given.
  if ((fdwOpen & ~(ACM_STREAMOPENF_QUERY | ACM_STREAMOPENF_ASYNC | ACM_STREAMOPENF_NONREALTIME)) !=
          0 ||
      dwCallback != 0 || dwInstance != 0)
    return MMSYSERR_INVALFLAG;
  if (pwfltr != nullptr || (fdwOpen & ACM_STREAMOPENF_ASYNC)) return ACMERR_NOTPOSSIBLE;
  if (!IsMp3Source(*pwfxSrc) || !SamePcm(*pwfxDst, PcmFor(*pwfxSrc))) return ACMERR_NOTPOSSIBLE;
  if (query) return MMSYSERR_NOERROR;

  auto stream = std::unique_ptr<TAcmStream>(new (std::nothrow) TAcmStream);
  if (!stream) return MMSYSERR_NOMEM;
  stream->Src = *pwfxSrc;
  stream->Dst = *pwfxDst;
  const TMpg123Api* api = Mpg123();
  if (api == nullptr) return ACMERR_NOTPOSSIBLE;
  api->mpg123_init_();  // a no-op since libmpg123 1.27, needed before it
  int err = MPG123_OK;
  stream->Decoder.reset(api->mpg123_new_(nullptr, &err));
  if (!stream->Decoder) return MMSYSERR_NOMEM;
  mpg123_handle* mh = stream->Decoder.get();
  // No resampling and no format switches: every frame must have the declared rate, so the
  // size estimate stays an upper bound. No gapless trimming: a WAV payload has no
  // encoder-delay information, and other decoders deliver every frame whole.
  const long flags = MPG123_QUIET | MPG123_NO_FRANKENSTEIN;
  if (api->mpg123_param_(mh, MPG123_REMOVE_FLAGS, MPG123_GAPLESS | MPG123_AUTO_RESAMPLE, 0) !=
          MPG123_OK ||
      api->mpg123_param_(mh, MPG123_ADD_FLAGS, flags, 0) != MPG123_OK ||
      api->mpg123_format_none_(mh) != MPG123_OK ||
      api->mpg123_format_(mh, static_cast<long>(pwfxSrc->nSamplesPerSec),
                          pwfxSrc->nChannels == 1 ? MPG123_MONO : MPG123_STEREO,
                          MPG123_ENC_SIGNED_16) != MPG123_OK ||
      api->mpg123_open_feed_(mh) != MPG123_OK)
    return MMSYSERR_ERROR;
  *phas = stream.release();
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamSize(HACMSTREAM has, uint32_t cbInput, uint32_t* pdwOutputBytes,
                       uint32_t fdwSize) {
  if (has == nullptr) return MMSYSERR_INVALHANDLE;
  if (pdwOutputBytes == nullptr) return MMSYSERR_INVALPARAM;
  *pdwOutputBytes = 0;
  uint64_t frameBytes = 0, frameSamples = 0;
  SmallestFrame(has->Src.nSamplesPerSec, frameBytes, frameSamples);
  uint64_t bytes = 0;
  switch (fdwSize) {
    case ACM_STREAMSIZEF_SOURCE:
      // One frame more than whole smallest frames fit: a frame may straddle the end.
      bytes = (cbInput / frameBytes + 1) * frameSamples * has->Dst.nBlockAlign;
      break;
    case ACM_STREAMSIZEF_DESTINATION: {
      // The largest frames (320 or 160 kbit/s, padded) for as many frames as the PCM fills.
      const uint64_t frames = (cbInput / has->Dst.nBlockAlign + frameSamples - 1) / frameSamples;
      const uint64_t maxFrame =
          (frameSamples == 1152 ? 144ull * 320000 : 72ull * 160000) / has->Src.nSamplesPerSec + 1;
      bytes = frames * maxFrame;
      break;
    }
    default:
      return MMSYSERR_INVALFLAG;
  }
  if (bytes > UINT32_MAX) return ACMERR_NOTPOSSIBLE;
  *pdwOutputBytes = static_cast<uint32_t>(bytes);
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamPrepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwPrepare) {
  if (has == nullptr) return MMSYSERR_INVALHANDLE;
  if (pash == nullptr || pash->cbStruct < sizeof(ACMSTREAMHEADER)) return MMSYSERR_INVALPARAM;
  if (fdwPrepare != 0) return MMSYSERR_INVALFLAG;
  if ((pash->pbSrc == nullptr && pash->cbSrcLength != 0) ||
      (pash->pbDst == nullptr && pash->cbDstLength != 0))
    return MMSYSERR_INVALPARAM;
  pash->fdwStatus |= ACMSTREAMHEADER_STATUSF_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamConvert(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwConvert) {
  if (has == nullptr) return MMSYSERR_INVALHANDLE;
  if (pash == nullptr || pash->cbStruct < sizeof(ACMSTREAMHEADER)) return MMSYSERR_INVALPARAM;
  if ((fdwConvert &
       ~(ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END)) != 0)
    return MMSYSERR_INVALFLAG;
  if (!(pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED)) return ACMERR_UNPREPARED;
  pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_DONE;
  pash->cbSrcLengthUsed = 0;
  pash->cbDstLengthUsed = 0;
  const TMpg123Api* api = Mpg123();
  mpg123_handle* mh = has->Decoder.get();
  if (fdwConvert & ACM_STREAMCONVERTF_START) {
    api->mpg123_close_(mh);
    if (api->mpg123_open_feed_(mh) != MPG123_OK) return MMSYSERR_ERROR;
    has->Ended = false;
    has->HaveHeader = false;
  }
  // Bytes before the first frame header of the declared rate are skipped: a payload of
  // another rate is refused here rather than by the decoder.
  uint32_t start = 0;
  if (!has->HaveHeader) {
    start = pash->cbSrcLength;
    for (uint32_t i = 0; i + 4 <= pash->cbSrcLength; ++i)
      if (IsLayer3Header(pash->pbSrc + i, has->Src.nSamplesPerSec)) {
        std::memcpy(has->FirstHeader, pash->pbSrc + i, 4);
        has->HaveHeader = true;
        start = i;
        break;
      }
  }
  // The decoder keeps a partial frame itself, so all source bytes count as used.
  if (!has->Ended && start < pash->cbSrcLength &&
      api->mpg123_feed_(mh, pash->pbSrc + start, pash->cbSrcLength - start) != MPG123_OK)
    has->Ended = true;
  pash->cbSrcLengthUsed = pash->cbSrcLength;

  uint32_t produced = has->Drain(pash->pbDst, pash->cbDstLength);
  if (fdwConvert & ACM_STREAMCONVERTF_END) {
    // The header's frame never completes, so nothing of it is decoded; a torn last frame
    // of the source stays undecoded too.
    if (!has->Ended && has->HaveHeader && api->mpg123_feed_(mh, has->FirstHeader, 4) == MPG123_OK)
      produced += has->Drain(pash->pbDst + produced, pash->cbDstLength - produced);
    has->Ended = true;
  }
  pash->cbDstLengthUsed = produced;
  pash->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwUnprepare) {
  if (has == nullptr) return MMSYSERR_INVALHANDLE;
  if (pash == nullptr || pash->cbStruct < sizeof(ACMSTREAMHEADER)) return MMSYSERR_INVALPARAM;
  if (fdwUnprepare != 0) return MMSYSERR_INVALFLAG;
  if (!(pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED)) return ACMERR_UNPREPARED;
  pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamClose(HACMSTREAM has, uint32_t fdwClose) {
  if (has == nullptr) return MMSYSERR_INVALHANDLE;
  if (fdwClose != 0) return MMSYSERR_INVALFLAG;
  delete has;
  return MMSYSERR_NOERROR;
}

}  // namespace tunevert
