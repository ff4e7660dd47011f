#include "platform/CaseFold.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include "platform/Text.h"

namespace tunevert {

std::string FoldCase(std::string_view Name) {
  // The wide form keeps bytes that are not UTF-8 as lone surrogates, which folding leaves
  // alone, so they come back as they were.
  const std::u16string wide = Utf8ToUtf16(Name);
  std::u16string folded(wide.size(), u'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length =
        u_strFoldCase(folded.data(), static_cast<int32_t>(folded.size()), wide.data(),
                      static_cast<int32_t>(wide.size()), U_FOLD_CASE_DEFAULT, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      folded.resize(static_cast<size_t>(length));
      continue;
    }
    if (U_FAILURE(status)) break;
    folded.resize(static_cast<size_t>(length));
    return Utf16ToUtf8(folded);
  }
  return std::string(Name);
}

}  // namespace tunevert
