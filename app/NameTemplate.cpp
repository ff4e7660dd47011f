#include "app/NameTemplate.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/Exception.h"
#include "platform/Text.h"

namespace tunevert {

namespace {

constexpr int kMaxWidth = 10;

// Field name -> the carried tag it comes from ("" for those that come from the file).
constexpr std::array<std::pair<const char*, const char*>, 13> kFields = {{
    {"artist", "ARTIST"},
    {"albumartist", "ALBUMARTIST"},
    {"album", "ALBUM"},
    {"title", "TITLE"},
    {"track", "TRACKNUMBER"},
    {"tracktotal", "TRACKTOTAL"},
    {"disc", "DISCNUMBER"},
    {"disctotal", "DISCTOTAL"},
    {"year", "DATE"},
    {"genre", "GENRE"},
    {"composer", "COMPOSER"},
    {"source", ""},
    {"folder", ""},
}};

bool IsField(const std::string& Name) {
  return std::any_of(kFields.begin(), kFields.end(),
                     [&](const auto& field) { return Name == field.first; });
}

std::string Trimmed(const std::string& Text, const char* Characters = " \t\r\n") {
  const size_t first = Text.find_first_not_of(Characters);
  if (first == std::string::npos) return {};
  return Text.substr(first, Text.find_last_not_of(Characters) - first + 1);
}

bool AllDigits(const std::string& Text) {
  return !Text.empty() &&
         std::all_of(Text.begin(), Text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string Fallback(const std::string& Field, const TNameFields& Fields) {
  if (Field == "artist" || Field == "albumartist") return "Unknown Artist";
  if (Field == "album") return "Unknown Album";
  if (Field == "title") {
    const auto source = Fields.find("source");
    const std::string name = source == Fields.end() ? "" : Trimmed(source->second);
    return name.empty() ? "Unknown Title" : name;
  }
  if (Field == "track" || Field == "tracktotal") return "0";
  if (Field == "disc" || Field == "disctotal") return "1";
  if (Field == "year") return "Unknown Year";
  if (Field == "genre") return "Unknown Genre";
  if (Field == "composer") return "Unknown Composer";
  if (Field == "source") return "Unknown Title";
  return {};  // folder: a file given by itself has none
}

std::string Padded(const std::string& Value, int Width) {
  if (Width == 0 || !AllDigits(Value)) return Value;
  std::string number = Value.substr(std::min(Value.find_first_not_of('0'), Value.size() - 1));
  if (number.size() < static_cast<size_t>(Width)) number.insert(0, Width - number.size(), '0');
  return number;
}

bool WindowsReserved(const std::string& Part) {
  // The name before its first dot, as Windows compares it: trailing spaces ignored.
  const std::string word = LowerAscii(Trimmed(Part.substr(0, Part.find('.')), " "));
  if (word == "con" || word == "prn" || word == "aux" || word == "nul") return true;
  return word.size() == 4 && (word.starts_with("com") || word.starts_with("lpt")) &&
         word[3] >= '1' && word[3] <= '9';
}

// Part made safe as one file or folder name; Room is how many bytes it may take.
std::string SafePart(std::string Part, bool Portable, size_t Room) {
  for (char& c : Part) {
    const auto byte = static_cast<uint8_t>(c);
    if (byte < 0x20 || byte == 0x7F || (Portable && std::strchr("\\:*?\"<>|", c) != nullptr))
      c = '_';
  }
  const char* trimmed = Portable ? " ." : " ";
  auto trimEnd = [&] { Part.erase(Part.find_last_not_of(trimmed) + 1); };
  Part.erase(0, Part.find_first_not_of(' '));
  trimEnd();
  if (Part.empty()) return Part;
  if (Part[0] == '.') Part.insert(0, "_");
  auto cut = [&] {
    if (Part.size() <= Room) return;
    Part.erase(Utf8Boundary(Part, Room));
    trimEnd();
  };
  // Cut first: "CON" and 300 spaces is a device name once cut and trimmed.
  cut();
  if (Portable && WindowsReserved(Part)) {
    const size_t dot = Part.find('.');
    const size_t wordEnd =
        Part.find_last_not_of(' ', dot == std::string::npos ? Part.size() : dot - 1);
    Part.insert(wordEnd + 1, "_");
    cut();
  }
  return Part;
}

// 1-based position of the character at byte Offset, for messages.
size_t CharacterPosition(const std::string& Text, size_t Offset) {
  size_t position = 1;
  for (size_t i = 0; i < Offset && i < Text.size(); ++i)
    if ((static_cast<uint8_t>(Text[i]) & 0xC0) != 0x80) ++position;
  return position;
}

}  // namespace

size_t Utf8Boundary(const std::string& Text, size_t At) {
  if (At >= Text.size()) return Text.size();
  size_t cut = At;
  for (int back = 0; back < 3 && cut > 0 && (static_cast<uint8_t>(Text[cut]) & 0xC0) == 0x80;
       ++back)
    --cut;
  return static_cast<uint8_t>(Text[cut]) >= 0xC0 ? cut : At;
}

TNameFields NameFieldsFor(const TBatchSource& Source, const TCarriedTags& Tags) {
  TNameFields fields;
  for (const auto& [field, key] : kFields) {
    if (*key == '\0') continue;
    const auto values = Tags.Text.find(key);
    if (values == Tags.Text.end()) continue;
    std::string joined;
    for (const std::string& value : values->second) {
      const std::string text = Trimmed(value);
      if (text.empty()) continue;
      if (!joined.empty()) joined += ", ";
      joined += text;
    }
    if (!joined.empty()) fields[field] = std::move(joined);
  }
  // A number and its total that a format kept together ("3/12").
  for (const auto& [number, total] : {std::pair{"track", "tracktotal"}, {"disc", "disctotal"}}) {
    const auto it = fields.find(number);
    if (it == fields.end()) continue;
    const size_t slash = it->second.find('/');
    if (slash == std::string::npos) continue;
    const std::string after = Trimmed(it->second.substr(slash + 1));
    if (!after.empty()) fields.emplace(total, after);
    it->second = Trimmed(it->second.substr(0, slash));
    if (it->second.empty()) fields.erase(it);
  }
  const auto year = fields.find("year");
  if (year != fields.end() && year->second.size() >= 4 && AllDigits(year->second.substr(0, 4)))
    year->second.erase(4);

  const size_t slash = Source.File.rfind('/');
  std::string name = Source.File.substr(slash == std::string::npos ? 0 : slash + 1);
  name.erase(name.size() - FileExtension(name).size());
  if (!name.empty()) fields["source"] = std::move(name);
  std::string folder = Source.SubFolder;
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  if (!folder.empty()) fields["folder"] = std::move(folder);
  return fields;
}

TNameFields ReadNameFields(const TBatchSource& Source) {
  TCarriedTags tags;
  try {
    tags = ReadCarriedTags(Source.File);
  } catch (const std::exception&) {
    // Named from the file alone, like a file without tags; the conversion reports the file.
  }
  return NameFieldsFor(Source, tags);
}

TNameTemplate::TNameTemplate(const std::string& Text) : FText(Text) {
  auto fail = [&](const std::string& Problem, size_t Offset) {
    throw EAuException("Name template \"" + FText + "\": " + Problem + " at position " +
                       std::to_string(CharacterPosition(FText, Offset)));
  };
  if (Trimmed(Text).empty()) throw EAuException("The name template is empty");
  if (Text.find_first_not_of('/') == std::string::npos)
    throw EAuException("Name template \"" + Text + "\" names no file, only '/'");
  if (Text[0] == '/') fail("'/' at the start would leave the output folder", 0);
  if (Text.back() == '/') fail("'/' at the end leaves the file without a name", Text.size() - 1);

  size_t partStart = 0;
  bool partOnlyText = true;
  auto endPart = [&](size_t at) {
    const std::string part = Trimmed(Text.substr(partStart, at - partStart), " ");
    if (at == partStart) fail("empty folder name \"//\"", at - 1);
    if (partOnlyText && (part == "." || part == ".."))
      fail("folder \"" + part + "\" would leave the name's folders", partStart);
    partStart = at + 1;
    partOnlyText = true;
  };
  std::string literal;
  auto flush = [&] {
    if (!literal.empty()) FPieces.push_back({TPieceKind::Text, std::move(literal), {}});
    literal.clear();
  };
  for (size_t i = 0; i < Text.size(); ++i) {
    const char c = Text[i];
    if ((c == '{' || c == '}') && i + 1 < Text.size() && Text[i + 1] == c) {
      literal += c;
      ++i;
    } else if (c == '}') {
      fail("'}' without '{' (write \"}}\" for a brace)", i);
    } else if (c == '/') {
      flush();
      endPart(i);
      FPieces.push_back({TPieceKind::Slash, {}, {}});
    } else if (c != '{') {
      literal += c;
    } else {
      const size_t close = Text.find('}', i + 1);
      const size_t nested = Text.find('{', i + 1);
      if (close == std::string::npos || nested < close)
        fail("'{' without '}' (write \"{{\" for a brace)", i);
      flush();
      partOnlyText = false;
      const std::string inside = Text.substr(i + 1, close - i - 1);
      const size_t colon = inside.find(':');
      TFieldRef ref;
      if (colon != std::string::npos) {
        const std::string width = Trimmed(inside.substr(colon + 1), " ");
        if (!AllDigits(width) || width.size() > 2 || std::stoi(width) < 1 ||
            std::stoi(width) > kMaxWidth)
          fail("bad width \"" + inside.substr(colon + 1) + "\" in {" + inside +
                   "}: give the digits, 1 to " + std::to_string(kMaxWidth) + ", as in {track:02}",
               i);
        ref.Width = std::stoi(width);
      }
      std::vector<std::string> alternatives;
      const std::string names = inside.substr(0, colon);
      for (size_t from = 0;;) {
        const size_t bar = names.find('|', from);
        alternatives.push_back(Trimmed(names.substr(from, bar - from), " "));
        if (bar == std::string::npos) break;
        from = bar + 1;
      }
      for (size_t k = 0; k < alternatives.size(); ++k) {
        const std::string name = LowerAscii(alternatives[k]);
        if (alternatives[k].empty())
          fail("empty field name in {" + inside + "}", i);
        else if (IsField(name))
          ref.Fields.push_back(name);
        else if (k + 1 == alternatives.size() && k > 0)
          ref.Literal = alternatives[k];
        else
          fail("unknown field {" + alternatives[k] + "}", i);
      }
      for (const std::string& name : ref.Fields)
        if (name != "source" && name != "folder") FUsesTags = true;
      FPieces.push_back({TPieceKind::Field, {}, std::move(ref)});
      i = close;
    }
  }
  flush();
  endPart(Text.size());
}

std::string TNameTemplate::Expand(const TNameFields& Fields, const std::string& Extension,
                                  bool Portable) const {
  std::vector<std::string> parts(1);
  for (const TPiece& piece : FPieces) {
    if (piece.Kind == TPieceKind::Text) {
      parts.back() += piece.Literal;
      continue;
    }
    if (piece.Kind == TPieceKind::Slash) {
      parts.emplace_back();
      continue;
    }
    const TFieldRef& ref = piece.Ref;
    std::string chosen, value;
    for (const std::string& name : ref.Fields) {
      const auto it = Fields.find(name);
      if (it != Fields.end() && !(value = Trimmed(it->second)).empty()) {
        chosen = name;
        break;
      }
    }
    if (chosen.empty())
      value = !ref.Literal.empty() ? ref.Literal : Fallback(ref.Fields.back(), Fields);
    value = Padded(value, ref.Width);
    std::replace(value.begin(), value.end(), '\0', '_');
    if (chosen == "folder") {
      // The source's own folders become folders again.
      for (size_t from = 0;;) {
        const size_t slash = value.find('/', from);
        parts.back() += value.substr(from, slash - from);
        if (slash == std::string::npos) break;
        parts.emplace_back();
        from = slash + 1;
      }
    } else {
      std::replace(value.begin(), value.end(), '/', '_');
      parts.back() += value;
    }
  }

  const size_t fileRoom =
      Extension.size() < kMaxNamePartBytes ? kMaxNamePartBytes - Extension.size() : 1;
  std::string path;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    const std::string part = SafePart(parts[i], Portable, kMaxNamePartBytes);
    if (!part.empty()) path += part + '/';
  }
  std::string file = SafePart(parts.back(), Portable, fileRoom);
  if (file.empty()) {
    const auto source = Fields.find("source");
    std::string name = source == Fields.end() ? "" : source->second;
    std::replace(name.begin(), name.end(), '/', '_');
    file = SafePart(std::move(name), Portable, fileRoom);
  }
  if (file.empty()) file = "_";
  return path + file + Extension;
}

}  // namespace tunevert
