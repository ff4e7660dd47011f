#pragma once

#include <cstdint>
#include <string>

#include "pipeline/AuFile.h"
#include "winmedia/libwma1.h"

namespace tunevert {

// A file input decoding whatever the Windows Media runtime reads (WMA above all), with the
// file's header attributes in its tag containers. The length a header announces (Size,
// TotalSamples) is an estimate for progress: a pass without a range's end goes on until the
// decoder runs dry, and Size grows with it once it is passed.
class TWMIn : public TAuTaggedFileIn {
 public:
  explicit TWMIn(TComponent* AOwner = nullptr);
  ~TWMIn() override;
  std::string ClassName() const override { return "TWMIn"; }

  bool HighPrecision() const { return FHighPrecision; }
  // Ignored while busy or while a multichannel output is asked for; reopens an open file.
  void SetHighPrecision(bool Value);
  TChannelsNumber OutputChannels() const { return FOutputChannels; }
  // Ignored while busy; any request but mono-or-stereo needs the wide formats too.
  void SetOutputChannels(TChannelsNumber Value);

  bool HasAudio();
  // Raises "File is protected" for protected content, as every open of it does.
  bool IsProtected();
  uint32_t Bitrate();
  bool IsVBR();
  TId3v2Tags* Id3v2Tags();
  uint32_t FormatsCount();
  TWMAFormatSpec GetFormatSpec(int32_t Index);
  int32_t FormatSelected() const { return FFormat; }
  // -2: format 0 with the wide formats enabled; another negative value selects nothing.
  // Lasts until the file is closed.
  void SetFormatSelected(int32_t Value);

  void GetData(void*& Buffer, uint32_t& Bytes) override;

 protected:
  void ProduceData(void*& Buffer, uint32_t& Bytes) override;
  bool SeekToSample(int64_t& SampleNum) override;
  void OpenSource() override;
  void CloseSource() override;

  // Header values taken from the reader: duration, format, totals.
  void ReadFormatFromReader();

  wma_sync_reader reader;
  uint32_t FDuration = 0;  // hundredths of a second
  bool FHighPrecision = false;
  TChannelsNumber FOutputChannels = TChannelsNumber::cnMonoOrStereo;
  int32_t FFormat = 0;
  // Set where the announced length is the encoder's, which leaves padding in the last
  // decoded sample: what lies past it is dropped when no further sample follows, and
  // delivered when one does.
  bool FTrimAtAnnouncedEnd = false;

  // Forgets the sample looked at past the announced end; a pass or a jump decides anew.
  void ForgetLookahead();

 private:
  bool NoSource() const { return !FStreamAssigned && FWideFileName.empty(); }
  void Reopen();
  bool NextSampleFollows();

  bool FEndUndecided = false;
  TInterfaceRef<INSSBuffer> FLookahead;  // handed out once the runtime's sample is spent
};

// As the batch reads its sources through the runtime: the whole file once, in the file's own
// channels and rate, at 16 bits.
void UseRuntimeDefaults(TWMIn& Input);

}  // namespace tunevert
