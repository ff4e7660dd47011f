// The binding to libopusenc: its loader and the Opus output over it.
#include <opus/opusenc.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <vector>

#include "opus/AuOpus.h"
#include "platform/AuFileStream.h"
#include "tags/VorbisComments.h"

namespace tunevert {

namespace {

struct TOpusEncApi {
  decltype(&::ope_comments_create) comments_create = nullptr;
  decltype(&::ope_comments_destroy) comments_destroy = nullptr;
  decltype(&::ope_comments_add_string) comments_add_string = nullptr;
  decltype(&::ope_encoder_create_callbacks) create_callbacks = nullptr;
  decltype(&::ope_encoder_write_float) write_float = nullptr;
  decltype(&::ope_encoder_drain) drain = nullptr;
  decltype(&::ope_encoder_destroy) destroy = nullptr;
  decltype(&::ope_encoder_ctl) ctl = nullptr;
  decltype(&::ope_strerror) strerror = nullptr;
};

TOpusEncApi Api;

// Frames taken from the input per block: a few of the encoder's 20 ms frames.
constexpr uint32_t kBlockFrames = 4096;

// The input's WAV channel order as the stream's: stream channel Map[j] takes WAV channel j.
void ToFloats(const uint8_t* In, uint32_t Frames, uint32_t Channels, uint32_t Bits, bool Reorder,
              float* Out) {
  const uint32_t bytes = Bits / 8;
  const uint8_t* map = Reorder ? kOpusToWav[Channels].data() : nullptr;
  for (uint32_t f = 0; f < Frames; ++f, Out += Channels) {
    for (uint32_t c = 0; c < Channels; ++c, In += bytes) {
      float v = 0;
      switch (Bits) {
        case 8:
          v = static_cast<float>(In[0] - 128) / 128.0f;
          break;
        case 16:
          v = static_cast<float>(static_cast<int16_t>(static_cast<uint16_t>(In[0] | In[1] << 8))) /
              32768.0f;
          break;
        case 24:
          v = static_cast<float>(
                  static_cast<int32_t>(static_cast<uint32_t>(In[0] << 8 | In[1] << 16 |
                                                             static_cast<uint32_t>(In[2]) << 24)) >>
                  8) /
              8388608.0f;
          break;
        default:
          v = static_cast<float>(static_cast<int32_t>(In[0] | In[1] << 8 | In[2] << 16 |
                                                      static_cast<uint32_t>(In[3]) << 24)) /
              2147483648.0f;
          break;
      }
      Out[map != nullptr ? map[c] : c] = v;
    }
  }
}

// The carried tags into the comment header. The library takes C strings, so a value ends at
// its first NUL byte.
void AddComments(OggOpusComments* Comments, const TCarriedTags& Tags) {
  const std::vector<std::string> comments = OggComments(Tags);
  uint64_t total = 0;
  for (const std::string& comment : comments) {
    total += 4 + comment.size();
    // Readers take the packet's lengths as signed 32-bit numbers.
    if (total > INT32_MAX - 1024)
      throw EAuException("The tags do not fit in an Opus comment header");
    if (Api.comments_add_string(Comments, comment.c_str()) != OPE_OK)
      throw EAuException("The Opus encoder refused the tag " +
                         comment.substr(0, comment.find('=')));
  }
}

struct TCommentsDeleter {
  void operator()(OggOpusComments* Comments) const { Api.comments_destroy(Comments); }
};

}  // namespace

TCodecLibrary& OpusEncLibrary() {
  static TCodecLibrary library(
      {"libopusenc.so.0"},
      {"ope_comments_create", "ope_comments_destroy", "ope_comments_add_string",
       "ope_encoder_create_callbacks", "ope_encoder_write_float", "ope_encoder_drain",
       "ope_encoder_destroy", "ope_encoder_ctl", "ope_strerror"});
  return library;
}

bool LoadOpusEncLibrary() {
  TCodecLibrary& library = OpusEncLibrary();
  if (!library.Load()) return false;
  static std::once_flag filled;
  std::call_once(filled, [&library] {
    Api.comments_create = library.Function<decltype(Api.comments_create)>("ope_comments_create");
    Api.comments_destroy = library.Function<decltype(Api.comments_destroy)>("ope_comments_destroy");
    Api.comments_add_string =
        library.Function<decltype(Api.comments_add_string)>("ope_comments_add_string");
    Api.create_callbacks =
        library.Function<decltype(Api.create_callbacks)>("ope_encoder_create_callbacks");
    Api.write_float = library.Function<decltype(Api.write_float)>("ope_encoder_write_float");
    Api.drain = library.Function<decltype(Api.drain)>("ope_encoder_drain");
    Api.destroy = library.Function<decltype(Api.destroy)>("ope_encoder_destroy");
    Api.ctl = library.Function<decltype(Api.ctl)>("ope_encoder_ctl");
    Api.strerror = library.Function<decltype(Api.strerror)>("ope_strerror");
  });
  return true;
}

// Pages go to the output's stream; a failed write is noted, since nothing may throw
// through the library.
struct TOpusEncCallbacks {
  static int Write(void* UserData, const unsigned char* Ptr, opus_int32 Length) {
    auto* self = static_cast<TOpusOut*>(UserData);
    try {
      if (self->FStream != nullptr && self->FStream->Write(Ptr, Length) == Length) return 0;
    } catch (...) {
      if (!self->FWriteFailure) self->FWriteFailure = std::current_exception();
    }
    self->FWriteFailed = true;
    return 1;
  }
  // The stream is the output's to release.
  static int Close(void* /*UserData*/) { return 0; }
};

void TOpusOut::TEncDeleter::operator()(OggOpusEnc* Enc) const {
  if (Enc != nullptr) Api.destroy(Enc);
}

const std::vector<uint32_t>& TOpusOut::BitratesKbps() {
  static const std::vector<uint32_t> kList = {6,  8,  12,  16,  24,  32,  48,  64,
                                              80, 96, 112, 128, 160, 192, 224, 256};
  return kList;
}

// The library loads with the first run: a program that owns this output but converts to
// other formats never maps it.
TOpusOut::TOpusOut(TComponent* AOwner) : TAuFileOut(AOwner) {}

TOpusOut::~TOpusOut() = default;

void TOpusOut::SetBitrateKbps(uint32_t Value) {
  FBitrateKbps = std::clamp(Value, kMinKbps, kMaxKbps);
}

void TOpusOut::SetComplexity(int32_t Value) {
  FComplexity = std::clamp(Value, 0, 10);
}

void TOpusOut::CheckWrite(int Code, const char* What) {
  // The library goes on after a failed page write; the first failure is the one to report.
  if (FWriteFailure) std::rethrow_exception(FWriteFailure);
  if (FWriteFailed || Code == OPE_WRITE_FAIL) throw EAuException("Error writing down opus file");
  if (Code != OPE_OK)
    throw EAuException(std::string("Opus encoder error (") + What + "): " + Api.strerror(Code));
}

void TOpusOut::ReleaseAll(bool Finished) {
  FEnc.reset();
  FBlock = {};
  FFloats = {};
  if (!FOwnStream) return;
  const std::unique_ptr<TAuFileStream> stream = std::move(FOwnStream);
  FStream = nullptr;
  if (Finished) stream->Close();
}

void TOpusOut::PrepareOutput() {
  FWriteFailed = false;
  FWriteFailure = nullptr;
  FInputOpen = false;
  FPrepared = false;
  if (!LoadOpusEncLibrary()) throw EAuException(OpusEncLibrary().LoadFailureMessage());
  if (!FStreamAssigned) {
    if (FWideFileName.empty()) throw EAuException("File name is not assigned.");
    FOwnStream = std::make_unique<TAuFileStream>(FWideFileName, FShareMode | 0xFF00);
    FStream = FOwnStream.get();
  }
  // A failed start is flushed as well, which ends whatever half-started pass it left.
  FInputOpen = true;
  FInput->Init();
  FInChannels = FInput->Channels();
  FInBits = FInput->BitsPerSample();
  const uint32_t rate = FInput->SampleRate();
  if (FInChannels == 0 || FInChannels > 255 ||
      (FInBits != 8 && FInBits != 16 && FInBits != 24 && FInBits != 32) || rate == 0)
    throw EAuException("The Opus encoder takes 1 to 255 channels of 8-, 16-, 24- or 32-bit PCM");
  const int family = FInChannels <= 2 ? 0 : FInChannels <= 8 ? 1 : 255;

  const std::unique_ptr<OggOpusComments, TCommentsDeleter> comments(Api.comments_create());
  if (!comments) throw EAuException("Opus encoder error: out of memory");
  AddComments(comments.get(), RunTags());
  const OpusEncCallbacks callbacks = {&TOpusEncCallbacks::Write, &TOpusEncCallbacks::Close};
  int error = OPE_OK;
  FEnc.reset(Api.create_callbacks(&callbacks, this, comments.get(), static_cast<opus_int32>(rate),
                                  static_cast<int>(FInChannels), family, &error));
  if (!FEnc) CheckWrite(error == OPE_OK ? OPE_INTERNAL_ERROR : error, "start");
  CheckWrite(Api.ctl(FEnc.get(), OPUS_SET_BITRATE(static_cast<opus_int32>(FBitrateKbps * 1000))),
             "bitrate");
  CheckWrite(Api.ctl(FEnc.get(), OPUS_SET_VBR(FVBR == TOpusVBR::ovCBR ? 0 : 1)), "VBR");
  CheckWrite(Api.ctl(FEnc.get(), OPUS_SET_VBR_CONSTRAINT(FVBR == TOpusVBR::ovConstrainedVBR)),
             "VBR");
  CheckWrite(Api.ctl(FEnc.get(), OPUS_SET_COMPLEXITY(FComplexity)), "complexity");
  FBlock.resize(size_t{kBlockFrames} * FInChannels * (FInBits / 8));
  FFloats.resize(size_t{kBlockFrames} * FInChannels);
  FPrepared = true;
}

bool TOpusOut::OutputBlock(bool Abort) {
  if (!CanOutput) return true;
  if (Abort) return false;
  bool eof = false;
  const uint32_t frameBytes = FInChannels * (FInBits / 8);
  const uint32_t n = FInput->FillBuffer(FBlock.data(), static_cast<uint32_t>(FBlock.size()), eof);
  const uint32_t frames = n / frameBytes;
  if (frames == 0) return false;
  ToFloats(FBlock.data(), frames, FInChannels, FInBits, FInChannels >= 3 && FInChannels <= 8,
           FFloats.data());
  CheckWrite(Api.write_float(FEnc.get(), FFloats.data(), static_cast<int>(frames)), "encode");
  return !eof;
}

void TOpusOut::FinishOutput() {
  std::exception_ptr failure;
  // Only a run whose set-up went through has a stream to end; a stopped run still ends its
  // file properly.
  if (FEnc && FPrepared) {
    try {
      CheckWrite(Api.drain(FEnc.get()), "end");
    } catch (...) {
      failure = std::current_exception();
    }
  }
  const bool finished = FEnc && FPrepared && !failure;
  FPrepared = false;
  try {
    ReleaseAll(finished);
  } catch (...) {
    failure = std::current_exception();
  }
  if (FInputOpen) {
    FInputOpen = false;
    try {
      FInput->Flush();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace tunevert
