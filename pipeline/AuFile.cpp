#include "pipeline/AuFile.h"

#include <algorithm>
#include <cmath>

#include "platform/AuFileStream.h"
#include "platform/Text.h"

namespace tunevert {

namespace {

constexpr uint16_t kInputFileMode = 0x20;  // read, others may read

}  // namespace

TAuFileIn::TAuFileIn(TComponent* AOwner)
    : TAuStreamedInput(AOwner), OpenCS(std::make_unique<std::recursive_mutex>()) {}

TAuFileIn::~TAuFileIn() = default;

void TAuFileIn::BeforeDestruction() {
  // CloseSource is the concrete input's, so it has to run before the derived parts go.
  CloseUnderLock();
  TAuStreamedInput::BeforeDestruction();
}

void TAuFileIn::CloseUnderLock() {
  // DataCS first: a pass that is still reading must not see its stream vanish mid-block.
  std::lock_guard data(*DataCS);
  try {
    CloseSource();
  } catch (...) {
    // Closing releases what it can; a failed rewind of a handed-in stream changes nothing.
  }
}

void TAuFileIn::SetFileName(const std::string& Value) {
  CloseUnderLock();
  FWideFileName = Utf8ToUtf16(Value);
  FFileName = Value;
}

void TAuFileIn::SetWideFileName(const std::u16string& Value) {
  CloseUnderLock();
  FWideFileName = Value;
  FFileName.clear();
}

void TAuFileIn::SetStream(TStream* Value) {
  CloseUnderLock();
  TAuStreamedInput::SetStream(Value);
}

void TAuFileIn::OpenOwnStream() {
  FOwnStream = std::make_unique<TAuFileStream>(FWideFileName, kInputFileMode);
  FStream = FOwnStream.get();
}

void TAuFileIn::FreeOwnStream() {
  if (FOwnStream && FStream == FOwnStream.get()) FStream = nullptr;
  FOwnStream.reset();
}

void TAuFileIn::ReleaseSourceStream() {
  if (OwnsStream()) {
    FreeOwnStream();
  } else if (FStream != nullptr) {
    try {
      FStream->Seek(0, TSeekOrigin::soBeginning);
    } catch (...) {
    }
  }
}

// The format fields are written under OpenCS (by OpenSource, and by a pass over an
// undecodable source), so the getters read them under it too.
uint32_t TAuFileIn::GetBitsPerSample() {
  std::lock_guard lock(*OpenCS);
  OpenSource();
  return FBPS;
}

uint32_t TAuFileIn::GetChannels() {
  std::lock_guard lock(*OpenCS);
  OpenSource();
  return FChan;
}

uint32_t TAuFileIn::GetSampleRate() {
  std::lock_guard lock(*OpenCS);
  OpenSource();
  return FSR;
}

uint32_t TAuFileIn::GetTotalTime() {
  std::lock_guard lock(*OpenCS);
  OpenSource();
  const double divisor = static_cast<double>(FSR) * FChan * (FBPS / 8);
  if (divisor == 0) return 0;
  return static_cast<uint32_t>(std::nearbyint(static_cast<double>(FSize) / divisor));
}

int64_t TAuFileIn::GetTotalSamples() {
  std::lock_guard lock(*OpenCS);
  OpenSource();
  const int64_t frame = int64_t{FChan} * FBPS / 8;
  FTotalSamples = (FSize > 0 && frame > 0) ? FSize / frame : -1;
  return FTotalSamples;
}

void TAuFileIn::StartInput() {
  if (Busy) throw EAuException("The component is Busy");
  if (!FStreamAssigned && FWideFileName.empty())
    throw EAuException("The file name is not assigned");
  Busy = true;
  FPosition = 0;
  try {
    std::lock_guard lock(*OpenCS);
    OpenSource();
    if (!FValid) {
      FBPS = 8;
      FChan = 1;
      FSR = 8000;
      FSampleSize = 1;
      FTotalSamples = 0;
      FSize = 0;
      FTime = 0;
      BufStart = 1;
      BufEnd = 0;
      return;
    }
    FSampleSize = static_cast<uint16_t>(CheckedDiv(FChan * FBPS, 8u));
    const int64_t total = CheckedDiv(int64_t{FSize}, FSampleSize);
    FTotalSamples = total;
    FTime = static_cast<uint32_t>(CheckedDiv(total, FSR));
  } catch (...) {
    // A pass that never started must not leave the input busy with its source open.
    CloseSource();
    Busy = false;
    throw;
  }
  // Dropped before the seek: a seek may leave the block that holds the start frame buffered.
  BufStart = 1;
  BufEnd = 0;
  if (FStartSample > 0) {
    Seek(0);
    FPosition = 0;
  }
  if (FStartSample > 0 || FEndSample != -1) {
    if (FEndSample >= FTotalSamples) FEndSample = -1;
    // One past the last frame of the range; a range that starts past its end is empty.
    const int64_t end = FEndSample != -1 ? FEndSample + 1 : FTotalSamples.load();
    FTotalSamples = std::max<int64_t>(0, end - FStartSample);
    FSize = FTotalSamples * FSampleSize;
    if (FTotalSamples == 0) _EndOfStream = true;
  }
}

void TAuFileIn::StopInput() {
  CloseSource();
  FStartSample = 0;
  FEndSample = -1;
  Busy = false;
}

void TAuFileIn::Reset() {
  TAuStreamedInput::Reset();
  FOpened = 0;
}

bool TAuFileIn::Valid() {
  std::lock_guard lock(*OpenCS);
  if (!FStreamAssigned && FWideFileName.empty()) return FValid;
  try {
    OpenSource();
  } catch (...) {
    FValid = false;
  }
  if (!FValid) {
    if (FOpened != 0) {
      try {
        CloseSource();
      } catch (...) {
      }
    } else {
      FreeOwnStream();
    }
  }
  return FValid;
}

bool TAuFileIn::SetStartTime(uint32_t Minutes, uint32_t Seconds) {
  if (!FSeekable) return false;
  std::lock_guard lock(*OpenCS);
  OpenSource();
  const uint32_t frame = (Minutes * 60 + Seconds) * FSR;  // 32-bit, as the range fields expect
  if (frame > FTotalSamples) return false;
  FStartSample = frame;
  return true;
}

bool TAuFileIn::SetEndTime(int32_t Minutes, int32_t Seconds) {
  if (!FSeekable) return false;
  std::lock_guard lock(*OpenCS);
  OpenSource();
  const auto frame = static_cast<int32_t>(
      (static_cast<uint32_t>(Minutes) * 60u + static_cast<uint32_t>(Seconds)) * FSR);
  // A negative end would turn the next pass's size negative, which means "unknown".
  if (frame < 0 || frame > FTotalSamples) return false;
  FEndSample = frame;
  return true;
}

void TAuFileIn::_Jump(int32_t Offs) {
  if (!FSeekable || FSize == 0) return;
  double fraction = static_cast<double>(FPosition) / static_cast<double>(FSize) +
                    static_cast<double>(Offs) / 1000;
  fraction = std::clamp(fraction, 0.0, 1.0);
  const auto target =
      static_cast<int32_t>(std::nearbyint(static_cast<double>(FTotalSamples) * fraction));
  Seek(target);
}

TAuTaggedFileIn::TAuTaggedFileIn(TComponent* AOwner)
    : TAuFileIn(AOwner),
      FId3v1Tags(std::make_unique<TId3v1Tags>()),
      FId3v2Tags(std::make_unique<TId3v2Tags>()),
      FAPEv2Tags(std::make_unique<TAPEv2Tags>()),
      FCommonTags(std::make_unique<TCommonTags>()) {}

TAuTaggedFileIn::~TAuTaggedFileIn() {
  FId3v1Tags.reset();
  FId3v2Tags.reset();
  FAPEv2Tags.reset();
  FCommonTags.reset();
}

void TAuFileOut::SetFileName(const std::string& Value) {
  FWideFileName = Utf8ToUtf16(Value);
  FFileName = Value;
}

void TAuFileOut::SetWideFileName(const std::u16string& Value) {
  FWideFileName = Value;
  FFileName.clear();
}

TAuTaggedFileOut::TAuTaggedFileOut(TComponent* AOwner)
    : TAuFileOut(AOwner),
      FId3v1Tags(std::make_unique<TId3v1Tags>()),
      FId3v2Tags(std::make_unique<TId3v2Tags>()),
      FAPEv2Tags(std::make_unique<TAPEv2Tags>()) {}

TAuTaggedFileOut::~TAuTaggedFileOut() {
  FId3v1Tags.reset();
  FId3v2Tags.reset();
  FAPEv2Tags.reset();
}

}  // namespace tunevert
