#pragma once

#include <string>
#include <vector>

namespace tunevert {

// The tag library's flat C interface, loaded at run time; used to write ID3v2 fields into a
// finished MP3 file.

// Loads the tag library unless loaded, under LibraryLoadLock; a failure is retried on the
// next call. Never unloaded.
void LoadTagLibrary();
bool TagLibLoaded();
// The file names tried in turn ("libtag_c.so.0", then "libtag_c.so.2").
std::vector<std::string> TagLibraryNames();
// For tests: load from other file names from now on; a library already loaded is forgotten
// (it stays mapped).
void SetTagLibraryNames(std::vector<std::string> Names);

// Text fields in UTF-8; Year and Track as typed: a text that is not a number is skipped.
struct TTagLibFields {
  std::string Title, Artist, Album, Genre;
  std::string Year, Track;
};

// Sets the fields in the file's tag (ID3v2 text in UTF-16) and saves it. FileName is UTF-8.
// Raises EAuException "Failed to write tags" when the file cannot be opened as audio and
// "Failed to save tags" when saving fails. Requires TagLibLoaded().
void WriteTagLibFields(const std::string& FileName, const TTagLibFields& Fields);

// Decimal text to a number for the year and track fields: digits only (a track may be
// followed by "/total"); false for anything else.
bool ParseTagNumber(const std::string& Text, bool AllowTotal, unsigned& Value);

}  // namespace tunevert
