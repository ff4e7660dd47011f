#include "app/LoudnessScan.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "pipeline/AuFormatStage.h"

namespace tunevert {

TLoudnessScan::TLoudnessScan(std::vector<TItem> Items, int Threads, TShape Shape,
                             TProgress OnProgress, TDone OnDone)
    : FItems(std::move(Items)),
      FThreads(std::max(1, Threads)),
      FShape(std::move(Shape)),
      FOnProgress(std::move(OnProgress)),
      FOnDone(std::move(OnDone)),
      FMeasured(FItems.size()) {
  Start();
}

TLoudnessScan::~TLoudnessScan() {
  FStop = true;
  Terminate();
  WaitFor();
}

void TLoudnessScan::Measure() {
  for (size_t i = FNext++; i < FItems.size() && !FStop; i = FNext++) {
    TMeasured& measured = FMeasured[i];
    measured.Index = FItems[i].Index;
    try {
      measured.Meter = MeasureFileLoudness(FItems[i].File, FShape, &FStop);
    } catch (const std::exception& e) {
      measured.Failure = e.what();
    }
    const size_t done = ++FDone;
    if (FOnProgress && !FStop) Synchronize([this, done] { FOnProgress(done, FItems.size()); });
  }
}

void TLoudnessScan::Execute() {
  {
    std::vector<std::jthread> helpers;
    const size_t extra = std::min<size_t>(static_cast<size_t>(FThreads), FItems.size());
    for (size_t i = 1; i < extra; ++i) helpers.emplace_back([this] { Measure(); });
    Measure();
  }
  if (!Terminated()) Synchronize([this] { FOnDone(FMeasured); });
}

}  // namespace tunevert
