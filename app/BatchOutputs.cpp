// Finishing a lane's output on its worker (tags, read back) and putting it in place.
#include <sys/stat.h>

#include <filesystem>

#include "app/BatchConverter.h"
#include "app/OutputVerifier.h"
#include "image/CoverScale.h"
#include "pipeline/AuDeliveryTap.h"
#include "tags/EncoderTags.h"
#include "tags/TagLibMeta.h"

namespace fs = std::filesystem;

namespace tunevert {

void TBatchConverter::CompleteOutput(TLane& Lane, int Index, TAuOutput& Output) {
  TCarriedTags measured;
  if (MeasuresLoudness()) MeasuredTrack(Lane, Index, measured);
  if (dynamic_cast<TTagWritingOutput*>(&Output) == nullptr)
    TagOutput(Lane, Index, measured);
  else if (!measured.Empty())
    RewriteGains(Lane, measured);
  if (Verify) {
    if (BeforeVerify) BeforeVerify(Index, Lane.Temp);
    VerifyOutput(Lane.Temp, FFormat->Id, Lane.Tap->Delivered(),
                 [&Output] { return Output.StopRequested(); });
    VerifyWrittenTags(Lane.Temp, FFormat->TagFormat, Lane.Tags);
  }
  // A file that will replace another must be on the disk first; syncing it here keeps that
  // wait off the thread that places it.
  struct stat existing {};
  if (Existing == TExistingOutput::Overwrite && ::lstat(Lane.Final.c_str(), &existing) == 0)
    Lane.Pending->Sync();
}

TBatchConverter::TPlacement TBatchConverter::PlaceOutput(TEntryOutput& Lane, int Index) {
  // Numbered names run out only when other programs keep taking each one we pick.
  constexpr int kRenumberings = 1000;
  TPlannedOutput& planned = FPlan[static_cast<size_t>(Index)];
  TPlacement result;
  std::string name = Lane.Final;
  try {
    if (FMirror) {
      name = PlaceMirrored(Lane, Index);
    } else if (Existing == TExistingOutput::Overwrite) {
      // Only a replacing placement waits for the disk; a new name is synced with its folder
      // when the batch ends.
      if (!Lane.Pending->PlaceNew(name)) Lane.Pending->PlaceReplacing(name);
    } else {
      // The plan saw the folder when the batch started; other programs may have written
      // there since, and what they wrote stays.
      for (int renumbered = 0; !Lane.Pending->PlaceNew(name); ++renumbered) {
        if (Existing == TExistingOutput::Skip) {
          result.SkipReason = name + " already exists";
          return result;
        }
        if (renumbered == kRenumberings) throw EAuException("every numbered name is taken");
        name = RenumberedOutput(FFiles, FPlan, static_cast<size_t>(Index), FFormat->Extension);
        planned.FinalName = name;
        planned.Numbered = true;
      }
    }
  } catch (const std::exception& e) {
    result.Failure = "The output file " + name + " could not be written: " + e.what();
    return result;
  }
  Lane.Final = name;
  FFoldersToSync.insert(fs::path(name).parent_path().string());
  result.Name = std::move(name);
  return result;
}

void TBatchConverter::SyncOutputFolders() {
  // New names are on the disk once their folder is synced; each folder once per batch. A
  // failure here would come after the entries were reported, and the files themselves are
  // complete, so it is not reported.
  for (const std::string& folder : FFoldersToSync) SyncFolder(folder.empty() ? "." : folder);
  FFoldersToSync.clear();
}

namespace {

void AddWarnings(std::string& Warning, const std::vector<std::string>& More) {
  for (const std::string& sentence : More) Warning += (Warning.empty() ? "" : "; ") + sentence;
}

}  // namespace

TCarriedTags TBatchConverter::SourceTags(int Index, std::string& Warning) const {
  if (!CarryTags) return {};
  TCarriedTags tags;
  // A source whose tags cannot be read still converts, without them, and says so: the output
  // may lack what the source holds.
  try {
    tags = ReadCarriedTags(FFiles[static_cast<size_t>(Index)]);
  } catch (const std::exception& e) {
    Warning = std::string("tags not read: ") + e.what();
    return {};
  }
  // Shrunk here, the pictures the read back expects are the shrunk ones.
  AddWarnings(Warning, ShrinkCovers(tags, Settings.CoverMaxPixels));
  // Gains measured on this output replace the source's; a normalised output's level moved
  // by its gain, and the source's gains with it.
  if (ReplayGain != TReplayGain::Off)
    EraseGainTags(tags);
  else if (!FEntryGain.empty())
    ShiftGainTags(tags, FEntryGain[static_cast<size_t>(Index)]);
  return tags;
}

TCarriedTags TBatchConverter::EncoderTags(TLane& Lane, int Index) {
  // What the output's format cannot hold is left out, and said.
  std::vector<std::string> leftOut;
  Lane.Tags = FitCarriedTags(SourceTags(Index, Lane.Warning), FFormat->TagFormat, leftOut);
  AddWarnings(Lane.Warning, leftOut);
  return Lane.Tags;
}

void TBatchConverter::TagOutput(TLane& Lane, int Index, const TCarriedTags& Measured) {
  TCarriedTags tags = SourceTags(Index, Lane.Warning);
  for (const auto& [key, values] : Measured.Text) tags.Text[key] = values;
  // Runs with empty tags too: the output then loses whatever empty record its encoder left.
  // A file whose tags could not be written is no finished output: it would replace an earlier
  // tagged one with bare audio.
  try {
    AddWarnings(Lane.Warning, WriteCarriedTags(Lane.Temp, tags, FFormat->TagFormat, &Lane.Tags));
  } catch (const std::exception& e) {
    throw EAuException(std::string("The tags could not be written: ") + e.what());
  }
}

}  // namespace tunevert
