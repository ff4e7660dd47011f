#include "app/BatchPlan.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "app/NameTemplate.h"
#include "platform/CaseFold.h"
#include "platform/Exception.h"
#include "platform/Text.h"

namespace fs = std::filesystem;

namespace tunevert {

namespace {

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Two names that one output folder may hold as one file: on a case-insensitive file system
// (FAT, exFAT, NTFS drives) names equal under Unicode case folding are one file.
std::string CollisionKey(const std::string& path) {
  std::error_code ec;
  const fs::path canonical = fs::weakly_canonical(path, ec);
  return FoldCase(ec ? path : canonical.string());
}

bool Hidden(const fs::path& path) {
  const std::string name = path.filename().string();
  return !name.empty() && name[0] == '.';
}

void AddFolder(const fs::path& root, std::vector<TBatchSource>& into) {
  std::vector<std::pair<std::string, std::string>> found;  // path, subfolder
  std::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const fs::path& path = it->path();
    if (Hidden(path)) {
      if (it->is_directory(ec)) it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file(ec) || !IsSupportedSource(path.string())) continue;
    std::string sub = path.parent_path().lexically_relative(root).string();
    if (sub == ".") sub.clear();
    if (!sub.empty()) sub += '/';
    found.emplace_back(path.string(), std::move(sub));
  }
  std::sort(found.begin(), found.end());
  for (auto& [file, sub] : found) into.push_back({std::move(file), std::move(sub)});
}

}  // namespace

std::vector<TBatchSource> ExpandSources(const std::vector<std::string>& Paths) {
  std::vector<TBatchSource> sources;
  for (const std::string& path : Paths) {
    std::error_code ec;
    if (fs::is_directory(path, ec))
      AddFolder(path, sources);
    else
      sources.push_back({path, {}});
  }
  return sources;
}

std::string OutputFileName(const std::string& OutputDir, const std::string& Source,
                           const std::string& Format) {
  std::string name = BaseName(Source);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return OutputDir + name + Format;
}

std::string NumberedName(const std::string& FileName, int Number) {
  const size_t start = FileName.size() - BaseName(FileName).size();
  const std::string ext = FileExtension(FileName.substr(start));
  std::string stem = FileName.substr(start, FileName.size() - start - ext.size());
  const std::string suffix = " (" + std::to_string(Number) + ")";
  const size_t fixed = suffix.size() + ext.size();
  if (stem.size() + fixed > kMaxNamePartBytes && fixed < kMaxNamePartBytes)
    stem.erase(Utf8Boundary(stem, kMaxNamePartBytes - fixed));
  return FileName.substr(0, start) + stem + suffix + ext;
}

std::vector<TPlannedOutput> PlanOutputs(const std::vector<TBatchSource>& Sources,
                                        const TOutputPlanOptions& Options,
                                        const std::vector<TNameFields>* Fields,
                                        const std::vector<std::string>* FixedPlain) {
  std::optional<TNameTemplate> nameTemplate;
  if (!Options.NameTemplate.empty())
    nameTemplate.emplace(Options.NameTemplate);
  else if (Options.PortableNames)
    nameTemplate.emplace(Options.KeepTree ? "{folder}/{source}" : "{source}");
  for (const size_t given : {Fields != nullptr ? Fields->size() : Sources.size(),
                             FixedPlain != nullptr ? FixedPlain->size() : Sources.size()})
    if (given != Sources.size())
      throw EAuException("Output names planned with " + std::to_string(given) +
                         " names given for " + std::to_string(Sources.size()) + " files");
  std::unordered_set<std::string> owned;
  if (Options.Owned != nullptr)
    for (const std::string& name : *Options.Owned) owned.insert(CollisionKey(name));
  // Which entry's source each name is; an output may only replace its own source (and is
  // refused when it starts), never another entry's.
  std::unordered_map<std::string, size_t> sourceOwner;
  for (size_t i = 0; i < Sources.size(); ++i) sourceOwner.emplace(CollisionKey(Sources[i].File), i);
  // A name kept from before stays its entry's, wherever that entry is in the list.
  std::unordered_map<std::string, size_t> keptBy;
  if (FixedPlain != nullptr)
    for (size_t i = 0; i < FixedPlain->size(); ++i)
      if (!(*FixedPlain)[i].empty()) keptBy.emplace(CollisionKey((*FixedPlain)[i]), i);
  std::unordered_set<std::string> planned;
  std::unordered_map<std::string, int> lastNumbers;
  std::vector<TPlannedOutput> plan(Sources.size());
  for (size_t i = 0; i < Sources.size(); ++i) {
    const TBatchSource& source = Sources[i];
    const TFormatSpec* format = FormatForFile(source.File);
    const bool copy =
        format != nullptr && std::find(Options.CopyFormats.begin(), Options.CopyFormats.end(),
                                       format->Id) != Options.CopyFormats.end();
    const std::string ext = copy ? FileExtension(BaseName(source.File)) : Options.Extension;
    std::string plain;
    if (FixedPlain != nullptr && !(*FixedPlain)[i].empty()) {
      plain = (*FixedPlain)[i];
    } else if (nameTemplate) {
      const TNameFields fields = Fields != nullptr          ? (*Fields)[i]
                                 : nameTemplate->UsesTags() ? ReadNameFields(source)
                                                            : NameFieldsFor(source, {});
      plain = Options.OutputDir + nameTemplate->Expand(fields, ext, Options.PortableNames);
    } else {
      const std::string dir = Options.OutputDir + (Options.KeepTree ? source.SubFolder : "");
      plain = OutputFileName(dir, source.File, ext);
    }
    std::string name = plain;
    int number = 1;
    // Numbers below the last one an entry of the same name took are taken still: many entries
    // of one name (a template without a title) are numbered without counting up from 2 again.
    int& lastNumber = lastNumbers[CollisionKey(plain)];
    auto numberWhile = [&](auto taken) {
      for (std::string key = CollisionKey(name); taken(key); key = CollisionKey(name)) {
        number = std::max(number, lastNumber);
        name = NumberedName(plain, ++number);
      }
    };
    auto takenInBatch = [&](const std::string& key) {
      const auto owner = sourceOwner.find(key);
      const auto keeper = keptBy.find(key);
      return planned.count(key) != 0 || (owner != sourceOwner.end() && owner->second != i) ||
             (keeper != keptBy.end() && keeper->second != i);
    };
    numberWhile(takenInBatch);
    TPlannedOutput& entry = plan[i];
    std::error_code ec;
    if (fs::exists(name, ec)) {
      const auto outputTime = fs::last_write_time(name, ec);
      const auto sourceTime = fs::last_write_time(source.File, ec);
      const bool ours = owned.count(CollisionKey(name)) != 0;
      if (Options.Owned != nullptr && !ours)
        // Someone else's file: a name this program wrote before may be taken again.
        numberWhile([&](const std::string& key) {
          std::error_code existsError;
          return takenInBatch(key) || (fs::exists(name, existsError) && owned.count(key) == 0);
        });
      else if (Options.SkipNewer && !ec && outputTime > sourceTime)
        entry.SkipReason = name + " is newer than its source";
      else if (!ours && Options.Existing == TExistingOutput::Skip)
        entry.SkipReason = name + " already exists";
      else if (!ours && Options.Existing == TExistingOutput::Rename)
        numberWhile([&](const std::string& key) {
          std::error_code existsError;
          return takenInBatch(key) || fs::exists(name, existsError);
        });
    }
    planned.insert(CollisionKey(name));
    lastNumber = std::max(lastNumber, number);
    entry.Numbered = name != plain;
    entry.Copy = copy;
    entry.FinalName = std::move(name);
    entry.Plain = std::move(plain);
  }
  return plan;
}

std::string RenumberedOutput(const std::vector<std::string>& Sources,
                             const std::vector<TPlannedOutput>& Plan, size_t Index,
                             const std::string& Format) {
  std::unordered_set<std::string> owned;
  for (size_t i = 0; i < Plan.size(); ++i)
    if (i != Index) {
      owned.insert(CollisionKey(Plan[i].FinalName));
      owned.insert(CollisionKey(Sources[i]));
    }
  const std::string& current = Plan[Index].FinalName;
  const std::string plain =
      !Plan[Index].Plain.empty()
          ? Plan[Index].Plain
          : OutputFileName(current.substr(0, current.rfind('/') + 1), Sources[Index], Format);
  for (int number = 2;; ++number) {
    std::string name = NumberedName(plain, number);
    // Any error but "nothing there" is left for the placement to report.
    struct stat existing {};
    if (owned.count(CollisionKey(name)) == 0 && ::lstat(name.c_str(), &existing) != 0) return name;
  }
}

}  // namespace tunevert
