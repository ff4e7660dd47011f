#include "platform/Text.h"

namespace tunevert {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
// A byte that is not part of valid UTF-8 (0x80..0xFF) stands as U+DC80..U+DCFF: a lone low
// surrogate, which valid UTF-8 never yields, so every byte string comes back unchanged.
constexpr char32_t kEscapedByteBase = 0xDC00;

bool IsSurrogate(char32_t cp) {
  return cp >= 0xD800 && cp <= 0xDFFF;
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view Text) {
  std::u16string out;
  out.reserve(Text.size());
  size_t i = 0;
  while (i < Text.size()) {
    const auto lead = static_cast<unsigned char>(Text[i]);
    int extra = 0;
    char32_t cp = 0;
    if (lead < 0x80) {
      cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, cp = lead & 0x07;
    } else {
      extra = -1;
    }
    bool ok = extra >= 0 && i + extra < Text.size();
    for (int k = 1; ok && k <= extra; ++k) {
      const auto cont = static_cast<unsigned char>(Text[i + k]);
      ok = (cont & 0xC0) == 0x80;
      cp = (cp << 6) | (cont & 0x3F);
    }
    const bool overlong =
        (extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000);
    if (!ok || overlong || cp > 0x10FFFF || IsSurrogate(cp)) {
      // One byte escaped at a time: what follows it may start a valid sequence.
      out.push_back(static_cast<char16_t>(kEscapedByteBase + lead));
      ++i;
      continue;
    }
    AppendUtf16(out, cp);
    i += extra + 1;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view Text) {
  std::string out;
  out.reserve(Text.size());
  for (size_t i = 0; i < Text.size(); ++i) {
    char32_t cp = Text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < Text.size() && Text[i + 1] >= 0xDC00 &&
        Text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (Text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= kEscapedByteBase + 0x80 && cp <= kEscapedByteBase + 0xFF) {
      out.push_back(static_cast<char>(cp - kEscapedByteBase));
      continue;
    } else if (IsSurrogate(cp)) {
      cp = kReplacement;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::u16string Utf8TextToUtf16(std::string_view Text) {
  std::u16string out = Utf8ToUtf16(Text);
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] >= 0xD800 && out[i] <= 0xDBFF)
      ++i;  // a pair: its low half may lie in the escaped bytes' range
    else if (IsSurrogate(out[i]))
      out[i] = static_cast<char16_t>(kReplacement);
  }
  return out;
}

std::u16string Latin1ToUtf16(std::string_view Text) {
  std::u16string out(Text.size(), u'\0');
  for (size_t i = 0; i < Text.size(); ++i) out[i] = static_cast<unsigned char>(Text[i]);
  return out;
}

std::string Utf16ToLatin1(std::u16string_view Text) {
  std::string out(Text.size(), '\0');
  for (size_t i = 0; i < Text.size(); ++i)
    out[i] = Text[i] > 0xFF ? '?' : static_cast<char>(static_cast<unsigned char>(Text[i]));
  return out;
}

std::string LowerAscii(std::string Text) {
  for (char& c : Text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return Text;
}

std::string FileExtension(std::string_view Path) {
  const std::string_view name = Path.substr(Path.rfind('/') + 1);
  const size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string() : std::string(name.substr(dot));
}

}  // namespace tunevert
