#pragma once

#include <functional>
#include <string>

namespace tunevert {

// An output file while it is written: created beside its final name so that nobody else's
// file or link is ever opened in its place, and put at a name only when it is complete.
//
// Where the file system allows it the file has no name at all until it is placed (O_TMPFILE),
// so a crash leaves nothing behind. Elsewhere (FAT, some network file systems) it is a hidden
// name with an unpredictable part, created exclusively. Either way writers reach it through
// Path(), which names this file's inode and never a link planted in the folder.
class TPendingOutput {
 public:
  // What the file system is taken to lack, beyond what it reports; tests force the fallbacks
  // with these.
  struct TOptions {
    bool AnonymousFiles = true;   // O_TMPFILE
    bool ProcPaths = true;        // /proc/self/fd/N
    bool RenameNoReplace = true;  // renameat2(RENAME_NOREPLACE)
    bool HardLinks = true;        // link() (vfat has none)
    // The unpredictable part of each temporary name; random when empty.
    std::function<std::string()> NameToken;
  };

  // Creates the file beside FinalName; its folder must exist. Throws EAuException with the
  // system's reason.
  explicit TPendingOutput(const std::string& FinalName) : TPendingOutput(FinalName, TOptions{}) {}
  TPendingOutput(const std::string& FinalName, TOptions Options);
  // A file never placed is removed.
  ~TPendingOutput();
  TPendingOutput(const TPendingOutput&) = delete;
  TPendingOutput& operator=(const TPendingOutput&) = delete;

  // The name writers open, as often as they like, for as long as this object lives.
  const std::string& Path() const { return FPath; }
  // The file's name in its folder until it is placed; empty for a file without a name.
  const std::string& TemporaryName() const { return FTemporaryName; }
  bool Anonymous() const { return FAnonymous; }
  bool Placed() const { return FPlaced; }

  // Puts the file at Name unless something (a file, a folder, a dangling link) is there:
  // then false, and the file stays pending for another name. Throws for any other failure.
  bool PlaceNew(const std::string& Name);
  // Puts the file's data on the disk now, so that a replacing placement has little left to
  // wait for. Throws with the system's reason.
  void Sync();
  // Replaces whatever file is at Name, once this file's data is on the disk.
  void PlaceReplacing(const std::string& Name);

  // Closes the file; one not placed is removed. Path() means nothing afterwards.
  void Discard();

 private:
  std::string NewToken() const;
  bool CreateNamed(const std::string& Folder, const std::string& FinalName);
  // Gives the anonymous file a fresh unpredictable name in its folder, returned.
  std::string LinkToFreshName(const std::string& Beside);
  bool SameFileAt(const std::string& Name) const;

  TOptions FOptions;
  int FDescriptor = -1;
  std::string FPath;
  std::string FTemporaryName;
  bool FAnonymous = false;
  bool FPlaced = false;
};

// ".NAME.tunevert-TOKEN.EXT" beside FinalName, NAME taken from FinalName without its
// extension and shortened (at a character boundary where the bytes are UTF-8) so that the
// name fits in NAME_MAX bytes.
std::string PendingFileName(const std::string& FinalName, const std::string& Token);

// 16 hex digits nobody can guess.
std::string RandomToken();

// Flushes a folder's entries (new and renamed files) to the disk; false when that failed.
bool SyncFolder(const std::string& Folder);

}  // namespace tunevert
