// Feeds arbitrary bytes to the mirror state as its journal file: loading (damaged lines
// skipped, unknown entries refused), a rewrite while another state is open, an append, and a
// rewrite alone. Aborts when a state that opened loses or alters a live record or folder on
// the way: with another run open a rewrite keeps everything, alone it drops exactly the
// records whose output is not ours and the folders that are gone. Its mutator re-seals most
// mutants' line checksums, so that mutated entries get past the checksum.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "app/MirrorState.h"
#include "platform/Exception.h"

using namespace tunevert;

namespace {

constexpr const char* kOwnedName = "owned.out";
// A folder the journal may name that exists, so that some folder entries survive a rewrite.
constexpr const char* kKeptFolder = "kept";

void Require(bool Condition) {
  if (!Condition) __builtin_trap();
}

void PutFile(const std::string& Path, std::string_view Bytes) {
  const int file = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Require(file >= 0);
  while (!Bytes.empty()) {
    const ssize_t put = ::write(file, Bytes.data(), Bytes.size());
    Require(put > 0);
    Bytes.remove_prefix(static_cast<size_t>(put));
  }
  Require(::close(file) == 0);
}

// One folder for the whole process (on tmpfs when there is one: every rewrite syncs), emptied
// of the state's files before each input and removed at exit.
class TMirrorFolder {
 public:
  TMirrorFolder() {
    const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/tunevert-mirror-fuzz-XXXXXX";
    Require(::mkdtemp(pattern.data()) != nullptr);
    FPath = pattern;
    Require(::mkdir((FPath + "/" + kKeptFolder).c_str(), 0755) == 0);
  }
  ~TMirrorFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  const std::string& Path() const { return FPath; }
  void Clear() const {
    for (const std::string& name :
         {TMirrorState::StatePath(FPath), TMirrorState::StatePath(FPath) + ".new",
          TMirrorState::LockPath(FPath), FPath + "/" + kOwnedName})
      Require(::unlink(name.c_str()) == 0 || errno == ENOENT);
  }

 private:
  std::string FPath;
};

// CRC-32 as zlib computes it, as the journal's lines carry it.
uint32_t Crc32(const uint8_t* Bytes, size_t Size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < Size; ++i) {
    crc ^= Bytes[i];
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  return crc ^ 0xFFFFFFFFu;
}

// Gives every complete line that ends in a tab and 8 characters the checksum of the rest, so
// that mutated entries are parsed instead of skipped as damaged.
void SealLines(uint8_t* Data, size_t Size) {
  for (size_t start = 0; start < Size;) {
    const auto* newline = static_cast<uint8_t*>(std::memchr(Data + start, '\n', Size - start));
    if (newline == nullptr) return;
    const size_t end = static_cast<size_t>(newline - Data);
    if (end - start >= 9 && Data[end - 9] == '\t') {
      char checksum[9];
      std::snprintf(checksum, sizeof checksum, "%08x", Crc32(Data + start, end - 9 - start));
      std::memcpy(Data + end - 8, checksum, 8);
    }
    start = end + 1;
  }
}

}  // namespace

extern "C" size_t LLVMFuzzerMutate(uint8_t* Data, size_t Size, size_t MaxSize);

// One mutant in four keeps whatever checksums it got, for the damaged-line path.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* Data, size_t Size, size_t MaxSize,
                                          unsigned int Seed) {
  const size_t size = LLVMFuzzerMutate(Data, Size, MaxSize);
  if (Seed % 4 != 0) SealLines(Data, size);
  return size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static const TMirrorFolder folder;
  const std::string& dest = folder.Path();
  folder.Clear();
  PutFile(TMirrorState::StatePath(dest), {reinterpret_cast<const char*>(Data), Size});

  std::optional<TMirrorState> state;
  try {
    state.emplace(dest);
  } catch (const EAuException&) {
    return 0;  // not ours, newer, or holding entries it does not know
  }
  // From here on every step must work: the journal has been accepted.
  std::map<std::string, TMirrorRecord> records = state->Records();
  std::set<std::string> folders = state->Folders();

  {
    TMirrorState other(dest);
    Require(other.Records() == records && other.Folders() == folders);
    // Another run is open: nothing may go, whether a rewrite happens or not.
    state->Compact();
    Require(state->Records() == records && state->Folders() == folders);
    const TMirrorState reopened(dest);
    Require(reopened.Records() == records && reopened.Folders() == folders);
    other.Load();
    Require(other.Records() == records && other.Folders() == folders);

    // An append after whatever the journal ended in (a cut line, a damaged one) is read back.
    const std::string output = dest + "/" + kOwnedName;
    PutFile(output, std::string_view(reinterpret_cast<const char*>(Data), Size));
    // Every byte the journal escapes, in the fields that are text.
    const TMirrorRecord owned{.Source = "/music/a\tb\\n\nc",
                              .SourceSize = 7,
                              .SourceMTimeNs = 8,
                              .Settings = "mp3 -V\\2",
                              .Plain = "a\tb.mp3",
                              .Output = kOwnedName,
                              .Identity = IdentityOf(output).value()};
    state->Record(owned);
    records.insert_or_assign(owned.Source, owned);
    Require(state->Records() == records);
    Require(state->Owns(owned));
    other.Load();
    Require(other.Records() == records && other.Folders() == folders);
  }

  // Alone: what is not ours goes, everything else stays as it was.
  std::erase_if(records, [&](const auto& entry) { return !state->Owns(entry.second); });
  std::erase_if(folders, [&](const std::string& name) {
    struct stat status {};
    return ::lstat((dest + "/" + name).c_str(), &status) != 0 || !S_ISDIR(status.st_mode);
  });
  state->Compact();
  Require(state->Records() == records && state->Folders() == folders);
  state.reset();
  const TMirrorState reopened(dest);
  Require(reopened.Records() == records && reopened.Folders() == folders);
  return 0;
}
