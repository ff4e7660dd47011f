// The binding to libsoxr, loaded with the first resampler: most conversions never need it,
// and mapping it (with the OpenMP runtime behind it) costs every start about 2 ms.
#include "pipeline/AuResampler.h"

#include <soxr.h>

#include <cstdint>
#include <string>
#include <type_traits>

#include "platform/CodecLibrary.h"
#include "platform/Exception.h"

namespace tunevert {

namespace {

struct TSoxrApi {
  decltype(&soxr_create) Create;
  decltype(&soxr_process) Process;
  decltype(&soxr_clear) Clear;
  decltype(&soxr_delete) Delete;
  decltype(&soxr_io_spec) IoSpec;
  decltype(&soxr_quality_spec) QualitySpec;
  decltype(&soxr_runtime_spec) RuntimeSpec;
};

TCodecLibrary& SoxrLibrary() {
  static TCodecLibrary library(
      {"libsoxr.so.0"}, {"soxr_create", "soxr_process", "soxr_clear", "soxr_delete", "soxr_io_spec",
                         "soxr_quality_spec", "soxr_runtime_spec"});
  return library;
}

const TSoxrApi& Soxr() {
  TCodecLibrary& library = SoxrLibrary();
  if (!library.Loaded() && !library.Load()) throw EAuException(library.LoadFailureMessage());
  static const TSoxrApi api{library.Function<decltype(&soxr_create)>("soxr_create"),
                            library.Function<decltype(&soxr_process)>("soxr_process"),
                            library.Function<decltype(&soxr_clear)>("soxr_clear"),
                            library.Function<decltype(&soxr_delete)>("soxr_delete"),
                            library.Function<decltype(&soxr_io_spec)>("soxr_io_spec"),
                            library.Function<decltype(&soxr_quality_spec)>("soxr_quality_spec"),
                            library.Function<decltype(&soxr_runtime_spec)>("soxr_runtime_spec")};
  // A library without all of them counts as missing.
  static const bool complete = library.ResolvedCount() == library.EntryCount();
  if (!complete) throw EAuException(library.LoadFailureMessage());
  return api;
}

}  // namespace

void TAuResampler::TDeleter::operator()(soxr* Resampler) const {
  Soxr().Delete(Resampler);
}

TAuResampler::TAuResampler(uint32_t Channels, uint32_t InRate, uint32_t OutRate)
    : FChannels(Channels), FInRate(InRate), FOutRate(OutRate) {
  Create(false, TResampleQuality::rqHigh);
}

TAuResampler::TAuResampler(uint32_t Channels, uint32_t InRate, uint32_t OutRate,
                           TResampleQuality Quality)
    : FChannels(Channels), FInRate(InRate), FOutRate(OutRate), FFloat(true) {
  Create(true, Quality);
}

void TAuResampler::Create(bool Float, TResampleQuality Quality) {
  // Ratios past 256 are no real conversion: only a damaged header asks for them.
  if (FChannels == 0 || FInRate == 0 || FOutRate == 0 || FInRate / FOutRate >= 256 ||
      FOutRate / FInRate >= 256)
    throw EAuException("Cannot resample " + std::to_string(FChannels) + " channels from " +
                       std::to_string(FInRate) + " Hz to " + std::to_string(FOutRate) + " Hz");
  const TSoxrApi& soxr = Soxr();
  const soxr_datatype_t type = Float ? SOXR_FLOAT32_I : SOXR_INT16_I;
  soxr_io_spec_t io = soxr.IoSpec(type, type);
  // No dither: the same source converts to the same bytes every time.
  io.flags |= SOXR_NO_DITHER;
  const soxr_quality_spec_t quality =
      soxr.QualitySpec(Quality == TResampleQuality::rqVeryHigh ? SOXR_VHQ : SOXR_HQ, 0);
  const soxr_runtime_spec_t runtime = soxr.RuntimeSpec(1);
  soxr_error_t error = nullptr;
  FResampler.reset(soxr.Create(FInRate, FOutRate, FChannels, &error, &io, &quality, &runtime));
  if (error != nullptr || !FResampler)
    throw EAuException(std::string("The resampler could not be created: ") + soxr_strerror(error));
}

TAuResampler::~TAuResampler() = default;

template <class T>
void TAuResampler::CheckType() const {
  if (FFloat != std::is_same_v<T, float>)
    throw EAuException("The resampler was made for another sample type");
}

template <class T>
void TAuResampler::Run(const T* In, size_t Frames, std::vector<T>& Out) {
  CheckType<T>();
  // In == nullptr tells the filter the input has ended: it then drains until it gives nothing.
  for (;;) {
    const size_t room = Frames * FOutRate / FInRate + 1024;
    const size_t old = Out.size();
    Out.resize(old + room * FChannels);
    size_t used = 0;
    size_t made = 0;
    const soxr_error_t error =
        Soxr().Process(FResampler.get(), In, Frames, &used, Out.data() + old, room, &made);
    Out.resize(old + made * FChannels);
    if (error != nullptr) throw EAuException(std::string("Resampling failed: ") + error);
    if (In != nullptr) {
      In += used * FChannels;
      Frames -= used;
      if (Frames == 0) return;
    } else if (made == 0) {
      return;
    }
  }
}

void TAuResampler::Process(const int16_t* In, size_t Frames, std::vector<int16_t>& Out) {
  if (Frames > 0) Run(In, Frames, Out);
}

void TAuResampler::Process(const float* In, size_t Frames, std::vector<float>& Out) {
  if (Frames > 0) Run(In, Frames, Out);
}

void TAuResampler::Flush(std::vector<int16_t>& Out) {
  Run<int16_t>(nullptr, 0, Out);
  Soxr().Clear(FResampler.get());
}

void TAuResampler::Flush(std::vector<float>& Out) {
  Run<float>(nullptr, 0, Out);
  Soxr().Clear(FResampler.get());
}

int64_t TAuResampler::ScaledFrames(int64_t InFrames, uint32_t InRate, uint32_t OutRate) {
  if (InFrames <= 0 || InRate == 0) return 0;
  if (InRate == OutRate) return InFrames;
  // Rounded to the nearest frame, as the filter's own length accounting does; a length
  // announced beyond any real file saturates instead of overflowing.
  const int64_t whole = InFrames / InRate;
  const int64_t part = InFrames % InRate;
  int64_t scaled = 0;
  if (__builtin_mul_overflow(whole, static_cast<int64_t>(OutRate), &scaled) ||
      __builtin_add_overflow(scaled, (part * OutRate + InRate / 2) / InRate, &scaled))
    return INT64_MAX;
  return scaled;
}

}  // namespace tunevert
