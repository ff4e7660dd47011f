#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "loudness/LoudnessMeter.h"
#include "platform/Thread.h"

namespace tunevert {

class TAuFormatStage;

// Measures the loudness of files as their outputs will receive them, several at once on
// threads of its own, and reports on the main thread once all are measured.
class TLoudnessScan final : public TThread {
 public:
  struct TItem {
    int Index = -1;
    std::string File;
  };
  struct TMeasured {
    int Index = -1;
    std::unique_ptr<TLoudnessMeter> Meter;  // null when the file could not be measured
    std::string Failure;
  };
  // Sets up the stage between a file's input and its meter as the output's will be; called
  // on the measuring threads, so it may only read what does not change meanwhile.
  using TShape = std::function<void(TAuFormatStage& Stage)>;
  using TDone = std::function<void(std::vector<TMeasured>& Measured)>;
  // After each file, on the main thread: how many of them are measured.
  using TProgress = std::function<void(size_t Measured, size_t Total)>;

  TLoudnessScan(std::vector<TItem> Items, int Threads, TShape Shape, TProgress OnProgress,
                TDone OnDone);
  // Stops the measuring; OnDone is then not called.
  ~TLoudnessScan() override;
  // Asks the measuring to stop without waiting for it.
  void Stop() { FStop = true; }

 protected:
  void Execute() override;

 private:
  void Measure();

  std::vector<TItem> FItems;
  int FThreads;
  TShape FShape;
  TProgress FOnProgress;
  TDone FOnDone;
  std::vector<TMeasured> FMeasured;
  std::atomic<size_t> FNext{0};
  std::atomic<size_t> FDone{0};
  std::atomic<bool> FStop{false};
};

}  // namespace tunevert
