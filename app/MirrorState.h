#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace tunevert {

class TPendingOutput;

// What tells one file from another that took its name: a file replaced (even by one of the
// same size) has another inode, a file changed in place another size or time.
struct TFileIdentity {
  uint64_t Device = 0, Inode = 0;
  int64_t Size = 0, MTimeNs = 0;
  bool operator==(const TFileIdentity&) const = default;
};

// Of the regular file at Path itself (a link is never ours); nullopt for anything else.
std::optional<TFileIdentity> IdentityOf(const std::string& Path);
// Of an open file; nullopt when it cannot be asked.
std::optional<TFileIdentity> IdentityOfDescriptor(int Descriptor);
// Of a pending output as it will be once placed: take it when the file is complete.
std::optional<TFileIdentity> IdentityOf(const TPendingOutput& Output);

struct TMirrorRecord {
  std::string Source;  // absolute path
  int64_t SourceSize = 0, SourceMTimeNs = 0;
  std::string Settings;  // fingerprint of the conversion settings
  std::string Plain;     // the output name before numbering, relative to the mirror
  std::string Output;    // relative to the mirror
  TFileIdentity Identity;
  bool operator==(const TMirrorRecord&) const = default;
};

// What a mirror holds of ours: which source made which output, and which folders we made.
// Kept in the mirror as a journal that every run appends to under a lock, so that runs on
// several machines (NFS) may share a mirror, and a run killed at any moment loses at most the
// line it was writing.
//
// An output is recorded before it is placed, with the identity it will have; it is ours for
// as long as the file at its name keeps that identity. A record whose output never got
// placed is thus simply not ours, and goes at the next Compact when no other run is open.
//
// Locks belong to the open state, not the process: two states in one process exclude each
// other, and a child process must open a state of its own.
class TMirrorState {
 public:
  // Opens or creates the state in Dest. Throws EAuException with a message for the user when
  // Dest cannot hold it, or the state there is not ours or from a newer version.
  explicit TMirrorState(const std::string& Dest);
  ~TMirrorState();
  TMirrorState(const TMirrorState&) = delete;
  TMirrorState& operator=(const TMirrorState&) = delete;

  // The live records by source: as of the last Load, plus this object's own changes since.
  const std::map<std::string, TMirrorRecord>& Records() const { return FRecords; }
  // Folders (relative to the mirror) we created.
  const std::set<std::string>& Folders() const { return FFolders; }

  // Takes in what every run wrote since the last Load.
  void Load();
  // Each is on the disk before it returns.
  void Record(const TMirrorRecord& Record);        // before its output is placed
  void Forget(const std::string& Source);          // once its output is removed
  void RecordFolder(const std::string& Relative);  // before the folder is created
  void ForgetFolder(const std::string& Relative);  // once it is removed

  // Whether Record's output is still the file we placed.
  bool Owns(const TMirrorRecord& Record) const;

  // Rewrites the state as its live records, merged with what other runs wrote. When no other
  // run has the state open, records whose output is not ours and folders that are gone are
  // dropped too; while one is, they may be its work in progress and stay.
  void Compact();

  // The state's file and its lock file in a mirror.
  static std::string StatePath(const std::string& Dest);
  static std::string LockPath(const std::string& Dest);

 private:
  class TLockHold;

  // Returns false when there is no state file.
  bool LoadLocked(bool Whole);
  // Applies Text's complete lines; returns how many bytes they took.
  size_t ApplyLines(std::string_view Text);
  void ApplyLine(std::string_view Line);
  void Append(const std::string& Line);
  // Puts Content at the state's name, whole or not at all.
  void WriteFresh(const std::string& Content);
  // A state without entries.
  void WriteFresh();

  std::string FDest;
  std::string FStatePath;
  int FLock = -1;
  std::map<std::string, TMirrorRecord> FRecords;
  std::set<std::string> FFolders;
  // Which file the last Load read (each rewrite gets a new generation) and how far.
  std::string FGeneration;
  uint64_t FLoadedTo = 0;
  // Lines in the file, live or not; what a rewrite would leave out is the difference.
  size_t FLines = 0;
};

}  // namespace tunevert
