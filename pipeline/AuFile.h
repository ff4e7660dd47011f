#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "pipeline/AuInput.h"
#include "pipeline/AuOutput.h"
#include "tags/AuTags.h"

namespace tunevert {

// A source named by a file (or a stream handed in), opened lazily on the first property
// read or pass and closed at the end of every pass. Format inputs supply OpenSource,
// CloseSource, ProduceData and SeekToSample.
class TAuFileIn : public TAuStreamedInput {
 public:
  explicit TAuFileIn(TComponent* AOwner);
  ~TAuFileIn() override;
  std::string ClassName() const override { return "TAuFileIn"; }

  const std::string& FileName() const { return FFileName; }
  void SetFileName(const std::string& Value);
  const std::u16string& WideFileName() const { return FWideFileName; }
  void SetWideFileName(const std::u16string& Value);
  void SetStream(TStream* Value) override;
  bool Loop() const { return FLoop; }
  void SetLoop(bool Value) { FLoop = Value; }
  int64_t StartSample() const { return FStartSample; }
  void SetStartSample(int64_t Value) { FStartSample = Value; }
  int64_t EndSample() const { return FEndSample; }
  void SetEndSample(int64_t Value) { FEndSample = Value; }

  // Whether the source can be decoded; a valid source stays open. Never raises.
  bool Valid();
  bool SetStartTime(uint32_t Minutes, uint32_t Seconds);
  bool SetEndTime(int32_t Minutes, int32_t Seconds);
  void Reset() override;
  void _Jump(int32_t Offs) override;

 protected:
  // Both run under OpenCS; OpenSource does nothing while the source is open.
  virtual void OpenSource() = 0;
  virtual void CloseSource() = 0;

  uint32_t GetBitsPerSample() override;
  uint32_t GetChannels() override;
  uint32_t GetSampleRate() override;
  uint32_t GetTotalTime() override;
  int64_t GetTotalSamples() override;
  void StartInput() override;
  void StopInput() override;
  void BeforeDestruction() override;

  // The stream of the file named by FWideFileName, opened read-only and owned here.
  void OpenOwnStream();
  void FreeOwnStream();
  // Frees the stream opened here, or rewinds one handed in so the next open starts from its
  // beginning (a failed rewind is ignored).
  void ReleaseSourceStream();
  bool OwnsStream() const { return FOwnStream != nullptr; }

  std::unique_ptr<std::recursive_mutex> OpenCS;
  std::string FFileName;
  std::u16string FWideFileName;
  // Raised by OpenSource from any thread that reads a property; read by Reset without OpenCS.
  std::atomic<int32_t> FOpened{0};
  bool FValid = false;
  uint32_t FBPS = 0;
  uint32_t FSR = 0;
  uint32_t FChan = 0;
  uint32_t FTime = 0;

 private:
  void CloseUnderLock();
  std::unique_ptr<TStream> FOwnStream;
};

// A file input that carries tag containers, filled when a file is opened.
class TAuTaggedFileIn : public TAuFileIn {
 public:
  explicit TAuTaggedFileIn(TComponent* AOwner);
  ~TAuTaggedFileIn() override;
  std::string ClassName() const override { return "TAuTaggedFileIn"; }
  TCommonTags* CommonTags() const { return FCommonTags.get(); }

 protected:
  std::unique_ptr<TId3v1Tags> FId3v1Tags;
  std::unique_ptr<TId3v2Tags> FId3v2Tags;
  std::unique_ptr<TAPEv2Tags> FAPEv2Tags;
  std::unique_ptr<TCommonTags> FCommonTags;
};

enum class TFileOutputMode { foRewrite, foAppend };

// A destination named by a file, with a file mode and the sharing bits format outputs
// combine into the mode they open their file with.
class TAuFileOut : public TAuStreamedOutput {
 public:
  explicit TAuFileOut(TComponent* AOwner) : TAuStreamedOutput(AOwner) {}
  std::string ClassName() const override { return "TAuFileOut"; }

  const std::string& FileName() const { return FFileName; }
  void SetFileName(const std::string& Value);
  const std::u16string& WideFileName() const { return FWideFileName; }
  void SetWideFileName(const std::u16string& Value);
  uint16_t ShareMode() const { return FShareMode; }
  void SetShareMode(uint16_t Value) { FShareMode = Value; }
  TFileOutputMode FileMode() const { return FFileMode; }
  // Only outputs that can append store foAppend.
  virtual void SetFileMode(TFileOutputMode /*Value*/) { FFileMode = TFileOutputMode::foRewrite; }

 protected:
  std::string FFileName;
  std::u16string FWideFileName;
  TFileOutputMode FFileMode = TFileOutputMode::foRewrite;
  int32_t FAccessMask = 0;
  uint16_t FShareMode = 0;
};

// A file output that carries tag containers; setting one copies it into the owned one.
class TAuTaggedFileOut : public TAuFileOut {
 public:
  explicit TAuTaggedFileOut(TComponent* AOwner);
  ~TAuTaggedFileOut() override;
  std::string ClassName() const override { return "TAuTaggedFileOut"; }

 protected:
  TId3v1Tags* Id3v1Tags() const { return FId3v1Tags.get(); }
  void SetId3v1Tags(const TId3v1Tags* Value) { FId3v1Tags->Assign(Value); }
  TId3v2Tags* Id3v2Tags() const { return FId3v2Tags.get(); }
  void SetId3v2Tags(const TId3v2Tags* Value) { FId3v2Tags->Assign(Value); }

  std::unique_ptr<TId3v1Tags> FId3v1Tags;
  std::unique_ptr<TId3v2Tags> FId3v2Tags;
  std::unique_ptr<TAPEv2Tags> FAPEv2Tags;
};

}  // namespace tunevert
