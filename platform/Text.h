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

}  // namespace tunevert
