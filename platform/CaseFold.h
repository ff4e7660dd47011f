#pragma once

#include <string>
#include <string_view>

namespace tunevert {

// The name as a case-insensitive file system compares it: full Unicode case folding
// ("STRASSE" and "straße" fold alike). Bytes that are not UTF-8 are kept as they are.
std::string FoldCase(std::string_view Name);

}  // namespace tunevert
