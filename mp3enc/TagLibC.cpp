#include "mp3enc/TagLibC.h"

#include <dlfcn.h>
#include <taglib/tag_c.h>

#include <atomic>
#include <charconv>
#include <memory>
#include <mutex>

#include "platform/CodecLibrary.h"
#include "platform/Exception.h"

namespace tunevert {

namespace {

#define TV_TAGLIB_FUNCTIONS(X)              \
  X(taglib_audioproperties_bitrate)         \
  X(taglib_audioproperties_channels)        \
  X(taglib_audioproperties_length)          \
  X(taglib_audioproperties_samplerate)      \
  X(taglib_file_audioproperties)            \
  X(taglib_file_free)                       \
  X(taglib_file_is_valid)                   \
  X(taglib_file_new)                        \
  X(taglib_file_new_type)                   \
  X(taglib_file_save)                       \
  X(taglib_file_tag)                        \
  X(taglib_id3v2_set_default_text_encoding) \
  X(taglib_set_string_management_enabled)   \
  X(taglib_set_strings_unicode)             \
  X(taglib_tag_album)                       \
  X(taglib_tag_artist)                      \
  X(taglib_tag_comment)                     \
  X(taglib_tag_free_strings)                \
  X(taglib_tag_genre)                       \
  X(taglib_tag_set_album)                   \
  X(taglib_tag_set_artist)                  \
  X(taglib_tag_set_comment)                 \
  X(taglib_tag_set_genre)                   \
  X(taglib_tag_set_title)                   \
  X(taglib_tag_set_track)                   \
  X(taglib_tag_set_year)                    \
  X(taglib_tag_title)                       \
  X(taglib_tag_track)                       \
  X(taglib_tag_year)

// Every entry point, typed from the library's own header; a name the library lacks stays
// null.
struct TTagLibApi {
#define TV_FIELD(name) decltype(&::name) name = nullptr;
  TV_TAGLIB_FUNCTIONS(TV_FIELD)
#undef TV_FIELD
};

// Written under LibraryLoadLock before TagLibLoaded turns true; read after.
TTagLibApi gApi;
std::atomic<bool> gTagLibLoaded{false};
std::vector<std::string> gNames = {"libtag_c.so.0", "libtag_c.so.2"};

struct TFileCloser {
  const TTagLibApi* Api;
  void operator()(TagLib_File* File) const { Api->taglib_file_free(File); }
};

}  // namespace

std::vector<std::string> TagLibraryNames() {
  std::lock_guard lock(LibraryLoadLock());
  return gNames;
}

void SetTagLibraryNames(std::vector<std::string> Names) {
  std::lock_guard lock(LibraryLoadLock());
  gNames = std::move(Names);
  gTagLibLoaded = false;
}

void LoadTagLibrary() {
  std::lock_guard lock(LibraryLoadLock());
  if (gTagLibLoaded) return;
  void* library = nullptr;
  for (const std::string& name : gNames)
    if ((library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL)) != nullptr) break;
  if (library == nullptr) return;
  TTagLibApi api;
#define TV_RESOLVE(name) api.name = reinterpret_cast<decltype(api.name)>(dlsym(library, #name));
  TV_TAGLIB_FUNCTIONS(TV_RESOLVE)
#undef TV_RESOLVE
  gApi = api;
  gTagLibLoaded = true;
}

bool TagLibLoaded() {
  return gTagLibLoaded;
}

bool ParseTagNumber(const std::string& Text, bool AllowTotal, unsigned& Value) {
  const char* first = Text.data();
  const char* last = first + Text.size();
  if (first == last || *first < '0' || *first > '9') return false;
  unsigned v = 0;
  const auto [end, ec] = std::from_chars(first, last, v);
  if (ec != std::errc()) return false;
  if (end != last) {
    // "3/12": track three of twelve.
    unsigned total = 0;
    if (!AllowTotal || *end != '/' || std::from_chars(end + 1, last, total).ptr != last)
      return false;
  }
  Value = v;
  return true;
}

void WriteTagLibFields(const std::string& FileName, const TTagLibFields& Fields) {
  const TTagLibApi& L = gApi;
  // Every function used here must be there; a library without one cannot write tags.
  if (!L.taglib_id3v2_set_default_text_encoding || !L.taglib_set_strings_unicode ||
      !L.taglib_file_new_type || !L.taglib_file_is_valid || !L.taglib_file_tag ||
      !L.taglib_file_free || !L.taglib_file_save || !L.taglib_tag_set_title ||
      !L.taglib_tag_set_artist || !L.taglib_tag_set_album || !L.taglib_tag_set_genre ||
      !L.taglib_tag_set_year || !L.taglib_tag_set_track)
    throw EAuException("Failed to write tags");
  L.taglib_id3v2_set_default_text_encoding(TagLib_ID3v2_UTF16);
  L.taglib_set_strings_unicode(1);
  // The library would pick the file type by extension; an output may be named anything.
  std::unique_ptr<TagLib_File, TFileCloser> file(
      L.taglib_file_new_type(FileName.c_str(), TagLib_File_MPEG), TFileCloser{&L});
  // A file the library cannot open comes back null or not valid; either has no tag to ask.
  if (!file || !L.taglib_file_is_valid(file.get())) throw EAuException("Failed to write tags");
  TagLib_Tag* tag = L.taglib_file_tag(file.get());
  if (tag == nullptr) throw EAuException("Failed to write tags");
  L.taglib_tag_set_title(tag, Fields.Title.c_str());
  L.taglib_tag_set_artist(tag, Fields.Artist.c_str());
  L.taglib_tag_set_album(tag, Fields.Album.c_str());
  L.taglib_tag_set_genre(tag, Fields.Genre.c_str());
  // On save the library fills empty ID3v2 fields from the ID3v1 block already in the file.
  // Clearing a field through the merged tag clears it in both, so nothing is copied over:
  // the comment always (it is not an ID3v2 field here), a year or track that is not given.
  if (L.taglib_tag_set_comment) L.taglib_tag_set_comment(tag, "");
  unsigned year = 0, track = 0;
  const bool haveYear = ParseTagNumber(Fields.Year, false, year);
  const bool haveTrack = ParseTagNumber(Fields.Track, true, track);
  L.taglib_tag_set_year(tag, haveYear ? year : 0);
  L.taglib_tag_set_track(tag, haveTrack ? track : 0);
  if (!L.taglib_file_save(file.get())) throw EAuException("Failed to save tags");
}

}  // namespace tunevert
