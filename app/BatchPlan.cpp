#include "app/BatchPlan.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "platform/CaseFold.h"
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
  const std::string ext = FileExtension(BaseName(FileName));
  return FileName.substr(0, FileName.size() - ext.size()) + " (" + std::to_string(Number) + ")" +
         ext;
}

std::vector<TPlannedOutput> PlanOutputs(const std::vector<TBatchSource>& Sources,
                                        const TOutputPlanOptions& Options) {
  // Which entry's source each name is; an output may only replace its own source (and is
  // refused when it starts), never another entry's.
  std::unordered_map<std::string, size_t> sourceOwner;
  for (size_t i = 0; i < Sources.size(); ++i) sourceOwner.emplace(CollisionKey(Sources[i].File), i);
  std::unordered_set<std::string> planned;
  std::vector<TPlannedOutput> plan(Sources.size());
  for (size_t i = 0; i < Sources.size(); ++i) {
    const std::string dir = Options.OutputDir + (Options.KeepTree ? Sources[i].SubFolder : "");
    const std::string plain = OutputFileName(dir, Sources[i].File, Options.Extension);
    std::string name = plain;
    int number = 1;
    auto numberWhile = [&](auto taken) {
      for (std::string key = CollisionKey(name); taken(key); key = CollisionKey(name))
        name = NumberedName(plain, ++number);
    };
    auto takenInBatch = [&](const std::string& key) {
      const auto owner = sourceOwner.find(key);
      return planned.count(key) != 0 || (owner != sourceOwner.end() && owner->second != i);
    };
    numberWhile(takenInBatch);
    TPlannedOutput& entry = plan[i];
    std::error_code ec;
    if (fs::exists(name, ec)) {
      const auto outputTime = fs::last_write_time(name, ec);
      const auto sourceTime = fs::last_write_time(Sources[i].File, ec);
      if (Options.SkipNewer && !ec && outputTime > sourceTime)
        entry.SkipReason = name + " is newer than its source";
      else if (Options.Existing == TExistingOutput::Skip)
        entry.SkipReason = name + " already exists";
      else if (Options.Existing == TExistingOutput::Rename)
        numberWhile([&](const std::string& key) {
          std::error_code existsError;
          return takenInBatch(key) || fs::exists(name, existsError);
        });
    }
    planned.insert(CollisionKey(name));
    entry.Numbered = name != plain;
    entry.FinalName = std::move(name);
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
      OutputFileName(current.substr(0, current.rfind('/') + 1), Sources[Index], Format);
  for (int number = 2;; ++number) {
    std::string name = NumberedName(plain, number);
    // Any error but "nothing there" is left for the placement to report.
    struct stat existing {};
    if (owned.count(CollisionKey(name)) == 0 && ::lstat(name.c_str(), &existing) != 0) return name;
  }
}

}  // namespace tunevert
