// Feeds arbitrary templates and tag values to the output name template: parsing, then Expand
// with and without Portable for several extensions; aborts when a name comes out that a file
// system would refuse or that leaves its folder.
//   input: template [0xFF field value]...  (a value's first byte picks its field)
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "app/NameTemplate.h"
#include "platform/Exception.h"

using namespace tunevert;

namespace {

constexpr char kSeparator = '\xFF';

constexpr const char* kFieldNames[] = {"artist",     "albumartist", "album",     "title", "track",
                                       "tracktotal", "disc",        "disctotal", "year",  "genre",
                                       "composer",   "source",      "folder"};

const std::string kExtensions[] = {".mp3", ".flac", "", ".m4a.part", "." + std::string(200, 'x')};

bool IsControl(uint8_t Byte) {
  return Byte < 0x20 || Byte == 0x7F;
}

std::string Lower(std::string_view Text) {
  std::string lower(Text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

// Names Windows keeps for devices, whatever follows the first dot.
bool WindowsDevice(std::string_view Part) {
  std::string word = Lower(Part.substr(0, Part.find('.')));
  while (!word.empty() && word.back() == ' ') word.pop_back();
  if (word == "con" || word == "prn" || word == "aux" || word == "nul") return true;
  return word.size() == 4 && (word.starts_with("com") || word.starts_with("lpt")) &&
         word[3] >= '1' && word[3] <= '9';
}

void CheckPart(std::string_view Part, bool Portable) {
  if (Part.empty() || Part == "." || Part == ".." || Part[0] == '.' || Part[0] == ' ' ||
      Part.size() > kMaxNamePartBytes)
    __builtin_trap();
  for (const char c : Part) {
    if (IsControl(static_cast<uint8_t>(c))) __builtin_trap();
    if (Portable && std::strchr("\\:*?\"<>|", c) != nullptr) __builtin_trap();
  }
  if (Portable && (Part.back() == '.' || Part.back() == ' ' || WindowsDevice(Part)))
    __builtin_trap();
}

void CheckName(const std::string& Name, const std::string& Extension, bool Portable) {
  if (!Name.ends_with(Extension)) __builtin_trap();
  for (size_t from = 0;;) {
    const size_t slash = Name.find('/', from);
    CheckPart(std::string_view(Name).substr(from, slash - from), Portable);
    if (slash == std::string::npos) break;
    from = slash + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view input(reinterpret_cast<const char*>(Data), Size);
  const size_t templateEnd = input.find(kSeparator);
  TNameFields fields;
  for (size_t from = templateEnd; from != std::string_view::npos;) {
    const size_t next = input.find(kSeparator, from + 1);
    const std::string_view value = input.substr(from + 1, next - from - 1);
    if (!value.empty()) {
      const char* name = kFieldNames[static_cast<uint8_t>(value[0]) % std::size(kFieldNames)];
      fields[name] = std::string(value.substr(1));
    }
    from = next;
  }

  std::optional<TNameTemplate> names;
  try {
    names.emplace(std::string(input.substr(0, templateEnd)));
  } catch (const EAuException&) {
    return 0;
  }
  for (const std::string& extension : kExtensions) {
    for (const bool portable : {false, true}) {
      CheckName(names->Expand(fields, extension, portable), extension, portable);
      CheckName(names->Expand({}, extension, portable), extension, portable);
    }
  }
  return 0;
}
