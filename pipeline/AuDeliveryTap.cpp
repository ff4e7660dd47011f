#include "pipeline/AuDeliveryTap.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/Exception.h"

namespace tunevert {

namespace {

constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kPrime3 = 0x165667B19E3779F9ull;

inline uint64_t Rotl(uint64_t Value, int Bits) {
  return (Value << Bits) | (Value >> (64 - Bits));
}

inline uint64_t Load64(const uint8_t* Data) {
  uint64_t value;
  std::memcpy(&value, Data, sizeof value);
  return value;
}

inline uint64_t Round(uint64_t Lane, uint64_t Word) {
  return Rotl(Lane + Word * kPrime2, 31) * kPrime1;
}

inline uint64_t Mix(uint64_t Value) {
  Value ^= Value >> 33;
  Value *= kPrime2;
  Value ^= Value >> 29;
  Value *= kPrime3;
  return Value ^ (Value >> 32);
}

}  // namespace

void TPcmDigest::Stripes(const uint8_t* Data, size_t Count) {
  uint64_t a = FLanes[0], b = FLanes[1], c = FLanes[2], d = FLanes[3];
  for (size_t i = 0; i < Count; ++i, Data += 32) {
    a = Round(a, Load64(Data));
    b = Round(b, Load64(Data + 8));
    c = Round(c, Load64(Data + 16));
    d = Round(d, Load64(Data + 24));
  }
  FLanes[0] = a, FLanes[1] = b, FLanes[2] = c, FLanes[3] = d;
}

void TPcmDigest::Update(const void* Data, size_t Bytes) {
  if (Bytes == 0) return;
  const auto* p = static_cast<const uint8_t*>(Data);
  FTotal += Bytes;
  if (FCarried > 0) {
    const size_t take = std::min(Bytes, sizeof FCarry - FCarried);
    std::memcpy(FCarry + FCarried, p, take);
    FCarried += take;
    p += take;
    Bytes -= take;
    if (FCarried < sizeof FCarry) return;
    Stripes(FCarry, 1);
    FCarried = 0;
  }
  const size_t stripes = Bytes / 32;
  Stripes(p, stripes);
  p += stripes * 32;
  Bytes -= stripes * 32;
  if (Bytes > 0) std::memcpy(FCarry, p, Bytes);
  FCarried = Bytes;
}

uint64_t TPcmDigest::Value() const {
  uint64_t h = Rotl(FLanes[0], 1) + Rotl(FLanes[1], 7) + Rotl(FLanes[2], 12) + Rotl(FLanes[3], 18);
  h = Mix(h ^ FTotal);
  for (size_t i = 0; i < FCarried; ++i) h = Mix(h ^ (uint64_t{FCarry[i]} + (uint64_t{i} << 8)));
  return h;
}

TAuDeliveryTap::TAuDeliveryTap(TComponent* AOwner) : TAuInputStage(AOwner) {}

TAuDeliveryTap::~TAuDeliveryTap() = default;

void TAuDeliveryTap::SetRequestFloat(bool Value) {
  TAuInput::SetRequestFloat(Value);
  if (TAuInput* in = FInput) in->SetRequestFloat(Value);
}

uint32_t TAuDeliveryTap::GetBitsPerSample() {
  TAuInput* in = FInput;
  return in != nullptr ? in->BitsPerSample() : 0;
}

uint32_t TAuDeliveryTap::GetChannels() {
  TAuInput* in = FInput;
  return in != nullptr ? in->Channels() : 0;
}

uint32_t TAuDeliveryTap::GetSampleRate() {
  TAuInput* in = FInput;
  return in != nullptr ? in->SampleRate() : 0;
}

int64_t TAuDeliveryTap::GetTotalSamples() {
  TAuInput* in = FInput;
  return in != nullptr ? in->TotalSamples() : 0;
}

void TAuDeliveryTap::StartInput() {
  if (Busy) throw EAuException("The component is Busy");
  TAuInput& in = Source();
  in.Init();
  FRate = in.SampleRate();
  FChannels = in.Channels();
  FBits = in.BitsPerSample();
  FFrameBytes = FChannels * FBits / 8;
  FSampleSize = static_cast<uint16_t>(FFrameBytes);
  FBytes = 0;
  FDigest = TPcmDigest();
  FMeter.reset();
  if (FMeasure && FRate != 0 && FChannels != 0)
    FMeter = std::make_unique<TLoudnessMeter>(FChannels, FRate);
  FPosition = 0;
  FSize = in.Size();
  Busy = true;
}

void TAuDeliveryTap::StopInput() {
  Busy = false;
  if (TAuInput* in = FInput) in->Flush();
}

void TAuDeliveryTap::ProduceData(void*& Buffer, uint32_t& Bytes) {
  TAuInput& in = Source();
  in.GetData(Buffer, Bytes);
  FDigest.Update(Buffer, Bytes);
  if (FMeter) FMeter->AddPcm(Buffer, Bytes, FBits);
  FBytes += Bytes;
  FPosition += Bytes;
  FSize = in.Size();
}

TDeliveredAudio TAuDeliveryTap::Delivered() const {
  TDeliveredAudio result;
  result.SampleRate = FRate;
  result.Channels = FChannels;
  result.BitsPerSample = FBits;
  result.Frames = FFrameBytes == 0 ? 0 : static_cast<int64_t>(FBytes / FFrameBytes);
  result.Digest = FDigest.Value();
  return result;
}

}  // namespace tunevert
