#include "wav/WaveRuntimeDecoder.h"

#include <algorithm>

#include "winmedia/libwma1.h"

namespace tunevert {

namespace {

constexpr int64_t CnsPerSecond = 10000000;

}  // namespace

struct TWaveRuntimeDecoder::TReader {
  wma_sync_reader Record;
};

TWaveRuntimeDecoder::TWaveRuntimeDecoder() : FReader(std::make_unique<TReader>()) {}

TWaveRuntimeDecoder::~TWaveRuntimeDecoder() {
  Close();
}

bool TWaveRuntimeDecoder::Open(TStream* Stream) {
  Close();
  if (Stream == nullptr) return false;
  Stream->Seek(0, TSeekOrigin::soBeginning);
  // The widest samples offered, in the file's own channels and rate.
  SyncReaderOpen(FReader->Record, Stream, true, 0);
  if (!FReader->Record.reader) return false;
  uint16_t Channels = 0, Bits = 0;
  uint32_t Rate = 0;
  SyncReaderGetFormat(FReader->Record, Channels, Bits, Rate);
  if (!FReader->Record.has_audio || FReader->Record._protected || Channels == 0 || Rate == 0 ||
      (Bits != 16 && Bits != 24)) {
    SyncReaderClose(FReader->Record);
    return false;
  }
  FChannels = Channels;
  FBits = Bits;
  FRate = Rate;
  const int64_t Duration = std::max<int64_t>(0, FReader->Record.duration);
  // The duration follows a "fact" count or the bitrate, while decoders deliver whole
  // blocks (GSM's 320 samples, ADPCM blocks); a third of a second of room keeps that tail.
  FTotalSamples = (Duration * Rate + CnsPerSecond - 1) / CnsPerSecond + Rate / 3;
  FOpen = true;
  return true;
}

void TWaveRuntimeDecoder::Close() {
  if (FReader->Record.reader) SyncReaderClose(FReader->Record);
  FOpen = false;
  FChannels = FBits = FRate = 0;
  FTotalSamples = 0;
}

void TWaveRuntimeDecoder::GetData(void*& Buffer, uint32_t& Bytes) {
  const uint32_t Frame = FChannels * FBits / 8;
  Bytes = Frame > 0 ? Bytes - Bytes % Frame : 0;
  if (!FOpen || Bytes == 0) {
    Buffer = nullptr;
    Bytes = 0;
    return;
  }
  SyncReaderGetData(FReader->Record, Buffer, Bytes);
}

bool TWaveRuntimeDecoder::SeekToSample(int64_t SampleNum) {
  if (!FOpen || SampleNum < 0) return false;
  // Frame-exact, which a seek in hundredths of a second is not.
  FReader->Record.buffer.Clear();
  FReader->Record.offset = 0;
  const int64_t Cns = (SampleNum * CnsPerSecond + FRate / 2) / FRate;
  return FReader->Record.reader->SetRange(static_cast<uint64_t>(Cns), 0) == S_OK;
}

}  // namespace tunevert
