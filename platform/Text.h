#pragma once

#include <string>
#include <string_view>

namespace tunevert {

// Wide text is UTF-16; narrow file names are UTF-8; narrow text inside tag containers is
// ISO-8859-1.
std::u16string Utf8ToUtf16(std::string_view Text);
std::string Utf16ToUtf8(std::u16string_view Text);

// ISO-8859-1: byte n <-> U+00nn; a character above U+00FF narrows to '?'.
std::u16string Latin1ToUtf16(std::string_view Text);
std::string Utf16ToLatin1(std::u16string_view Text);

// Letters A-Z lowered; every other byte kept.
std::string LowerAscii(std::string Text);
// The extension of a file name without its folder, from the last "." on; empty without one.
std::string FileExtension(std::string_view Path);

}  // namespace tunevert
