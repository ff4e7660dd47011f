#pragma once

#include <atomic>
#include <string>

#include "pipeline/AuInput.h"

namespace tunevert {

// An input that reads another input for an output to read through: it holds that source,
// drops it when the source is destroyed, passes pause and resume on, and closes an open pass
// when it is itself destroyed. What it delivers is the subclass's.
class TAuInputStage : public TAuInput {
 public:
  explicit TAuInputStage(TComponent* AOwner = nullptr) : TAuInput(AOwner) {}
  std::string ClassName() const override { return "TAuInputStage"; }

  TAuInput* Input() const { return FInput; }
  // Refused during a pass ("The component is Busy").
  void SetInput(TAuInput* Value);

  void _Pause() override;
  void _Resume() override;

 protected:
  uint32_t GetTotalTime() override;
  void Notification(TComponent* AComponent, TOperation Operation) override;
  void BeforeDestruction() override;

  // The source, or a raise that says why there is none.
  TAuInput& Source() const;

  std::atomic<TAuInput*> FInput{nullptr};  // cleared by a removal notification on any thread
};

}  // namespace tunevert
