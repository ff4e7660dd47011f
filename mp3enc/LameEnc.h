#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tunevert {

// The encoder interface the MP3 output talks to: a settings record, a 32-bit stream handle
// and seven operations, provided here on top of libmp3lame (loaded at run time).

using BE_ERR = uint32_t;
using HBE_STREAM = uint32_t;

inline constexpr BE_ERR BE_ERR_SUCCESSFUL = 0;
inline constexpr BE_ERR BE_ERR_INVALID_FORMAT = 1;
inline constexpr BE_ERR BE_ERR_INVALID_FORMAT_PARAMETERS = 2;
inline constexpr BE_ERR BE_ERR_NO_MORE_HANDLES = 3;
inline constexpr BE_ERR BE_ERR_INVALID_HANDLE = 4;
inline constexpr BE_ERR BE_ERR_BUFFER_TOO_SMALL = 5;

// dwConfig of the record's second layout, the only one the output fills.
inline constexpr uint32_t BE_CONFIG_LAME = 256;
inline constexpr int32_t VBR_METHOD_NEW = 2;
inline constexpr int32_t VBR_METHOD_ABR = 4;

// nMode values.
inline constexpr int32_t BE_MP3_MODE_STEREO = 0;
inline constexpr int32_t BE_MP3_MODE_JSTEREO = 1;
inline constexpr int32_t BE_MP3_MODE_DUALCHANNEL = 2;
inline constexpr int32_t BE_MP3_MODE_MONO = 3;

#pragma pack(push, 1)
// The settings record in its second layout. Booleans are 32-bit: 0 is false, anything else
// true.
struct BE_CONFIG {
  uint32_t dwConfig;
  uint32_t dwStructVersion;
  uint32_t dwStructSize;
  uint32_t dwSampleRate1;
  uint32_t dwReSampleRate;
  int32_t nMode;
  uint32_t dwBitrate;
  uint32_t dwMaxBitrate;
  int32_t nPreset;
  uint32_t dwMpegVersion;
  uint32_t dwPsyModel;
  uint32_t dwEmphasis;
  int32_t bPrivate1;
  int32_t bCRC1;
  int32_t bCopyright1;
  int32_t bOriginal1;
  int32_t bWriteVBRHeader;
  int32_t bEnableVBR;
  int32_t nVBRQuality;
  uint32_t dwVbrAbr_bps;
  int32_t nVbrMethod;
  int32_t bNoRes;
  int32_t bStrictIso;
  uint16_t nQuality;
  uint8_t btReserved[237];
};
#pragma pack(pop)

static_assert(sizeof(BE_CONFIG) == 331);
static_assert(offsetof(BE_CONFIG, dwSampleRate1) == 12);
static_assert(offsetof(BE_CONFIG, nMode) == 20);
static_assert(offsetof(BE_CONFIG, dwBitrate) == 24);
static_assert(offsetof(BE_CONFIG, dwMaxBitrate) == 28);
static_assert(offsetof(BE_CONFIG, nPreset) == 32);
static_assert(offsetof(BE_CONFIG, dwEmphasis) == 44);
static_assert(offsetof(BE_CONFIG, bPrivate1) == 48);
static_assert(offsetof(BE_CONFIG, bCRC1) == 52);
static_assert(offsetof(BE_CONFIG, bCopyright1) == 56);
static_assert(offsetof(BE_CONFIG, bOriginal1) == 60);
static_assert(offsetof(BE_CONFIG, bWriteVBRHeader) == 64);
static_assert(offsetof(BE_CONFIG, bEnableVBR) == 68);
static_assert(offsetof(BE_CONFIG, nVBRQuality) == 72);
static_assert(offsetof(BE_CONFIG, dwVbrAbr_bps) == 76);
static_assert(offsetof(BE_CONFIG, nVbrMethod) == 80);
static_assert(offsetof(BE_CONFIG, bNoRes) == 84);
static_assert(offsetof(BE_CONFIG, bStrictIso) == 88);
static_assert(offsetof(BE_CONFIG, nQuality) == 92);
static_assert(offsetof(BE_CONFIG, btReserved) == 94);

using BEINITSTREAM = BE_ERR (*)(BE_CONFIG* Config, uint32_t* Samples, uint32_t* BufferSize,
                                HBE_STREAM* Stream);
using BEENCODECHUNK = BE_ERR (*)(HBE_STREAM Stream, uint32_t Samples, const int16_t* Pcm,
                                 uint8_t* Output, uint32_t* OutputBytes);
using BEDEINITSTREAM = BE_ERR (*)(HBE_STREAM Stream, uint8_t* Output, uint32_t* OutputBytes);
using BECLOSESTREAM = BE_ERR (*)(HBE_STREAM Stream);
// FileName is UTF-8.
using BEWRITEVBRHEADER = BE_ERR (*)(const char* FileName);
using BEFLUSHNOGAP = BE_ERR (*)(HBE_STREAM Stream, uint8_t* Output, uint32_t* OutputBytes);
using BEWRITEINFOTAG = BE_ERR (*)(HBE_STREAM Stream, const char* FileName);

// Entry points; all set once the library is loaded.
struct TLameEntryPoints {
  BEINITSTREAM beInitStream = nullptr;
  BEENCODECHUNK beEncodeChunk = nullptr;
  BEDEINITSTREAM beDeinitStream = nullptr;
  BECLOSESTREAM beCloseStream = nullptr;
  BEWRITEVBRHEADER beWriteVBRHeader = nullptr;
  BEFLUSHNOGAP beFlushNoGap = nullptr;
  BEWRITEINFOTAG beWriteInfoTag = nullptr;
};

// Loads the encoder library unless loaded; a failure is retried on the next call. Takes no
// lock: concurrent callers race benignly and one result is kept. Never unloaded.
void LoadLameLibrary();
bool LameLoaded();
// Valid while LameLoaded().
const TLameEntryPoints& LameEntryPoints();
// The file name the loader tries ("libmp3lame.so.0").
std::string LameLibraryName();
// For tests: load from another file name from now on; a library already loaded is
// forgotten (it stays mapped). Only while no encoder stream is open.
void SetLameLibraryName(const std::string& Name);

}  // namespace tunevert
