#pragma once

#include <string>
#include <vector>

namespace tunevert {

// What a batch does with one entry.
enum class TEntryAction {
  Convert,
  Copy,        // byte for byte: the source is already in a format asked to be kept
  Leave,       // mirror: its output is up to date
  Skip,        // the existing-output rules leave it alone (Reason says why)
  OtherShard,  // another process of a sharded batch converts it
};

struct TEntryPlan {
  TEntryAction Action = TEntryAction::Convert;
  std::string Output;  // full path
  std::string Reason;  // for Skip
};

// What a batch would do, decided before anything runs: the same for any number of jobs or
// shards.
struct TBatchPreview {
  std::vector<TEntryPlan> Entries;    // one per source, in list order
  std::vector<std::string> Removals;  // mirror: outputs of sources that are gone (full paths)
};

}  // namespace tunevert
