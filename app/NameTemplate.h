#pragma once

#include <map>
#include <string>
#include <vector>

#include "app/BatchPlan.h"
#include "tags/TagLibMeta.h"

namespace tunevert {

// What a name template can use: "artist" -> "Abba". A field that is not set is absent.
// (Declared in BatchPlan.h too, whose plan takes them.)
using TNameFields = std::map<std::string, std::string>;

// The fields of a source from its carried tags (several values joined by ", "), plus
// "source" (its file name without the extension) and "folder" (its SubFolder without the
// trailing '/'). "year" is the first 4 digits of DATE when it starts with them, else DATE.
TNameFields NameFieldsFor(const TBatchSource& Source, const TCarriedTags& Tags);
// The same with the source's tags read; a file whose tags cannot be read gives only
// "source" and "folder".
TNameFields ReadNameFields(const TBatchSource& Source);

// Longest bytes a file or folder name may have (NAME_MAX on Linux, 255 UTF-16 units on
// FAT, exFAT and NTFS, which 255 UTF-8 bytes never exceed).
constexpr size_t kMaxNamePartBytes = 255;

// Where a cut at At bytes would split a UTF-8 sequence, the start of that sequence; bytes
// that are not UTF-8 are cut where they are.
size_t Utf8Boundary(const std::string& Text, size_t At);

// An output name made of tags: "{albumartist|artist}/{album}/{track:02} {title}".
//  {field}          artist albumartist album title track tracktotal disc disctotal year
//                   genre composer source folder (letter case ignored)
//  {track:02}       zero-padded to 2 digits; a value that is not a number is left as it is
//  {a|b|Text}       the first of a, b that is set, else Text when it names no field, else
//                   the last field's fallback
//  {{ and }}        literal braces
//  /                outside braces: a folder; '/' inside a field's value never is, except
//                   in {folder}, which recreates the source's folder tree.
// Fallbacks: "Unknown Artist" (artist, albumartist), "Unknown Album", the source's name for
// title, "0" for track and tracktotal, "1" for disc and disctotal, "Unknown Year",
// "Unknown Genre", "Unknown Composer"; {folder} of a file given by itself is empty and a
// folder part it leaves empty is dropped.
class TNameTemplate {
 public:
  // Raises EAuException naming the problem and its position (in characters, from 1) for a
  // template that is empty, only '/'s, absolute, ends in '/', holds an empty folder ("//"),
  // a "." or ".." folder, an unclosed '{', a stray '}', an unknown field or a bad width.
  explicit TNameTemplate(const std::string& Text);

  const std::string& Text() const { return FText; }
  // Whether it uses any field other than {source} and {folder}, so tags must be read.
  bool UsesTags() const { return FUsesTags; }

  // The output's path below the output folder, Extension (".mp3") appended. Each part is
  // non-empty, never hidden and at most kMaxNamePartBytes long (the file's extension kept,
  // cut at a character boundary). Fields' '/' and NUL, and control characters anywhere,
  // become '_'; parts are trimmed of spaces. Portable also replaces \ : * ? " < > | with
  // '_', drops trailing dots and spaces, and puts '_' after a name Windows reserves
  // ("CON", "com1.mp3" -> "com1_.mp3").
  std::string Expand(const TNameFields& Fields, const std::string& Extension, bool Portable) const;

 private:
  struct TFieldRef {
    std::vector<std::string> Fields;  // alternatives, in order
    std::string Literal;              // the text used when none is set, if given
    int Width = 0;                    // zero-padded digits; 0: as it is
  };
  enum class TPieceKind { Text, Slash, Field };
  struct TPiece {
    TPieceKind Kind = TPieceKind::Text;
    std::string Literal;
    TFieldRef Ref;
  };

  std::string FText;
  std::vector<TPiece> FPieces;
  bool FUsesTags = false;
};

}  // namespace tunevert
