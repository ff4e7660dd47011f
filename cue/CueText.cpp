// A cue sheet's text in whatever character set its writer used, made UTF-8.
#include "cue/CueText.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

#include "cue/CharsetLibrary.h"
#include "platform/Exception.h"

namespace tunevert {

namespace {

// The character set the detector guesses for Bytes; "" when it recognises none.
std::string DetectCharset(const std::string& Bytes) {
  const TCharsetApi& api = LoadCharsetApi();
  const std::unique_ptr<std::remove_pointer_t<uchardet_t>, decltype(api.detector_delete)> detector(
      api.detector_new(), api.detector_delete);
  if (!detector) throw EAuException("Out of memory");
  if (api.handle_data(detector.get(), Bytes.data(), Bytes.size()) != 0)
    throw EAuException("Out of memory");
  api.data_end(detector.get());
  const char* charset = api.get_charset(detector.get());
  return charset != nullptr ? charset : "";
}

// Bytes converted from Charset to UTF-8 with iconv; false when they are not valid in it.
bool ConvertToUtf8(const std::string& Bytes, const std::string& Charset, std::string& Utf8) {
  const iconv_t converter = iconv_open("UTF-8", Charset.c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  const std::unique_ptr<void, int (*)(iconv_t)> closer(converter, iconv_close);
  Utf8.clear();
  char* in = const_cast<char*>(Bytes.data());
  size_t inLeft = Bytes.size();
  char buffer[4096];
  while (inLeft > 0) {
    char* out = buffer;
    size_t outLeft = sizeof buffer;
    const size_t done = iconv(converter, &in, &inLeft, &out, &outLeft);
    Utf8.append(buffer, out);
    if (done == static_cast<size_t>(-1) && errno != E2BIG) return false;
  }
  char* out = buffer;
  size_t outLeft = sizeof buffer;
  if (iconv(converter, nullptr, nullptr, &out, &outLeft) == static_cast<size_t>(-1)) return false;
  Utf8.append(buffer, out);
  return true;
}

}  // namespace

bool IsValidUtf8(std::string_view Text) {
  for (size_t i = 0; i < Text.size();) {
    const auto byte = static_cast<uint8_t>(Text[i]);
    size_t length = 0;
    uint32_t code = 0, least = 0;
    if (byte < 0x80) {
      ++i;
      continue;
    } else if ((byte & 0xE0) == 0xC0) {
      length = 2, code = byte & 0x1F, least = 0x80;
    } else if ((byte & 0xF0) == 0xE0) {
      length = 3, code = byte & 0x0F, least = 0x800;
    } else if ((byte & 0xF8) == 0xF0) {
      length = 4, code = byte & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (Text.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<uint8_t>(Text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

std::string CueSheetUtf8(const std::string& Bytes, const std::string& SheetName) {
  if (Bytes.starts_with("\xEF\xBB\xBF")) {
    const std::string text = Bytes.substr(3);
    if (IsValidUtf8(text)) return text;
  } else if (IsValidUtf8(Bytes)) {
    return Bytes;
  }
  // A byte order mark settles UTF-16; "UTF-16" lets iconv read and drop it.
  std::string charset;
  if (Bytes.starts_with("\xFF\xFE") || Bytes.starts_with("\xFE\xFF"))
    charset = "UTF-16";
  else
    charset = DetectCharset(Bytes);
  if (charset.empty())
    throw EAuException("Cue sheet " + SheetName +
                       " is not UTF-8, and its character set could not be recognised.");
  // Sheets are mostly written on Windows, whose code pages fill what the standard sets
  // leave out or map otherwise (Shift_JIS 0x8160 is U+301C, but U+FF5E to code page 932).
  static const std::pair<const char*, const char*> kWindowsSupersets[] = {
      {"SHIFT_JIS", "CP932"}, {"ISO-8859-1", "WINDOWS-1252"}, {"ISO-8859-5", "WINDOWS-1251"}};
  std::string utf8;
  bool converted = false;
  for (const auto& [standard, windows] : kWindowsSupersets)
    if (charset == standard) converted = ConvertToUtf8(Bytes, windows, utf8);
  if (!converted && !ConvertToUtf8(Bytes, charset, utf8))
    throw EAuException("Cue sheet " + SheetName + " is not UTF-8 and not valid " + charset +
                       " either, the character set it looks most like.");
  if (utf8.starts_with("\xEF\xBB\xBF")) utf8.erase(0, 3);
  return utf8;
}

}  // namespace tunevert
