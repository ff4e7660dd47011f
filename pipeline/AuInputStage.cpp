#include "pipeline/AuInputStage.h"

namespace tunevert {

void TAuInputStage::BeforeDestruction() {
  // Whoever reads from us has been told and has stopped; a pass still open here would leave
  // the source busy for good.
  if (Busy) Reset();
  TAuInput::BeforeDestruction();
}

void TAuInputStage::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == TOperation::opRemove && AComponent != nullptr && AComponent == FInput) {
    // Waits for a block being delivered; the next one fails instead of ending the pass early
    // as if the source were complete.
    std::lock_guard lock(*DataCS);
    FInput = nullptr;
  }
  TAuInput::Notification(AComponent, Operation);
}

void TAuInputStage::SetInput(TAuInput* Value) {
  std::lock_guard lock(*DataCS);
  if (Busy) throw EAuException("The component is Busy");
  TAuInput* old = FInput;
  if (old == Value) return;
  if (old != nullptr) RemoveFreeNotification(old);
  FInput = Value;
  if (Value != nullptr) FreeNotification(Value);
}

void TAuInputStage::_Pause() {
  if (TAuInput* in = FInput) in->_Pause();
}

void TAuInputStage::_Resume() {
  if (TAuInput* in = FInput) in->_Resume();
}

TAuInput& TAuInputStage::Source() const {
  if (TAuInput* in = FInput) return *in;
  if (Busy) throw EAuException("The source was removed during the conversion");
  throw EAuException("Input is not assigned");
}

uint32_t TAuInputStage::GetTotalTime() {
  TAuInput* in = FInput;
  return in != nullptr ? in->TotalTime() : 0;
}

}  // namespace tunevert
