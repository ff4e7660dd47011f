#pragma once

#include <string>
#include <string_view>

namespace tunevert {

// Whether Text is well-formed UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF).
bool IsValidUtf8(std::string_view Text);

// A cue sheet's bytes as UTF-8 text without a byte order mark: UTF-8 kept as it is, UTF-16
// with a byte order mark converted, anything else converted from the character set the
// detector names. Raises EAuException naming SheetName when no character set is recognised
// or the bytes are not valid in it.
std::string CueSheetUtf8(const std::string& Bytes, const std::string& SheetName);

}  // namespace tunevert
