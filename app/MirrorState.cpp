#include "app/MirrorState.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Exception.h"
#include "platform/FileDescriptor.h"
#include "platform/PendingOutput.h"

namespace tunevert {

namespace {

constexpr std::string_view kMagic = "tunevert-mirror";
constexpr int kFormat = 1;
constexpr const char* kStateName = "/.tunevert-mirror";
// A rewrite is made here and renamed over the state; one left by a killed run is replaced.
constexpr const char* kRewriteSuffix = ".new";
// Bytes of the lock file: the first guards the journal, and every open state holds a shared
// lock on the second, so that a rewrite can tell whether another run is at work.
constexpr off_t kJournalByte = 0;
constexpr off_t kOpenByte = 1;
// The header line is far shorter; a longer first line is not ours.
constexpr size_t kHeaderLimit = 256;

[[noreturn]] void Fail(const std::string& What, int Error) {
  throw EAuException(What + ": " + std::strerror(Error));
}

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

// CRC-32 as zlib computes it, so that a line can be checked with common tools.
uint32_t Crc32(std::string_view Bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (const char byte : Bytes)
    crc = kCrcTable[(crc ^ static_cast<uint8_t>(byte)) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

// Names are bytes: only the separators and the escape itself are escaped.
void AppendEscaped(std::string& Line, std::string_view Field) {
  for (const char c : Field) {
    switch (c) {
      case '\\':
        Line += "\\\\";
        break;
      case '\t':
        Line += "\\t";
        break;
      case '\n':
        Line += "\\n";
        break;
      default:
        Line += c;
    }
  }
}

std::optional<std::string> Unescaped(std::string_view Field) {
  std::string text;
  text.reserve(Field.size());
  for (size_t i = 0; i < Field.size(); ++i) {
    if (Field[i] != '\\') {
      text += Field[i];
      continue;
    }
    if (++i == Field.size()) return std::nullopt;
    switch (Field[i]) {
      case '\\':
        text += '\\';
        break;
      case 't':
        text += '\t';
        break;
      case 'n':
        text += '\n';
        break;
      default:
        return std::nullopt;
    }
  }
  return text;
}

template <typename T>
std::optional<T> Number(std::string_view Field) {
  T value{};
  const auto [end, error] = std::from_chars(Field.data(), Field.data() + Field.size(), value);
  if (error != std::errc() || end != Field.data() + Field.size() || Field.empty())
    return std::nullopt;
  return value;
}

// A journal line: its kind, its fields and the checksum of both.
class TLineBuilder {
 public:
  explicit TLineBuilder(std::string_view Kind) : FLine(Kind) {}
  TLineBuilder& Text(std::string_view Field) {
    FLine += '\t';
    AppendEscaped(FLine, Field);
    return *this;
  }
  TLineBuilder& Integer(int64_t Value) { return Text(std::to_string(Value)); }
  TLineBuilder& Unsigned(uint64_t Value) { return Text(std::to_string(Value)); }
  std::string Done() {
    char checksum[16];
    std::snprintf(checksum, sizeof checksum, "\t%08x\n", Crc32(FLine));
    return FLine + checksum;
  }

 private:
  std::string FLine;
};

std::string RecordLine(const TMirrorRecord& Record) {
  return TLineBuilder("record")
      .Text(Record.Source)
      .Integer(Record.SourceSize)
      .Integer(Record.SourceMTimeNs)
      .Text(Record.Settings)
      .Text(Record.Plain)
      .Text(Record.Output)
      .Unsigned(Record.Identity.Device)
      .Unsigned(Record.Identity.Inode)
      .Integer(Record.Identity.Size)
      .Integer(Record.Identity.MTimeNs)
      .Done();
}

std::string HeaderLine(const std::string& Generation) {
  return std::string(kMagic) + '\t' + std::to_string(kFormat) + '\t' + Generation + '\n';
}

TFileIdentity IdentityOfStat(const struct stat& Status) {
  return {static_cast<uint64_t>(Status.st_dev), static_cast<uint64_t>(Status.st_ino),
          static_cast<int64_t>(Status.st_size),
          static_cast<int64_t>(Status.st_mtim.tv_sec) * 1'000'000'000 + Status.st_mtim.tv_nsec};
}

int OpenRetrying(const char* Path, int Flags, mode_t Mode = 0) {
  int fd;
  do {
    fd = ::open(Path, Flags, Mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Waits for (or, with Wait false, tries) a lock on one byte of the lock file. Locks of the
// open file description: they keep two states in one process apart as well, and a close
// elsewhere in the process leaves them alone.
bool LockByte(int Descriptor, short Type, off_t Byte, bool Wait) {
  struct flock lock {};
  lock.l_type = Type;
  lock.l_whence = SEEK_SET;
  lock.l_start = Byte;
  lock.l_len = 1;
  for (;;) {
    if (::fcntl(Descriptor, Wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) return true;
    if (errno == EINTR) continue;
    if (!Wait && (errno == EAGAIN || errno == EACCES)) return false;
    Fail("Cannot lock the mirror's state", errno);
  }
}

// Unlocking and going back from exclusive to shared never wait, and have nothing to report.
void SetLockQuietly(int Descriptor, short Type, off_t Byte) {
  struct flock lock {};
  lock.l_type = Type;
  lock.l_whence = SEEK_SET;
  lock.l_start = Byte;
  lock.l_len = 1;
  while (::fcntl(Descriptor, F_OFD_SETLK, &lock) != 0 && errno == EINTR) {
  }
}

std::string ReadFrom(int Descriptor, uint64_t Offset, const std::string& Path) {
  struct stat status {};
  if (::fstat(Descriptor, &status) != 0) Fail(Path, errno);
  std::string text;
  if (static_cast<uint64_t>(status.st_size) > Offset)
    text.reserve(static_cast<size_t>(status.st_size - static_cast<off_t>(Offset)));
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::pread(Descriptor, buffer, sizeof buffer, static_cast<off_t>(Offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Fail(Path, errno);
    if (got == 0) return text;
    text.append(buffer, static_cast<size_t>(got));
    Offset += static_cast<uint64_t>(got);
  }
}

void WriteAt(int Descriptor, std::string_view Bytes, off_t Offset, const std::string& Path) {
  while (!Bytes.empty()) {
    const ssize_t put = ::pwrite(Descriptor, Bytes.data(), Bytes.size(), Offset);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) Fail(Path, put < 0 ? errno : EIO);
    Bytes.remove_prefix(static_cast<size_t>(put));
    Offset += put;
  }
}

// Where the last complete line of the file ends.
off_t CompleteLinesEnd(int Descriptor, off_t Size, const std::string& Path) {
  char buffer[4096];
  for (off_t end = Size; end > 0;) {
    const off_t start = end > static_cast<off_t>(sizeof buffer) ? end - sizeof buffer : 0;
    const ssize_t got = ::pread(Descriptor, buffer, static_cast<size_t>(end - start), start);
    if (got < 0 && errno == EINTR) continue;
    if (got != end - start) Fail(Path, got < 0 ? errno : EIO);
    for (ssize_t i = got; i > 0; --i)
      if (buffer[i - 1] == '\n') return start + i;
    end = start;
  }
  return 0;
}

struct THeader {
  std::string Generation;
  size_t End = 0;  // where the journal's lines begin
};

// The header at the start of Text; throws for a file that is not ours or not for us.
THeader ParseHeader(std::string_view Text, const std::string& Path) {
  const size_t end = Text.find('\n');
  const std::string_view line = Text.substr(0, end);
  const std::string magic = std::string(kMagic) + '\t';
  if (end == std::string_view::npos || !line.starts_with(magic))
    throw EAuException(Path +
                       " is not a Tunevert mirror state; move it away to mirror into this folder.");
  const std::string_view rest = line.substr(magic.size());
  const size_t tab = rest.find('\t');
  const auto format = Number<int>(rest.substr(0, tab));
  if (format && *format > kFormat)
    throw EAuException(Path +
                       " was written by a newer version of Tunevert; use that version to mirror "
                       "into this folder.");
  if (!format || *format < 1 || tab == std::string_view::npos || tab + 1 == rest.size())
    throw EAuException(Path +
                       " is damaged; move it away to mirror into this folder afresh (the files "
                       "already there are then left alone).");
  return {std::string(rest.substr(tab + 1)), end + 1};
}

// The header of the open state; nullopt for an empty file.
std::optional<THeader> ReadHeader(int Descriptor, const std::string& Path) {
  char start[kHeaderLimit];
  ssize_t got;
  do {
    got = ::pread(Descriptor, start, sizeof start, 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) Fail(Path, errno);
  if (got == 0) return std::nullopt;
  return ParseHeader({start, static_cast<size_t>(got)}, Path);
}

}  // namespace

std::optional<TFileIdentity> IdentityOf(const std::string& Path) {
  struct stat status {};
  if (::lstat(Path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return IdentityOfStat(status);
}

std::optional<TFileIdentity> IdentityOfDescriptor(int Descriptor) {
  struct stat status {};
  if (::fstat(Descriptor, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return IdentityOfStat(status);
}

std::optional<TFileIdentity> IdentityOf(const TPendingOutput& Output) {
  // Path() may be /proc/self/fd/N, a link to the file: the file is what counts.
  const TFileDescriptor file(OpenRetrying(Output.Path().c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.Valid()) return std::nullopt;
  return IdentityOfDescriptor(file.Get());
}

// Holds one of the journal's locks for a scope.
class TMirrorState::TLockHold {
 public:
  TLockHold(int Descriptor, short Type) : FDescriptor(Descriptor) {
    LockByte(FDescriptor, Type, kJournalByte, true);
  }
  ~TLockHold() { SetLockQuietly(FDescriptor, F_UNLCK, kJournalByte); }
  TLockHold(const TLockHold&) = delete;
  TLockHold& operator=(const TLockHold&) = delete;

 private:
  int FDescriptor;
};

std::string TMirrorState::StatePath(const std::string& Dest) {
  return Dest + kStateName;
}

std::string TMirrorState::LockPath(const std::string& Dest) {
  return Dest + kStateName + ".lock";
}

TMirrorState::TMirrorState(const std::string& Dest) : FDest(Dest), FStatePath(StatePath(Dest)) {
  struct stat status {};
  if (::stat(Dest.c_str(), &status) != 0) Fail(Dest, errno);
  if (!S_ISDIR(status.st_mode)) throw EAuException(Dest + " is not a folder");
  // Never replaced, so that every run locks the same file.
  FLock = OpenRetrying(LockPath(Dest).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (FLock < 0) Fail("Cannot keep the mirror's state in " + Dest, errno);
  try {
    LockByte(FLock, F_RDLCK, kOpenByte, true);
    const TLockHold hold(FLock, F_WRLCK);
    if (!LoadLocked(true)) {
      WriteFresh();
      LoadLocked(true);
    }
  } catch (...) {
    ::close(FLock);
    throw;
  }
}

TMirrorState::~TMirrorState() {
  ::close(FLock);
}

void TMirrorState::Load() {
  const TLockHold hold(FLock, F_RDLCK);
  LoadLocked(false);
}

bool TMirrorState::LoadLocked(bool Whole) {
  const TFileDescriptor file(OpenRetrying(FStatePath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!file.Valid() && errno != ENOENT) Fail(FStatePath, errno);
  const auto header = file.Valid() ? ReadHeader(file.Get(), FStatePath) : std::nullopt;
  if (!header) {
    // Removed behind our back (or never written): nothing is known to be ours.
    FRecords.clear();
    FFolders.clear();
    FGeneration.clear();
    FLoadedTo = 0;
    FLines = 0;
    return false;
  }
  // Another run's rewrite is read whole; otherwise only what was appended since.
  if (Whole || header->Generation != FGeneration) {
    FRecords.clear();
    FFolders.clear();
    FGeneration = header->Generation;
    FLoadedTo = header->End;
    FLines = 0;
  }
  const std::string text = ReadFrom(file.Get(), FLoadedTo, FStatePath);
  const size_t consumed = ApplyLines(text);
  FLoadedTo += consumed;
  if (consumed != text.size()) ++FLines;  // the rest of a line cut short
  return true;
}

size_t TMirrorState::ApplyLines(std::string_view Text) {
  size_t consumed = 0;
  for (;;) {
    const size_t end = Text.find('\n', consumed);
    // A last line without its end was cut short by a crash; the next append removes it.
    if (end == std::string_view::npos) return consumed;
    ApplyLine(Text.substr(consumed, end - consumed));
    ++FLines;
    consumed = end + 1;
  }
}

namespace {

// A name below the mirror: relative, with no empty, "." or ".." part and no NUL. A journal
// that names anything else was not written here, and nothing outside the mirror is touched.
bool InsideMirror(std::string_view Name) {
  if (Name.empty() || Name.find('\0') != std::string_view::npos) return false;
  for (size_t from = 0;;) {
    const size_t slash = Name.find('/', from);
    const std::string_view part = Name.substr(from, slash - from);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string_view::npos) return true;
    from = slash + 1;
  }
}

}  // namespace

void TMirrorState::ApplyLine(std::string_view Line) {
  const size_t lastTab = Line.rfind('\t');
  if (lastTab == std::string_view::npos || Line.size() - lastTab != 9) return;
  const std::string_view body = Line.substr(0, lastTab);
  char expected[9];
  std::snprintf(expected, sizeof expected, "%08x", Crc32(body));
  // A line cut short or damaged on the disk is skipped; those after it still count.
  if (Line.substr(lastTab + 1) != expected) return;

  std::vector<std::string_view> fields;
  for (size_t from = 0;;) {
    const size_t tab = body.find('\t', from);
    fields.push_back(body.substr(from, tab - from));
    if (tab == std::string_view::npos) break;
    from = tab + 1;
  }
  const std::string_view kind = fields[0];
  const auto refuse = [&] {
    throw EAuException(FStatePath + " holds \"" + std::string(kind) +
                       "\" entries that this version of Tunevert does not know; use a newer "
                       "version to mirror into this folder.");
  };
  std::vector<std::string> texts;
  for (size_t i = 1; i < fields.size(); ++i) {
    auto text = Unescaped(fields[i]);
    if (!text) refuse();
    texts.push_back(std::move(*text));
  }
  if (kind == "record" && texts.size() == 10) {
    TMirrorRecord record;
    record.Source = std::move(texts[0]);
    const auto sourceSize = Number<int64_t>(texts[1]);
    const auto sourceTime = Number<int64_t>(texts[2]);
    record.Settings = std::move(texts[3]);
    record.Plain = std::move(texts[4]);
    record.Output = std::move(texts[5]);
    const auto device = Number<uint64_t>(texts[6]);
    const auto inode = Number<uint64_t>(texts[7]);
    const auto size = Number<int64_t>(texts[8]);
    const auto time = Number<int64_t>(texts[9]);
    if (!sourceSize || !sourceTime || !device || !inode || !size || !time) refuse();
    record.SourceSize = *sourceSize;
    record.SourceMTimeNs = *sourceTime;
    record.Identity = {*device, *inode, *size, *time};
    if (!InsideMirror(record.Output) || (!record.Plain.empty() && !InsideMirror(record.Plain)))
      return;
    const std::string key = record.Source;
    FRecords.insert_or_assign(key, std::move(record));
  } else if (kind == "forget" && texts.size() == 1) {
    FRecords.erase(texts[0]);
  } else if (kind == "folder" && texts.size() == 1) {
    if (InsideMirror(texts[0])) FFolders.insert(std::move(texts[0]));
  } else if (kind == "unfolder" && texts.size() == 1) {
    FFolders.erase(texts[0]);
  } else {
    refuse();
  }
}

void TMirrorState::WriteFresh(const std::string& Content) {
  const std::string temporary = FStatePath + kRewriteSuffix;
  if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) Fail(temporary, errno);
  TFileDescriptor file(
      OpenRetrying(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!file.Valid()) Fail("Cannot keep the mirror's state in " + FDest, errno);
  try {
    WriteAt(file.Get(), Content, 0, temporary);
    if (::fsync(file.Get()) != 0) Fail(temporary, errno);
    if (const int error = file.Close()) Fail(temporary, error);
    if (::rename(temporary.c_str(), FStatePath.c_str()) != 0) Fail(FStatePath, errno);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  if (!SyncFolder(FDest)) Fail(FDest, errno);
}

void TMirrorState::WriteFresh() {
  WriteFresh(HeaderLine(RandomToken()));
}

void TMirrorState::Append(const std::string& Line) {
  const TLockHold hold(FLock, F_WRLCK);
  for (;;) {
    // Opened afresh under the lock: another run's rewrite may have replaced the file, and on
    // NFS an open is what brings the file's latest length.
    TFileDescriptor file(OpenRetrying(FStatePath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    if (!file.Valid() && errno != ENOENT) Fail(FStatePath, errno);
    if (!file.Valid() || !ReadHeader(file.Get(), FStatePath)) {
      WriteFresh();
      continue;
    }
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0) Fail(FStatePath, errno);
    // The rest of a line a killed run left unfinished goes, so that it cannot become the
    // start of ours.
    const off_t end = CompleteLinesEnd(file.Get(), status.st_size, FStatePath);
    if (end != status.st_size && ::ftruncate(file.Get(), end) != 0) Fail(FStatePath, errno);
    try {
      WriteAt(file.Get(), Line, end, FStatePath);
      if (::fdatasync(file.Get()) != 0) Fail(FStatePath, errno);
    } catch (...) {
      // No line of ours half there for the next append to run into.
      if (::ftruncate(file.Get(), end) == 0) ::fdatasync(file.Get());
      throw;
    }
    if (const int error = file.Close()) Fail(FStatePath, error);
    return;
  }
}

void TMirrorState::Record(const TMirrorRecord& Record) {
  Append(RecordLine(Record));
  FRecords.insert_or_assign(Record.Source, Record);
}

void TMirrorState::Forget(const std::string& Source) {
  Append(TLineBuilder("forget").Text(Source).Done());
  FRecords.erase(Source);
}

void TMirrorState::RecordFolder(const std::string& Relative) {
  Append(TLineBuilder("folder").Text(Relative).Done());
  FFolders.insert(Relative);
}

void TMirrorState::ForgetFolder(const std::string& Relative) {
  Append(TLineBuilder("unfolder").Text(Relative).Done());
  FFolders.erase(Relative);
}

bool TMirrorState::Owns(const TMirrorRecord& Record) const {
  return !Record.Output.empty() && IdentityOf(FDest + "/" + Record.Output) == Record.Identity;
}

void TMirrorState::Compact() {
  const TLockHold hold(FLock, F_WRLCK);
  LoadLocked(true);
  // Alone when no other open state holds the shared lock ours would become exclusive.
  const bool alone = LockByte(FLock, F_WRLCK, kOpenByte, false);
  struct TBackToShared {
    int Descriptor;
    bool Held;
    ~TBackToShared() {
      if (Held) SetLockQuietly(Descriptor, F_RDLCK, kOpenByte);
    }
  } backToShared{FLock, alone};
  size_t dropped = 0;
  if (alone) {
    dropped += std::erase_if(FRecords, [this](const auto& entry) { return !Owns(entry.second); });
    dropped += std::erase_if(FFolders, [this](const std::string& folder) {
      struct stat status {};
      return ::lstat((FDest + "/" + folder).c_str(), &status) != 0 || !S_ISDIR(status.st_mode);
    });
  }
  // Nothing superseded, damaged or dropped: a run that changed nothing writes nothing.
  if (dropped == 0 && FLines == FRecords.size() + FFolders.size()) return;
  const std::string generation = RandomToken();
  std::string content = HeaderLine(generation);
  content.reserve(content.size() + FRecords.size() * 256);
  for (const auto& [source, record] : FRecords) content += RecordLine(record);
  for (const std::string& folder : FFolders) content += TLineBuilder("folder").Text(folder).Done();
  WriteFresh(content);
  FGeneration = generation;
  FLoadedTo = content.size();
  FLines = FRecords.size() + FFolders.size();
}

}  // namespace tunevert
