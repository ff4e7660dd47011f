// The library workflow around the batch: what each entry does (convert, copy, leave), the
// mirror's state and removals, shards and playlists.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>
#include <sstream>
#include <system_error>
#include <unordered_set>

#include "app/BatchConverter.h"
#include "app/MirrorState.h"
#include "app/NameTemplate.h"
#include "app/Playlist.h"
#include "platform/FileDescriptor.h"
#include "platform/PendingOutput.h"

namespace fs = std::filesystem;

namespace tunevert {

namespace {

// A replaced output stays ours under this key until its successor is placed, so a run killed
// in between leaves it replaceable rather than a stranger's file.
const std::string kReplacedKey = ":replaced:";
const std::string kPlaylistKey = ":playlist:";

bool IsSourceRecord(const TMirrorRecord& Record) {
  return !Record.Source.empty() && Record.Source[0] == '/';
}

std::string SourceKey(const std::string& File) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(File, ec);
  return (ec ? fs::path(File) : absolute).lexically_normal().string();
}

// The same number in every process and on every machine: which shard removes an output.
uint64_t StableHash(const std::string& Text) {
  uint64_t hash = 14695981039346656037ull;
  for (const unsigned char c : Text) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

std::string RelativeTo(const std::string& Dest, const std::string& Path) {
  return Path.compare(0, Dest.size(), Dest) == 0 ? Path.substr(Dest.size()) : Path;
}

// Writes Text as the whole file at Name, every step checked.
void WriteWholeFile(const std::string& Name, const std::string& Text) {
  TFileDescriptor file(::open(Name.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  int error = file.Valid() ? WriteAll(file.Get(), Text.data(), Text.size()) : errno;
  if (error == 0) error = file.Close();
  if (error != 0) throw EAuException(std::generic_category().message(error));
}

bool InShard(size_t Index, int ShardIndex, int ShardCount) {
  return ShardCount <= 1 || static_cast<int>(Index % static_cast<size_t>(ShardCount)) == ShardIndex;
}

}  // namespace

std::string TBatchConverter::SettingsKey(const TFormatSpec& Format, const TQualityChoice& Quality,
                                         bool Copy) const {
  std::ostringstream key;
  if (Copy) {
    key << "copy";
  } else {
    key << Format.Id << " q" << static_cast<int>(Quality.Kind) << '=' << Quality.Value << " r"
        << Settings.SampleRate << '/' << Settings.MaxSampleRate << " c" << Settings.Channels << " b"
        << Settings.BitsPerSample << '/' << Settings.MaxBitsPerSample << " p"
        << Settings.CoverMaxPixels << " t" << CarryTags;
  }
  // Only when asked for, so the outputs of earlier runs without them stay up to date.
  if (!Copy && ReplayGain != TReplayGain::Off) key << " rg" << static_cast<int>(ReplayGain);
  if (!Copy && NormalizeLufs) key << " lufs" << *NormalizeLufs;
  key << " n" << PortableNames << ':' << NameTemplate;
  return key.str();
}

TBatchConverter::TDecisions TBatchConverter::Decide(const std::vector<TBatchSource>& Sources,
                                                    const TFormatSpec& Format,
                                                    const TQualityChoice& Quality,
                                                    const std::string& OutputDir,
                                                    const TMirrorState* State) const {
  TDecisions made;
  const size_t count = Sources.size();
  made.Records.resize(count);
  std::vector<bool> copy(count), unchanged(count);
  std::vector<std::string> fixedPlain(count);
  std::unordered_set<std::string> owned, sourceKeys;
  // A record made by an earlier run that still owns its output, by source key.
  std::map<std::string, const TMirrorRecord*> current;
  if (State != nullptr)
    for (const auto& [key, record] : State->Records())
      if (State->Owns(record)) {
        owned.insert(OutputDir + record.Output);
        current.emplace(key, &record);
      }
  const TNameTemplate* names = nullptr;
  std::optional<TNameTemplate> parsed;
  if (!NameTemplate.empty()) names = &parsed.emplace(NameTemplate);
  std::vector<TNameFields> fields(names != nullptr ? count : 0);
  for (size_t i = 0; i < count; ++i) {
    const TFormatSpec* source = FormatForFile(Sources[i].File);
    copy[i] = source != nullptr &&
              std::find(CopyFormats.begin(), CopyFormats.end(), source->Id) != CopyFormats.end();
    TMirrorRecord& record = made.Records[i];
    record.Source = SourceKey(Sources[i].File);
    sourceKeys.insert(record.Source);
    record.Settings = SettingsKey(Format, Quality, copy[i]);
    struct stat status {};
    if (::stat(Sources[i].File.c_str(), &status) == 0) {
      record.SourceSize = status.st_size;
      record.SourceMTimeNs =
          static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    }
    const auto earlier = current.find(record.Source);
    // An unchanged source keeps its name without its tags being read again.
    if (earlier != current.end() && earlier->second->SourceSize == record.SourceSize &&
        earlier->second->SourceMTimeNs == record.SourceMTimeNs &&
        earlier->second->Settings == record.Settings) {
      unchanged[i] = true;
      fixedPlain[i] = OutputDir + earlier->second->Plain;
    } else if (names != nullptr) {
      fields[i] = names->UsesTags() ? ReadNameFields(Sources[i]) : NameFieldsFor(Sources[i], {});
    }
  }
  TOutputPlanOptions options{OutputDir, Format.Extension, KeepTree, Existing, SkipNewer};
  options.NameTemplate = NameTemplate;
  options.PortableNames = PortableNames;
  options.CopyFormats = CopyFormats;
  if (State != nullptr) options.Owned = &owned;
  made.Plan = PlanOutputs(Sources, options, names != nullptr ? &fields : nullptr, &fixedPlain);

  // Album values are measured over a whole album: its tracks are converted together, by one
  // shard, or not at all.
  const bool albums = ReplayGain == TReplayGain::Album;
  if (albums) {
    made.Albums.resize(count);
    for (size_t i = 0; i < count; ++i)
      if (!copy[i]) made.Albums[i] = AlbumKey(Sources[i]);
  }
  std::unordered_set<std::string> planned, albumsToConvert;
  for (size_t i = 0; i < count; ++i) {
    const TPlannedOutput& plan = made.Plan[i];
    TMirrorRecord& record = made.Records[i];
    record.Plain = RelativeTo(OutputDir, plan.Plain);
    record.Output = RelativeTo(OutputDir, plan.FinalName);
    planned.insert(plan.FinalName);
    TEntryPlan entry{TEntryAction::Convert, plan.FinalName, plan.SkipReason};
    if (!plan.SkipReason.empty())
      entry.Action = TEntryAction::Skip;
    else if (unchanged[i] && current.at(record.Source)->Output == record.Output)
      entry.Action = TEntryAction::Leave;
    else if (plan.Copy)
      entry.Action = TEntryAction::Copy;
    if (!InShard(albums && !made.Albums[i].empty() ? StableHash(made.Albums[i]) : i, ShardIndex,
                 ShardCount))
      entry.Action = TEntryAction::OtherShard;
    if (albums && entry.Action == TEntryAction::Convert) albumsToConvert.insert(made.Albums[i]);
    made.Preview.Entries.push_back(std::move(entry));
  }
  if (!albumsToConvert.empty())
    for (size_t i = 0; i < count; ++i)
      if (made.Preview.Entries[i].Action == TEntryAction::Leave &&
          albumsToConvert.count(made.Albums[i]) != 0)
        made.Preview.Entries[i].Action = TEntryAction::Convert;
  if (State == nullptr) return made;
  // Outputs whose source is gone; an output that an entry of this batch takes over is
  // replaced by that entry instead.
  for (const auto& [key, record] : State->Records()) {
    const bool gone = IsSourceRecord(record)
                          ? sourceKeys.count(key) == 0
                          : key.compare(0, kReplacedKey.size(), kReplacedKey) == 0;
    if (!gone || !InShard(StableHash(key), ShardIndex, ShardCount)) continue;
    if (planned.count(OutputDir + record.Output) != 0) continue;
    if (State->Owns(record)) {
      made.Removals.push_back(record);
      made.Preview.Removals.push_back(OutputDir + record.Output);
    } else {
      made.Forgotten.push_back(key);
    }
  }
  return made;
}

TBatchPreview TBatchConverter::PreviewSources(const std::vector<TBatchSource>& Sources,
                                              const std::string& Format,
                                              const std::string& QualityText,
                                              std::string OutputDir) {
  const TFormatSpec* format = FindFormat(Format);
  if (format == nullptr || !format->Writable())
    throw EAuException("This program cannot write " + Format + " files");
  if (OutputDir.empty()) return {};
  if (OutputDir.back() != '/') OutputDir += '/';
  const TQualityChoice quality =
      QualityText.empty() ? Settings.Quality : format->ChoiceFromText(QualityText);
  // A preview writes nothing: a mirror without a state yet has no records.
  std::unique_ptr<TMirrorState> mirror;
  std::error_code ec;
  if (Mirror && fs::exists(TMirrorState::StatePath(OutputDir), ec))
    mirror = std::make_unique<TMirrorState>(OutputDir);
  return Decide(Sources, *format, quality, OutputDir, mirror.get()).Preview;
}

void TBatchConverter::RemoveGoneOutputs(const TDecisions& Made) {
  for (const std::string& key : Made.Forgotten) FMirror->Forget(key);
  for (const TMirrorRecord& record : Made.Removals) {
    const std::string path = FOutputDir + record.Output;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      if (OnMessage)
        OnMessage("The output " + path +
                  " could not be removed: " + std::generic_category().message(errno));
      continue;
    }
    FMirror->Forget(record.Source);
    ++FRemoved;
    if (OnOutputRemoved) OnOutputRemoved(path);
    PruneFolders(fs::path(record.Output).parent_path().string());
  }
}

void TBatchConverter::PruneFolders(std::string Relative) {
  // Only folders this program made, and only once nothing is left in them.
  while (!Relative.empty() && FMirror->Folders().count(Relative) != 0) {
    if (::rmdir((FOutputDir + Relative).c_str()) != 0 && errno != ENOENT) return;
    FMirror->ForgetFolder(Relative);
    Relative = fs::path(Relative).parent_path().string();
  }
}

void TBatchConverter::MakeOutputFolder(const std::string& Folder) {
  std::error_code ec;
  if (FMirror != nullptr && Folder.compare(0, FOutputDir.size(), FOutputDir) == 0) {
    // Recorded before they exist, so a crash never leaves a folder of ours unrecorded.
    std::vector<std::string> missing;
    for (fs::path folder = RelativeTo(FOutputDir, Folder); !folder.empty();
         folder = folder.parent_path())
      if (!fs::exists(FOutputDir + folder.string(), ec)) missing.push_back(folder.string());
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) FMirror->RecordFolder(*it);
  }
  fs::create_directories(Folder, ec);
  if (!fs::is_directory(Folder))
    throw EAuException("The output folder " + Folder + " could not be created" +
                       (ec ? ": " + ec.message() : std::string()));
}

const TMirrorRecord* TBatchConverter::OwnerOf(const std::string& Relative) const {
  for (const auto& [key, record] : FMirror->Records())
    if (record.Output == Relative && FMirror->Owns(record)) return &record;
  return nullptr;
}

void TBatchConverter::KeepReplaced(const TMirrorRecord& Record) {
  TMirrorRecord kept = Record;
  kept.Source = kReplacedKey + Record.Output;
  FMirror->Record(kept);
}

std::string TBatchConverter::PlaceMirrored(TEntryOutput& Lane, int Index) {
  // Numbered names run out only when other programs keep taking each one we pick.
  constexpr int kRenumberings = 1000;
  TPlannedOutput& planned = FPlan[static_cast<size_t>(Index)];
  TMirrorRecord record = FEntryRecords[static_cast<size_t>(Index)];
  const std::optional<TFileIdentity> identity = IdentityOf(*Lane.Pending);
  if (!identity) throw EAuException("the finished file could not be examined");
  record.Identity = *identity;
  // What this source wrote before under another name goes once its successor is in place.
  std::optional<TMirrorRecord> previous;
  if (const auto found = FMirror->Records().find(record.Source);
      found != FMirror->Records().end() && FMirror->Owns(found->second))
    previous = found->second;
  std::string name = Lane.Final;
  for (int renumbered = 0;; ++renumbered) {
    record.Output = RelativeTo(FOutputDir, name);
    if (previous && previous->Output != record.Output) KeepReplaced(*previous);
    struct stat existing {};
    if (::lstat(name.c_str(), &existing) == 0) {
      if (const TMirrorRecord* holder = OwnerOf(record.Output)) {
        const TMirrorRecord replaced = *holder;
        if (replaced.Source != kReplacedKey + record.Output) {
          KeepReplaced(replaced);
          if (replaced.Source != record.Source) FMirror->Forget(replaced.Source);
        }
        FMirror->Record(record);
        Lane.Pending->PlaceReplacing(name);
        FMirror->Forget(kReplacedKey + record.Output);
        break;
      }
    } else {
      FMirror->Record(record);
      if (Lane.Pending->PlaceNew(name)) break;
    }
    // Someone else's file: it stays, and this output takes the next free number.
    if (renumbered == kRenumberings) throw EAuException("every numbered name is taken");
    name = RenumberedOutput(FFiles, FPlan, static_cast<size_t>(Index), "");
    planned.FinalName = name;
    planned.Numbered = true;
  }
  if (previous && previous->Output != record.Output) {
    const std::string old = FOutputDir + previous->Output;
    if (::unlink(old.c_str()) == 0 || errno == ENOENT) {
      FMirror->Forget(kReplacedKey + previous->Output);
      PruneFolders(fs::path(previous->Output).parent_path().string());
    }
  }
  return name;
}

void TBatchConverter::UpdatePlaylists() {
  std::vector<std::string> outputs;
  for (size_t i = 0; i < FPlan.size(); ++i)
    if (FPlaced[i] || FActions[i] == TEntryAction::OtherShard)
      outputs.push_back(FPlan[i].FinalName);
  std::set<std::string> written;
  for (const TPlaylistFile& playlist :
       Playlist ? FolderPlaylists(outputs) : std::vector<TPlaylistFile>{}) {
    const std::string relative = RelativeTo(FOutputDir, playlist.Path);
    written.insert(relative);
    try {
      const TMirrorRecord* holder = FMirror ? OwnerOf(relative) : nullptr;
      struct stat existing {};
      if (FMirror && holder == nullptr && ::lstat(playlist.Path.c_str(), &existing) == 0)
        throw EAuException("a file of that name is there already");
      TPendingOutput pending(playlist.Path);
      WriteWholeFile(pending.Path(), PlaylistText(playlist));
      if (FMirror) {
        TMirrorRecord record;
        record.Source = kPlaylistKey + relative;
        record.Output = relative;
        record.Identity = IdentityOf(pending).value_or(TFileIdentity{});
        FMirror->Record(record);
      }
      pending.PlaceReplacing(playlist.Path);
    } catch (const std::exception& e) {
      if (OnMessage)
        OnMessage("The playlist " + playlist.Path + " could not be written: " + e.what());
    }
  }
  if (!FMirror) return;
  // A folder left without outputs loses its playlist, and the folder when it is ours.
  std::vector<TMirrorRecord> stale;
  for (const auto& [key, record] : FMirror->Records())
    if (key.compare(0, kPlaylistKey.size(), kPlaylistKey) == 0 &&
        written.count(record.Output) == 0 && InShard(StableHash(key), ShardIndex, ShardCount))
      stale.push_back(record);
  for (const TMirrorRecord& record : stale) {
    if (FMirror->Owns(record) && ::unlink((FOutputDir + record.Output).c_str()) != 0 &&
        errno != ENOENT)
      continue;
    FMirror->Forget(record.Source);
    PruneFolders(fs::path(record.Output).parent_path().string());
  }
}

void TBatchConverter::CopyDone(TLane& Lane, TFileCopyJob& Job) {
  PruneCopies(false);
  if (!FRunning || Lane.Copy.get() != &Job || IsDestroying()) return;
  // Joined later: this runs on the main thread while the job's thread waits for it.
  FRetiredCopies.push_back(std::move(Lane.Copy));
  const int index = std::exchange(Lane.Entry, -1);
  ++FFinished;
  SettleEntry(Lane, index, Job.Failure(), {}, true);
  StartNext();
}

void TBatchConverter::PruneCopies(bool All) {
  std::erase_if(FRetiredCopies, [All](const auto& job) { return All || job->Finished(); });
}

void TBatchConverter::CloseMirror() {
  if (!FMirror) return;
  // The journal holds everything already; compacting only keeps it short.
  try {
    FMirror->Compact();
  } catch (const std::exception& e) {
    if (OnMessage) OnMessage(e.what());
  }
  FMirror.reset();
}

}  // namespace tunevert
