#include "platform/PendingOutput.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string_view>
#include <utility>

#include "platform/Exception.h"
#include "platform/Text.h"

namespace tunevert {

namespace {

// Marks our temporary files: the folder scans leave hidden files out, and a glance at a
// folder shows whose they are.
constexpr std::string_view kMarker = ".tunevert-";
// Exclusive creation only meets a name already there by chance (or planted); a few more
// tokens settle that, and a token source that keeps repeating itself ends as an error.
constexpr int kNameAttempts = 100;

[[noreturn]] void Raise(int Error) {
  throw EAuException(std::strerror(Error));
}

std::string FolderOf(const std::string& Name) {
  const size_t slash = Name.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : Name.substr(0, slash);
}

std::string ProcPath(int Descriptor) {
  return "/proc/self/fd/" + std::to_string(Descriptor);
}

bool SameInode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether opening Path reaches the file behind Descriptor: false without /proc.
bool Reaches(const std::string& Path, int Descriptor) {
  struct stat viaPath {};
  struct stat held {};
  return ::stat(Path.c_str(), &viaPath) == 0 && ::fstat(Descriptor, &held) == 0 &&
         SameInode(viaPath, held);
}

int OpenRetrying(const char* Path, int Flags, mode_t Mode) {
  int fd;
  do {
    fd = ::open(Path, Flags, Mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Where a cut at At bytes would split a UTF-8 sequence, the start of that sequence. Bytes
// that are not UTF-8 are cut where they are.
size_t CharacterBoundary(const std::string& Text, size_t At) {
  size_t cut = At;
  for (int back = 0; back < 3 && cut > 0 && (static_cast<uint8_t>(Text[cut]) & 0xC0) == 0x80;
       ++back)
    --cut;
  const auto lead = static_cast<uint8_t>(Text[cut]);
  return lead >= 0xC0 ? cut : At;
}

}  // namespace

std::string PendingFileName(const std::string& FinalName, const std::string& Token) {
  const size_t slash = FinalName.rfind('/');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  std::string stem = FinalName.substr(start);
  const std::string ext = FileExtension(stem);
  stem.erase(stem.size() - ext.size());
  const size_t fixed = 1 + kMarker.size() + Token.size() + ext.size();
  const size_t room = fixed < NAME_MAX ? NAME_MAX - fixed : 0;
  if (stem.size() > room) stem.erase(CharacterBoundary(stem, room));
  return FinalName.substr(0, start) + "." + stem + std::string(kMarker) + Token + ext;
}

bool SyncFolder(const std::string& Folder) {
  const int fd = OpenRetrying(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

TPendingOutput::TPendingOutput(const std::string& FinalName, TOptions Options)
    : FOptions(std::move(Options)) {
  if (FOptions.AnonymousFiles && FOptions.ProcPaths) {
    // Refused where the file system has no such files (EOPNOTSUPP, EISDIR, EINVAL...); the
    // named kind is tried then, and its error is the one reported.
    FDescriptor = OpenRetrying(FolderOf(FinalName).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
    if (FDescriptor >= 0) {
      FPath = ProcPath(FDescriptor);
      if (Reaches(FPath, FDescriptor)) {
        FAnonymous = true;
        return;
      }
      // Without /proc an anonymous file could be neither reopened nor named.
      ::close(FDescriptor);
      FDescriptor = -1;
    }
  }
  for (int attempt = 1;; ++attempt) {
    const std::string name = PendingFileName(FinalName, NewToken());
    FDescriptor =
        OpenRetrying(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (FDescriptor >= 0) {
      FTemporaryName = name;
      break;
    }
    if (errno != EEXIST || attempt == kNameAttempts) Raise(errno);
  }
  const std::string proc = ProcPath(FDescriptor);
  // Without /proc writers open the name itself, which only this process could have made.
  FPath = FOptions.ProcPaths && Reaches(proc, FDescriptor) ? proc : FTemporaryName;
}

TPendingOutput::~TPendingOutput() {
  Discard();
}

std::string TPendingOutput::NewToken() const {
  if (FOptions.NameToken) return FOptions.NameToken();
  return RandomToken();
}

std::string RandomToken() {
  uint64_t value = 0;
  if (::getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
    std::random_device device;
    value = (static_cast<uint64_t>(device()) << 32) ^ device();
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

bool TPendingOutput::SameFileAt(const std::string& Name) const {
  struct stat atName {};
  struct stat held {};
  return ::lstat(Name.c_str(), &atName) == 0 && ::fstat(FDescriptor, &held) == 0 &&
         SameInode(atName, held);
}

bool TPendingOutput::PlaceNew(const std::string& Name) {
  if (FDescriptor < 0 || FPlaced) Raise(EBADF);
  if (FAnonymous) {
    if (::linkat(AT_FDCWD, FPath.c_str(), AT_FDCWD, Name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      FPlaced = true;
      return true;
    }
    if (errno == EEXIST) return false;
    Raise(errno);
  }
  // Whatever another program may have put at our temporary name is never placed.
  if (!SameFileAt(FTemporaryName)) Raise(ENOENT);
  const char* from = FTemporaryName.c_str();
  bool placed = false;
  if (FOptions.RenameNoReplace) {
    placed = ::renameat2(AT_FDCWD, from, AT_FDCWD, Name.c_str(), RENAME_NOREPLACE) == 0;
    if (!placed) {
      if (errno == EEXIST) return false;
      if (errno != EINVAL && errno != ENOSYS) Raise(errno);
      FOptions.RenameNoReplace = false;  // this file system has no such rename
    }
  }
  if (!placed && FOptions.HardLinks) {
    placed = ::link(from, Name.c_str()) == 0;
    if (placed) {
      ::unlink(from);
    } else {
      if (errno == EEXIST) return false;
      if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) Raise(errno);
      FOptions.HardLinks = false;  // vfat and the like
    }
  }
  if (!placed) {
    // Neither exists here: look, then rename. Another program could still take the name in
    // between; no call of such a file system can rule that out.
    struct stat existing {};
    if (::lstat(Name.c_str(), &existing) == 0) return false;
    if (errno != ENOENT) Raise(errno);
    if (::rename(from, Name.c_str()) != 0) Raise(errno);
  }
  FTemporaryName.clear();
  FPlaced = true;
  return true;
}

std::string TPendingOutput::LinkToFreshName(const std::string& Beside) {
  for (int attempt = 1;; ++attempt) {
    const std::string name = PendingFileName(Beside, NewToken());
    if (::linkat(AT_FDCWD, FPath.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
      return name;
    if (errno != EEXIST || attempt == kNameAttempts) Raise(errno);
  }
}

void TPendingOutput::Sync() {
  if (FDescriptor < 0) Raise(EBADF);
  if (::fsync(FDescriptor) != 0) Raise(errno);
}

void TPendingOutput::PlaceReplacing(const std::string& Name) {
  if (FDescriptor < 0 || FPlaced) Raise(EBADF);
  // The old file goes only once the new one would survive a crash.
  if (::fsync(FDescriptor) != 0) Raise(errno);
  // An anonymous file cannot be renamed over another; a name of its own can. A crash before
  // the rename leaves that name behind, hidden, as it would a named temporary file.
  const std::string from = FAnonymous ? LinkToFreshName(Name) : FTemporaryName;
  if (!FAnonymous && !SameFileAt(from)) Raise(ENOENT);
  if (::rename(from.c_str(), Name.c_str()) != 0) {
    const int error = errno;
    if (FAnonymous) ::unlink(from.c_str());
    Raise(error);
  }
  FTemporaryName.clear();
  FPlaced = true;
}

void TPendingOutput::Discard() {
  if (FDescriptor < 0) return;
  // Only our own file: a name swapped behind our back is someone else's.
  if (!FPlaced && !FTemporaryName.empty() && SameFileAt(FTemporaryName))
    ::unlink(FTemporaryName.c_str());
  ::close(FDescriptor);
  FDescriptor = -1;
  FTemporaryName.clear();
  FPath.clear();
}

}  // namespace tunevert
