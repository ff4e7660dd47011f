#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "pipeline/AuFile.h"
#include "tags/AuTags.h"

struct OggVorbis_File;

namespace tunevert {

// Decodes Ogg Vorbis files (chains of logical bitstreams included) into 16-bit PCM through
// libvorbisfile, reading the input's own stream through callbacks.
class TVorbisIn final : public TAuTaggedFileIn {
 public:
  static constexpr uint32_t kBufSize = 0x3000;

  explicit TVorbisIn(TComponent* AOwner = nullptr);
  ~TVorbisIn() override;
  std::string ClassName() const override { return "TVorbisIn"; }

  TVorbisTags* Comments();
  int32_t MaxBitrate();
  int32_t NominalBitrate();
  int32_t MinBitrate();
  // For display while a pass runs; 0 outside one.
  int32_t InstantBitRate();
  // Logical bitstreams of the file; 0 outside a pass.
  int32_t BitStreams();
  // The logical bitstream being decoded; -1 outside a pass.
  int32_t CurrentBitStream();
  // During a pass, continues from the start of logical bitstream Value.
  void SetCurrentBitStream(int32_t Value);

 protected:
  void OpenSource() override;
  void CloseSource() override;
  void ProduceData(void*& Buffer, uint32_t& Bytes) override;
  bool SeekToSample(int64_t& SampleNum) override;

 private:
  friend struct TVorbisCallbacks;

  std::unique_ptr<TVorbisTags> FComments;
  std::array<uint8_t, kBufSize> buf{};
  std::unique_ptr<OggVorbis_File> VFile;
  int32_t cursec = -1;
  int32_t FMaxBitrate = 0;
  int32_t FNominalBitrate = 0;
  int32_t FMinBitrate = 0;
  // The decoder stopped (end, hole or error); what is buffered is still handed out.
  bool FDecoderEnded = false;
};

}  // namespace tunevert
