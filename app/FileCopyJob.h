#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "platform/Thread.h"

namespace tunevert {

// Copies a source byte for byte into an output file on a thread of its own, reads the copy
// back against the source, and reports on the main thread. The output stays the caller's to
// place.
class TFileCopyJob final : public TThread {
 public:
  using TDone = std::function<void(TFileCopyJob& Job)>;
  // Target is a name the output can be opened by (a pending output's Path()).
  TFileCopyJob(std::string Source, std::string Target, bool Verify, TDone OnDone);
  // Stops a copy still running; OnDone is then not called.
  ~TFileCopyJob() override;

  // Read on the main thread once OnDone runs: empty when the copy is complete and checked.
  const std::string& Failure() const { return FFailure; }
  int Percent() const { return FPercent.load(); }

 protected:
  void Execute() override;

 private:
  void Copy();

  std::string FSource, FTarget;
  bool FVerify;
  TDone FOnDone;
  std::string FFailure;
  std::atomic<int> FPercent{0};
};

}  // namespace tunevert
