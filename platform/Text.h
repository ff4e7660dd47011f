#pragma once

#include <string>
#include <string_view>

namespace tunevert {

// Wide text is UTF-16; narrow file names are UTF-8; narrow text inside tag containers is
// ISO-8859-1.
// A file name may hold any bytes: each byte that is not part of valid UTF-8 becomes a lone
// surrogate U+DC80..U+DCFF and narrows back to itself, so Utf16ToUtf8(Utf8ToUtf16(x)) == x
// for every x. Any other lone surrogate narrows to U+FFFD.
std::u16string Utf8ToUtf16(std::string_view Text);
std::string Utf16ToUtf8(std::u16string_view Text);
// For text that is not a name (tag values): each byte that is not part of valid UTF-8
// becomes U+FFFD, so what is written from it is valid UTF-8 again.
std::u16string Utf8TextToUtf16(std::string_view Text);

// ISO-8859-1: byte n <-> U+00nn; a character above U+00FF narrows to '?'.
std::u16string Latin1ToUtf16(std::string_view Text);
std::string Utf16ToLatin1(std::u16string_view Text);

// Letters A-Z lowered; every other byte kept.
std::string LowerAscii(std::string Text);
// The extension of a file name without its folder, from the last "." on; empty without one.
std::string FileExtension(std::string_view Path);

}  // namespace tunevert
