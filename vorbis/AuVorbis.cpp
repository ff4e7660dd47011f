// The binding to libvorbisfile: its loader and the Vorbis input over it.
#include "vorbis/AuVorbis.h"

#define OV_EXCLUDE_STATIC_CALLBACKS
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/Text.h"
#include "vorbis/VorbisLibs.h"

namespace tunevert {

namespace {

// The libvorbisfile calls the input makes, typed from the library's own header.
struct TVorbisFileApi {
  decltype(&::ov_test_callbacks) test_callbacks = nullptr;
  decltype(&::ov_test_open) test_open = nullptr;
  decltype(&::ov_comment) comment = nullptr;
  decltype(&::ov_info) info = nullptr;
  decltype(&::ov_pcm_total) pcm_total = nullptr;
  decltype(&::ov_read) read = nullptr;
  decltype(&::ov_pcm_seek) pcm_seek = nullptr;
  decltype(&::ov_clear) clear = nullptr;
  decltype(&::ov_seekable) seekable = nullptr;
  decltype(&::ov_streams) streams = nullptr;
  decltype(&::ov_bitrate_instant) bitrate_instant = nullptr;
};

TVorbisFileApi Api;

std::string LowerAscii(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

}  // namespace

TCodecLibrary& VorbisFileLibrary() {
  static TCodecLibrary library(
      {"libvorbisfile.so.3"},
      {"ov_clear",          "ov_open_callbacks",  "ov_test_callbacks", "ov_test_open",
       "ov_bitrate",        "ov_bitrate_instant", "ov_streams",        "ov_seekable",
       "ov_serialnumber",   "ov_raw_total",       "ov_pcm_total",      "ov_time_total",
       "ov_raw_seek",       "ov_pcm_seek",        "ov_pcm_seek_page",  "ov_time_seek",
       "ov_time_seek_page", "ov_raw_tell",        "ov_pcm_tell",       "ov_time_tell",
       "ov_info",           "ov_comment",         "ov_read_float",     "ov_read"});
  return library;
}

bool LoadVorbisFileLibrary() {
  TCodecLibrary& library = VorbisFileLibrary();
  const bool wasLoaded = library.Loaded();
  if (!library.Load()) return false;
  if (!wasLoaded) {
    std::lock_guard lock(LibraryLoadLock());
    if (Api.read == nullptr) {
      Api.test_callbacks = library.Function<decltype(Api.test_callbacks)>("ov_test_callbacks");
      Api.test_open = library.Function<decltype(Api.test_open)>("ov_test_open");
      Api.comment = library.Function<decltype(Api.comment)>("ov_comment");
      Api.info = library.Function<decltype(Api.info)>("ov_info");
      Api.pcm_total = library.Function<decltype(Api.pcm_total)>("ov_pcm_total");
      Api.pcm_seek = library.Function<decltype(Api.pcm_seek)>("ov_pcm_seek");
      Api.clear = library.Function<decltype(Api.clear)>("ov_clear");
      Api.seekable = library.Function<decltype(Api.seekable)>("ov_seekable");
      Api.streams = library.Function<decltype(Api.streams)>("ov_streams");
      Api.bitrate_instant = library.Function<decltype(Api.bitrate_instant)>("ov_bitrate_instant");
      Api.read = library.Function<decltype(Api.read)>("ov_read");
    }
  }
  return true;
}

// The decoder's data source is the input; no exception may cross back into the C library.
struct TVorbisCallbacks {
  static size_t Read(void* ptr, size_t size, size_t nmemb, void* datasource) {
    auto* self = static_cast<TVorbisIn*>(datasource);
    if (self->FStream == nullptr || size == 0) return 0;
    try {
      const int64_t got = self->FStream->Read(ptr, static_cast<int64_t>(size * nmemb));
      return got > 0 ? static_cast<size_t>(got) / size : 0;
    } catch (...) {
      return 0;
    }
  }

  static int Seek(void* datasource, ogg_int64_t offset, int whence) {
    auto* self = static_cast<TVorbisIn*>(datasource);
    if (!self->FSeekable || self->FStream == nullptr) return -1;
    TSeekOrigin origin = TSeekOrigin::soBeginning;
    if (whence == SEEK_CUR) origin = TSeekOrigin::soCurrent;
    if (whence == SEEK_END) origin = TSeekOrigin::soEnd;
    try {
      // 0 or -1 as fseek gives: the decoder takes any other value for a failure.
      return self->FStream->Seek(offset, origin) < 0 ? -1 : 0;
    } catch (...) {
      return -1;
    }
  }

  static int Close(void* datasource) {
    auto* self = static_cast<TVorbisIn*>(datasource);
    try {
      if (self->OwnsStream()) {
        self->FreeOwnStream();
      } else if (self->FStreamAssigned && self->FStream != nullptr) {
        self->FStream->Seek(0, TSeekOrigin::soBeginning);
      }
    } catch (...) {
    }
    return 0;
  }

  static long Tell(void* datasource) {
    auto* self = static_cast<TVorbisIn*>(datasource);
    if (self->FStream == nullptr) return -1;
    try {
      return static_cast<long>(self->FStream->Position());
    } catch (...) {
      return -1;
    }
  }
};

TVorbisIn::TVorbisIn(TComponent* AOwner)
    : TAuTaggedFileIn(AOwner),
      FComments(std::make_unique<TVorbisTags>()),
      VFile(std::make_unique<OggVorbis_File>()) {
  std::memset(VFile.get(), 0, sizeof(OggVorbis_File));
}

TVorbisIn::~TVorbisIn() {
  try {
    TVorbisIn::CloseSource();
  } catch (...) {
  }
}

void TVorbisIn::OpenSource() {
  std::lock_guard lock(*OpenCS);
  if (FOpened != 0) return;
  // All four are tried, so each retries its load, before the first missing one is named.
  const bool loaded[] = {LoadOggLibrary(), LoadVorbisLibrary(), LoadVorbisFileLibrary(),
                         LoadVorbisEncLibrary()};
  TCodecLibrary* libraries[] = {&OggLibrary(), &VorbisLibrary(), &VorbisFileLibrary(),
                                &VorbisEncLibrary()};
  for (size_t i = 0; i < 4; ++i)
    if (!loaded[i]) throw EAuException(libraries[i]->LoadFailureMessage());

  FValid = true;
  if (!FStreamAssigned) {
    try {
      OpenOwnStream();
    } catch (...) {
      FValid = false;
      throw EAuException("Failed to open stream");
    }
  }
  if (FStream == nullptr) {
    FValid = false;
    throw EAuException("Failed to open stream");
  }
  const ov_callbacks callbacks = {&TVorbisCallbacks::Read, &TVorbisCallbacks::Seek,
                                  &TVorbisCallbacks::Close, &TVorbisCallbacks::Tell};
  std::memset(VFile.get(), 0, sizeof(OggVorbis_File));
  const int code = Api.test_callbacks(this, VFile.get(), nullptr, 0, callbacks);
  if (code != 0) {
    // A failed test leaves the stream to us: the decoder has not taken it over.
    if (OwnsStream()) FreeOwnStream();
    throw EAuException("Failed to open an ogg file: " + std::to_string(code));
  }
  Api.test_open(VFile.get());
  // libvorbisfile 1.3.7 leaves a chained file positioned at its last link after opening.
  if (Api.seekable(VFile.get()) != 0 && Api.streams(VFile.get()) > 1) Api.pcm_seek(VFile.get(), 0);
  const vorbis_info* info = Api.info(VFile.get(), -1);
  const ogg_int64_t total = Api.pcm_total(VFile.get(), -1);
  if (info == nullptr || info->channels <= 0 || info->rate <= 0 || total < 0) {
    // Headers that parse but give no usable format or length: refuse like a damaged file.
    Api.clear(VFile.get());
    throw EAuException("Failed to open an ogg file: " +
                       std::to_string(total < 0 ? total : static_cast<ogg_int64_t>(OV_EBADHEADER)));
  }

  FComments->Clear();
  if (const vorbis_comment* vc = Api.comment(VFile.get(), -1)) {
    for (int i = 0; i < vc->comments; ++i) {
      if (vc->user_comments[i] == nullptr) break;
      const std::string_view entry(vc->user_comments[i],
                                   static_cast<size_t>(std::max(0, vc->comment_lengths[i])));
      const size_t eq = entry.find('=');
      if (eq == std::string_view::npos) continue;
      const std::string key = LowerAscii(entry.substr(0, eq));
      const std::u16string value = Utf8ToUtf16(entry.substr(eq + 1));
      if (key == "artist") {
        FComments->SetArtist(value);
      } else if (key == "album") {
        FComments->SetAlbum(value);
      } else if (key == "title") {
        FComments->SetTitle(value);
      } else if (key == "date") {
        FComments->SetDate(value);
      } else if (key == "genre") {
        FComments->SetGenre(value);
      } else if (key == "tracknumber") {
        FComments->SetTrack(value);
      }
    }
  }
  FCommonTags->Clear();
  FCommonTags->SetArtist(FComments->Artist());
  FCommonTags->SetAlbum(FComments->Album());
  FCommonTags->SetTitle(FComments->Title());
  FCommonTags->SetYear(Utf16ToLatin1(FComments->Date()));
  FCommonTags->SetTrack(Utf16ToLatin1(FComments->Track()));
  FCommonTags->SetGenre(FComments->Genre());

  FChan = static_cast<uint32_t>(info->channels);
  FSR = static_cast<uint32_t>(info->rate);
  FBPS = 16;
  FMaxBitrate = static_cast<int32_t>(info->bitrate_upper);
  FNominalBitrate = static_cast<int32_t>(info->bitrate_nominal);
  FMinBitrate = static_cast<int32_t>(info->bitrate_lower);
  FSize = total * 2 * FChan;
  cursec = -1;
  FDecoderEnded = false;
  FOpened = FOpened + 1;
}

void TVorbisIn::CloseSource() {
  std::lock_guard lock(*OpenCS);
  if (FOpened <= 0) return;
  Api.clear(VFile.get());  // closes or rewinds the stream through the close callback
  FOpened = 0;
}

void TVorbisIn::ProduceData(void*& Buffer, uint32_t& Bytes) {
  if (!Busy) throw EAuException("The Stream is not opened");
  if (BufStart > BufEnd) {
    BufStart = 1;
    BufEnd = 0;
    while (!FDecoderEnded && BufEnd < kBufSize) {
      // ov_read refuses a length below one frame; stop before asking for less.
      const vorbis_info* info = Api.info(VFile.get(), -1);
      const uint32_t frame = info != nullptr && info->channels > 0 ? 2u * info->channels : 2u;
      if (kBufSize - BufEnd < frame) break;
      int section = cursec;
      const long got = Api.read(VFile.get(), reinterpret_cast<char*>(buf.data() + BufEnd),
                                static_cast<int>(kBufSize - BufEnd), 0, 2, 1, &section);
      if (got <= 0) {
        FDecoderEnded = true;
        break;
      }
      cursec = section;
      BufEnd += static_cast<uint32_t>(got);
      if (FPosition + BufEnd >= FSize) {
        BufEnd = static_cast<uint32_t>(std::max<int64_t>(0, FSize - FPosition));
        if (BufEnd == 0) FDecoderEnded = true;
        break;
      }
    }
  }
  const uint32_t available = BufEnd - BufStart + 1;
  Bytes = std::min(Bytes, available);
  Buffer = buf.data() + (BufStart - 1);
  BufStart += Bytes;
}

bool TVorbisIn::SeekToSample(int64_t& SampleNum) {
  OpenSource();
  Api.pcm_seek(VFile.get(), SampleNum);
  BufStart = 1;
  BufEnd = 0;
  FDecoderEnded = false;
  return true;
}

TVorbisTags* TVorbisIn::Comments() {
  OpenSource();
  return FComments.get();
}

int32_t TVorbisIn::MaxBitrate() {
  OpenSource();
  return FMaxBitrate;
}

int32_t TVorbisIn::NominalBitrate() {
  OpenSource();
  return FNominalBitrate;
}

int32_t TVorbisIn::MinBitrate() {
  OpenSource();
  return FMinBitrate;
}

// The decoder queries below take DataCS: the worker changes the decoder state they read.
int32_t TVorbisIn::InstantBitRate() {
  std::lock_guard lock(*DataCS);
  if (!Busy || FOpened == 0) return 0;
  return static_cast<int32_t>(Api.bitrate_instant(VFile.get()));
}

int32_t TVorbisIn::BitStreams() {
  std::lock_guard lock(*DataCS);
  if (!Busy || FOpened == 0 || Api.seekable(VFile.get()) == 0) return 0;
  return static_cast<int32_t>(Api.streams(VFile.get()));
}

int32_t TVorbisIn::CurrentBitStream() {
  std::lock_guard lock(*DataCS);
  if (!Busy || FOpened == 0 || Api.seekable(VFile.get()) == 0) return -1;
  return VFile->current_link;
}

void TVorbisIn::SetCurrentBitStream(int32_t Value) {
  std::lock_guard lock(*DataCS);
  if (!Busy || FOpened == 0 || Api.seekable(VFile.get()) == 0) return;
  if (Value < 0 || Value >= Api.streams(VFile.get())) return;
  // Moving the stream under the decoder would desynchronise it; seek the decoder instead,
  // to the first sample of that bitstream.
  int64_t first = 0;
  for (int32_t i = 0; i < Value; ++i) first += Api.pcm_total(VFile.get(), i);
  if (first >= FStartSample) Seek(first - FStartSample);
}

}  // namespace tunevert
