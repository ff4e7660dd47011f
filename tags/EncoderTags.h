#pragma once

#include <functional>
#include <utility>

#include "tags/TagLibMeta.h"

namespace tunevert {

// An output whose encoder writes the tags itself, in the headers that open the file: no
// second pass rewrites the finished file, and whatever reads the file back reads them too.
class TTagWritingOutput {
 public:
  // Gives each run's tags, already fitted to the format. Called once per run on the worker,
  // before the first header is written; without a source the output is written untagged.
  using TTagSource = std::function<TCarriedTags()>;
  void SetTagSource(TTagSource Source) { FTagSource = std::move(Source); }

 protected:
  ~TTagWritingOutput() = default;
  TCarriedTags RunTags() const { return FTagSource ? FTagSource() : TCarriedTags(); }

 private:
  TTagSource FTagSource;
};

}  // namespace tunevert
