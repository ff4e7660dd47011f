#pragma once

// The audio compression manager calls the WAV converter makes, with the platform's records,
// flags and result codes. Conversions offered: MPEG Layer-3 (format tag 0x55) to 16-bit PCM
// of the same channel count and rate.

#include <cstdint>

namespace tunevert {

using MMRESULT = uint32_t;
using HACMOBJ = void*;
using HACMDRIVER = void*;
struct TAcmStream;
using HACMSTREAM = TAcmStream*;

constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT ACMERR_NOTPOSSIBLE = 512;
constexpr MMRESULT ACMERR_BUSY = 513;
constexpr MMRESULT ACMERR_UNPREPARED = 514;

constexpr uint16_t WAVE_FORMAT_PCM = 1;
constexpr uint16_t WAVE_FORMAT_MPEGLAYER3 = 0x55;

constexpr uint32_t ACM_METRIC_MAX_SIZE_FORMAT = 50;
constexpr uint32_t ACM_FORMATSUGGESTF_WFORMATTAG = 0x10000;
constexpr uint32_t ACM_FORMATSUGGESTF_NCHANNELS = 0x20000;
constexpr uint32_t ACM_FORMATSUGGESTF_NSAMPLESPERSEC = 0x40000;
constexpr uint32_t ACM_FORMATSUGGESTF_WBITSPERSAMPLE = 0x80000;
constexpr uint32_t ACM_FORMATSUGGESTF_TYPEMASK = 0xFF0000;
constexpr uint32_t ACM_STREAMOPENF_QUERY = 1;
constexpr uint32_t ACM_STREAMOPENF_ASYNC = 2;
constexpr uint32_t ACM_STREAMOPENF_NONREALTIME = 4;
constexpr uint32_t ACM_STREAMSIZEF_SOURCE = 0;
constexpr uint32_t ACM_STREAMSIZEF_DESTINATION = 1;
constexpr uint32_t ACM_STREAMCONVERTF_BLOCKALIGN = 4;
constexpr uint32_t ACM_STREAMCONVERTF_START = 0x10;
constexpr uint32_t ACM_STREAMCONVERTF_END = 0x20;
constexpr uint32_t ACMSTREAMHEADER_STATUSF_DONE = 0x10000;
constexpr uint32_t ACMSTREAMHEADER_STATUSF_PREPARED = 0x20000;

#pragma pack(push, 1)
struct WAVEFORMATEX {
  uint16_t wFormatTag;
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t wBitsPerSample;
  uint16_t cbSize;  // bytes of format-specific data that follow
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);

// One conversion request: source bytes in, PCM out. cbStruct is sizeof(ACMSTREAMHEADER)
// (84 bytes in the 32-bit layout the format was defined with).
struct ACMSTREAMHEADER {
  uint32_t cbStruct;
  uint32_t fdwStatus;
  uintptr_t dwUser;
  uint8_t* pbSrc;
  uint32_t cbSrcLength;
  uint32_t cbSrcLengthUsed;
  uintptr_t dwSrcUser;
  uint8_t* pbDst;
  uint32_t cbDstLength;
  uint32_t cbDstLengthUsed;
  uintptr_t dwDstUser;
  uint32_t dwReservedDriver[10];
};

MMRESULT acmMetrics(HACMOBJ hao, uint32_t uMetric, void* pMetric);
MMRESULT acmFormatSuggest(HACMDRIVER had, const WAVEFORMATEX* pwfxSrc, WAVEFORMATEX* pwfxDst,
                          uint32_t cbwfxDst, uint32_t fdwSuggest);
MMRESULT acmStreamOpen(HACMSTREAM* phas, HACMDRIVER had, const WAVEFORMATEX* pwfxSrc,
                       const WAVEFORMATEX* pwfxDst, const void* pwfltr, uintptr_t dwCallback,
                       uintptr_t dwInstance, uint32_t fdwOpen);
MMRESULT acmStreamSize(HACMSTREAM has, uint32_t cbInput, uint32_t* pdwOutputBytes,
                       uint32_t fdwSize);
MMRESULT acmStreamPrepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwPrepare);
MMRESULT acmStreamConvert(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwConvert);
MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwUnprepare);
MMRESULT acmStreamClose(HACMSTREAM has, uint32_t fdwClose);

}  // namespace tunevert
