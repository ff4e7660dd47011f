#pragma once

#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "pipeline/FormatSpec.h"

namespace tunevert {

// Whether a file's name is one of a format this program reads (letter case ignored).
inline bool IsSupportedSource(const std::string& FileName) {
  return FormatForFile(FileName) != nullptr;
}

// One entry of a batch. SubFolder ("" or "a/b/") is where the file was found below a folder
// the user gave, so that folder tree can be recreated under the output folder.
struct TBatchSource {
  std::string File;
  std::string SubFolder;
};

// The files as given; each folder replaced by every supported file below it, recursively,
// sorted by path. Hidden files and folders are left out: they are the desktop's and other
// programs' leftovers (and our own unfinished outputs), not music.
std::vector<TBatchSource> ExpandSources(const std::vector<std::string>& Paths);

// What a name template can use: "artist" -> "Abba" (app/NameTemplate.h). A field that is
// not set is absent.
using TNameFields = std::map<std::string, std::string>;

// What happens to an output name that already exists on disk.
enum class TExistingOutput { Overwrite, Skip, Rename };

struct TOutputPlanOptions {
  std::string OutputDir;  // ends with '/'
  std::string Extension;  // of the outputs: ".mp3"
  bool KeepTree = false;  // ignored with a NameTemplate: {folder} keeps the tree there
  TExistingOutput Existing = TExistingOutput::Overwrite;
  bool SkipNewer = false;
  // Names made of tags (TNameTemplate); empty: the source's name.
  std::string NameTemplate = {};
  // Names any FAT, exFAT or NTFS drive takes (TNameTemplate::Expand), with a NameTemplate
  // or without.
  bool PortableNames = false;
  // Format ids whose sources are copied as they are: their outputs keep the source's
  // extension.
  std::vector<std::string> CopyFormats = {};
  // Mirror runs: the full paths of outputs this program wrote before. Such a file at a
  // planned name is replaced; any other file there never is, whatever Existing says: the
  // entry takes the next numbered name instead.
  const std::unordered_set<std::string>* Owned = nullptr;
};

struct TPlannedOutput {
  std::string FinalName;
  std::string Plain;       // the name before numbering
  bool Numbered = false;   // "name (N)": the plain name belongs to another entry or file
  bool Copy = false;       // the source is copied, not converted
  std::string SkipReason;  // not empty: the entry is left alone
};

// Output folder + the source's name with its extension replaced by (or given) Format.
std::string OutputFileName(const std::string& OutputDir, const std::string& Source,
                           const std::string& Format);
// "dir/song.mp3", 2 -> "dir/song (2).mp3"; the name's stem is shortened at a character
// boundary where the number would make it longer than 255 bytes.
std::string NumberedName(const std::string& FileName, int Number);

// Every entry's output name, decided in list order before anything runs, so the result
// never depends on which file finishes first. No two entries share a name (letter case
// ignored in any script, for output folders on FAT drives), and no output takes the name of
// another entry's source. With a NameTemplate, entry i is named from Fields[i] (NameFieldsFor),
// or when Fields is null, from its tags read here; a bad template raises EAuException. An
// entry whose FixedPlain[i] is not empty takes that as its plain name (full path) instead,
// as a mirror's unchanged entry keeps its earlier one.
std::vector<TPlannedOutput> PlanOutputs(const std::vector<TBatchSource>& Sources,
                                        const TOutputPlanOptions& Options,
                                        const std::vector<TNameFields>* Fields = nullptr,
                                        const std::vector<std::string>* FixedPlain = nullptr);

// For entry Index when its planned output name was taken on disk after planning (by another
// program): the first numbered name that nothing holds on disk, not even a dangling link, and
// that no other entry of Plan has as its output or its source. Format is the output's
// extension, used only for a plan made without Plain names.
std::string RenumberedOutput(const std::vector<std::string>& Sources,
                             const std::vector<TPlannedOutput>& Plan, size_t Index,
                             const std::string& Format);

}  // namespace tunevert
