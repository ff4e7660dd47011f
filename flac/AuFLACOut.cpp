// The FLAC output over libFLAC's stream encoder, loaded with the FLAC input's loader.
#include "flac/AuFLACOut.h"

#include <FLAC/stream_encoder.h>

#include <algorithm>
#include <array>
#include <mutex>

#include "flac/AuFLAC.h"
#include "platform/AuFileStream.h"
#include "tags/VorbisComments.h"

namespace tunevert {

namespace {

// The encoder calls the output makes, typed from the library's own header.
struct TFLACEncoderApi {
  decltype(&::FLAC__stream_encoder_new) encoder_new = nullptr;
  decltype(&::FLAC__stream_encoder_delete) encoder_delete = nullptr;
  decltype(&::FLAC__stream_encoder_set_verify) set_verify = nullptr;
  decltype(&::FLAC__stream_encoder_set_streamable_subset) set_streamable_subset = nullptr;
  decltype(&::FLAC__stream_encoder_set_channels) set_channels = nullptr;
  decltype(&::FLAC__stream_encoder_set_bits_per_sample) set_bits_per_sample = nullptr;
  decltype(&::FLAC__stream_encoder_set_sample_rate) set_sample_rate = nullptr;
  decltype(&::FLAC__stream_encoder_set_compression_level) set_compression_level = nullptr;
  decltype(&::FLAC__stream_encoder_set_total_samples_estimate) set_total_samples_estimate = nullptr;
  decltype(&::FLAC__stream_encoder_set_metadata) set_metadata = nullptr;
  decltype(&::FLAC__stream_encoder_init_stream) init_stream = nullptr;
  decltype(&::FLAC__stream_encoder_process_interleaved) process_interleaved = nullptr;
  decltype(&::FLAC__stream_encoder_finish) finish = nullptr;
  decltype(&::FLAC__stream_encoder_get_resolved_state_string) resolved_state_string = nullptr;
  const char* const* init_status_strings = nullptr;
};

TFLACEncoderApi Enc;

bool LoadFLACEncoder() {
  if (!LoadFLACLibrary()) return false;
  static std::once_flag filled;
  std::call_once(filled, [] {
    const TCodecLibrary& lib = FLACLibrary();
    Enc.encoder_new = lib.Function<decltype(Enc.encoder_new)>("FLAC__stream_encoder_new");
    Enc.encoder_delete = lib.Function<decltype(Enc.encoder_delete)>("FLAC__stream_encoder_delete");
    Enc.set_verify = lib.Function<decltype(Enc.set_verify)>("FLAC__stream_encoder_set_verify");
    Enc.set_streamable_subset = lib.Function<decltype(Enc.set_streamable_subset)>(
        "FLAC__stream_encoder_set_streamable_subset");
    Enc.set_channels =
        lib.Function<decltype(Enc.set_channels)>("FLAC__stream_encoder_set_channels");
    Enc.set_bits_per_sample =
        lib.Function<decltype(Enc.set_bits_per_sample)>("FLAC__stream_encoder_set_bits_per_sample");
    Enc.set_sample_rate =
        lib.Function<decltype(Enc.set_sample_rate)>("FLAC__stream_encoder_set_sample_rate");
    Enc.set_compression_level = lib.Function<decltype(Enc.set_compression_level)>(
        "FLAC__stream_encoder_set_compression_level");
    Enc.set_total_samples_estimate = lib.Function<decltype(Enc.set_total_samples_estimate)>(
        "FLAC__stream_encoder_set_total_samples_estimate");
    Enc.set_metadata =
        lib.Function<decltype(Enc.set_metadata)>("FLAC__stream_encoder_set_metadata");
    Enc.init_stream = lib.Function<decltype(Enc.init_stream)>("FLAC__stream_encoder_init_stream");
    Enc.process_interleaved =
        lib.Function<decltype(Enc.process_interleaved)>("FLAC__stream_encoder_process_interleaved");
    Enc.finish = lib.Function<decltype(Enc.finish)>("FLAC__stream_encoder_finish");
    Enc.resolved_state_string = lib.Function<decltype(Enc.resolved_state_string)>(
        "FLAC__stream_encoder_get_resolved_state_string");
    Enc.init_status_strings =
        static_cast<const char* const*>(lib.Entry("FLAC__StreamEncoderInitStatusString"));
  });
  return Enc.encoder_new != nullptr && Enc.process_interleaved != nullptr;
}

constexpr uint32_t kBlockFrames = 4096;
// The format's sample number of a seek point that points nowhere.
constexpr uint64_t kPlaceholder = 0xFFFFFFFFFFFFFFFFull;
constexpr uint32_t kSeekPointSeconds = 10;
constexpr uint64_t kMaxSeekPoints = 32768;
// Room for tags written after the audio, so a tagger need not move it.
constexpr uint32_t kPaddingBytes = 8192;

// Rates a streamable-subset decoder must handle; other rates need the full format.
bool SubsetRate(uint32_t Rate) {
  return Rate <= 655350 && (Rate <= 65535 || Rate % 10 == 0);
}

int32_t Sample24(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 | static_cast<uint32_t>(p[1]) << 16 |
                              static_cast<uint32_t>(p[2]) << 24) >>
         8;
}

// A 32-bit sample to 24 bits, rounded to nearest and clamped at the top (where rounding up
// would leave the range).
int32_t Round32To24(const uint8_t* p) {
  const auto v =
      static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
  return static_cast<int32_t>(std::min<int64_t>((int64_t{v} + 128) >> 8, 0x7FFFFF));
}

void PutBE(uint8_t* p, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

// A metadata block's length has 24 bits, and the library writes a block with its 4-byte header
// in at most 16 MiB.
constexpr uint64_t kMaxBlockLength = (uint64_t{1} << 24) - 4;

// The library writes a picture's MIME type and description up to their first NUL and refuses
// a MIME type that is not printable ASCII.
std::string CString(const std::string& Text) {
  return Text.substr(0, Text.find('\0'));
}
std::string MimeType(const std::string& Text) {
  std::string mime;
  for (char c : CString(Text))
    if (c >= 0x20 && c <= 0x7E) mime += c;
  return mime;
}

}  // namespace

// The carried tags as the library takes them: one comment block and a block per picture,
// pointing into memory held here for the whole run.
struct TFLACOut::TTagBlocks {
  explicit TTagBlocks(TCarriedTags AllTags) : Tags(std::move(AllTags)) {
    Entries = CommentEntries(Tags);
    uint64_t length = 8;  // the vendor string's length and the count; the library adds the rest
    if (!Entries.empty()) {
      Fields.reserve(Entries.size());
      for (std::string& entry : Entries) {
        length += 4 + entry.size();
        Fields.push_back(
            {static_cast<FLAC__uint32>(entry.size()), reinterpret_cast<FLAC__byte*>(entry.data())});
      }
      Comment.type = FLAC__METADATA_TYPE_VORBIS_COMMENT;
      Comment.length = static_cast<uint32_t>(std::min(length, kMaxBlockLength + 1));
      Comment.data.vorbis_comment.num_comments = static_cast<FLAC__uint32>(Fields.size());
      Comment.data.vorbis_comment.comments = Fields.data();
      // Room for the library's vendor string, which replaces this empty one.
      if (length + 64 > kMaxBlockLength)
        throw EAuException("The tags do not fit in a FLAC metadata block");
    }
    Strings.reserve(2 * Tags.Pictures.size());
    Pictures.resize(Tags.Pictures.size());
    for (size_t i = 0; i < Tags.Pictures.size(); ++i) {
      TCarriedPicture& carried = Tags.Pictures[i];
      std::string& mime = Strings.emplace_back(MimeType(carried.Mime));
      std::string& description = Strings.emplace_back(CString(carried.Description));
      FLAC__StreamMetadata& block = Pictures[i];
      block.type = FLAC__METADATA_TYPE_PICTURE;
      const uint64_t blockLength = 32 + mime.size() + description.size() + carried.Data.size();
      if (blockLength > kMaxBlockLength)
        throw EAuException("A picture of " + std::to_string(carried.Data.size()) +
                           " bytes does not fit in a FLAC metadata block");
      block.length = static_cast<uint32_t>(blockLength);
      FLAC__StreamMetadata_Picture& picture = block.data.picture;
      picture.type = static_cast<FLAC__StreamMetadata_Picture_Type>(
          carried.Type >= 0 && carried.Type <= 20 ? carried.Type : 0);
      picture.mime_type = mime.data();
      picture.description = reinterpret_cast<FLAC__byte*>(description.data());
      picture.data_length = static_cast<FLAC__uint32>(carried.Data.size());
      picture.data = reinterpret_cast<FLAC__byte*>(carried.Data.data());
    }
  }

  // In the order they go into the file, after STREAMINFO.
  void AddTo(std::vector<FLAC__StreamMetadata*>& Blocks) {
    if (!Entries.empty()) Blocks.push_back(&Comment);
    for (FLAC__StreamMetadata& picture : Pictures) Blocks.push_back(&picture);
  }

  TCarriedTags Tags;
  std::vector<std::string> Entries;
  std::vector<FLAC__StreamMetadata_VorbisComment_Entry> Fields;
  FLAC__StreamMetadata Comment{};
  std::vector<std::string> Strings;  // reserved up front: the blocks point into them
  std::vector<FLAC__StreamMetadata> Pictures;
};

// The library's encoder and the metadata it keeps pointers to for the whole run.
struct TFLACOut::TEncoder {
  struct TDeleter {
    void operator()(FLAC__StreamEncoder* e) const { Enc.encoder_delete(e); }
  };
  std::unique_ptr<FLAC__StreamEncoder, TDeleter> Handle;
  bool Initialised = false;
  // The library fills these points in as frames pass and rewrites the table when finished.
  std::vector<FLAC__StreamMetadata_SeekPoint> Points;
  FLAC__StreamMetadata SeekTable{};
  FLAC__StreamMetadata Padding{};
  std::vector<FLAC__StreamMetadata*> Blocks;
  std::unique_ptr<TTagBlocks> Tags;
};

// The encoder's callbacks; client data is the output. No exception may cross into libFLAC.
struct TFLACEncoderCallbacks {
  static FLAC__StreamEncoderWriteStatus Write(const FLAC__StreamEncoder*, const FLAC__byte buffer[],
                                              size_t bytes, uint32_t, uint32_t, void* client) {
    auto* self = static_cast<TFLACOut*>(client);
    try {
      if (self->FStream->Write(buffer, static_cast<int64_t>(bytes)) != static_cast<int64_t>(bytes))
        throw EAuException("Error writing down FLAC file");
      return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
    } catch (...) {
      if (!self->FCallbackFailure) self->FCallbackFailure = std::current_exception();
      return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
    }
  }

  static FLAC__StreamEncoderSeekStatus Seek(const FLAC__StreamEncoder*, FLAC__uint64 offset,
                                            void* client) {
    auto* self = static_cast<TFLACOut*>(client);
    try {
      const int64_t target = self->FStreamBase + static_cast<int64_t>(offset);
      if (self->FStream->Seek(target, TSeekOrigin::soBeginning) != target)
        throw EAuException("The output file could not be written: it cannot be rewound");
      return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
    } catch (...) {
      if (!self->FCallbackFailure) self->FCallbackFailure = std::current_exception();
      return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
    }
  }

  static FLAC__StreamEncoderTellStatus Tell(const FLAC__StreamEncoder*, FLAC__uint64* offset,
                                            void* client) {
    auto* self = static_cast<TFLACOut*>(client);
    try {
      const int64_t at = self->FStream->Position() - self->FStreamBase;
      if (at < 0) return FLAC__STREAM_ENCODER_TELL_STATUS_ERROR;
      *offset = static_cast<FLAC__uint64>(at);
      return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
    } catch (...) {
      return FLAC__STREAM_ENCODER_TELL_STATUS_ERROR;
    }
  }
};

TFLACOut::TFLACOut(TComponent* AOwner) : TAuTaggedFileOut(AOwner) {}

TFLACOut::~TFLACOut() = default;

void TFLACOut::SetCompressionLevel(int32_t Value) {
  FCompressionLevel = std::clamp(Value, 0, 8);
}

uint32_t TFLACOut::OutputBits(uint32_t SourceBits) {
  switch (SourceBits) {
    case 8:
    case 16:
    case 24:
      return SourceBits;
    case 32:
      return 24;
    default:
      return 0;
  }
}

void TFLACOut::ReleaseStream(bool Finished) {
  if (!FOwnStream) return;
  const std::unique_ptr<TAuFileStream> stream = std::move(FOwnStream);
  FStream = nullptr;
  if (Finished) stream->Close();
}

void TFLACOut::PrepareOutput() {
  FEncoder.reset();
  FCallbackFailure = nullptr;
  if (!LoadFLACEncoder()) throw EAuException(FLACLibrary().LoadFailureMessage());
  if (!FStreamAssigned) {
    if (FWideFileName.empty()) throw EAuException("File name is not assigned.");
    FOwnStream = std::make_unique<TAuFileStream>(FWideFileName, FShareMode | 0xFF00);
    FStream = FOwnStream.get();
  }
  FStreamBase = FStream->Position();
  FInput->Init();
  FInChannels = FInput->Channels();
  FInBits = FInput->BitsPerSample();
  const uint32_t rate = FInput->SampleRate();
  FOutBits = OutputBits(FInBits);
  if (FInChannels < 1 || FInChannels > 8)
    throw EAuException("FLAC takes 1 to 8 channels, not " + std::to_string(FInChannels));
  if (FOutBits == 0) throw EAuException("The FLAC encoder takes 8-, 16-, 24- or 32-bit PCM input");
  if (rate == 0 || rate > FLAC__MAX_SAMPLE_RATE)
    throw EAuException("FLAC cannot store a sample rate of " + std::to_string(rate) + " Hz");

  auto enc = std::make_unique<TEncoder>();
  enc->Handle.reset(Enc.encoder_new());
  if (!enc->Handle) throw EAuException("Failed to initialize the FLAC encoder.");
  FLAC__StreamEncoder* e = enc->Handle.get();
  Enc.set_verify(e, false);
  Enc.set_streamable_subset(e, SubsetRate(rate));
  Enc.set_channels(e, FInChannels);
  Enc.set_bits_per_sample(e, FOutBits);
  Enc.set_sample_rate(e, rate);
  Enc.set_compression_level(e, static_cast<uint32_t>(FCompressionLevel));

  // The announced length is a claim: it places the seek points and is the first guess of
  // the total, which the library corrects when the file is finished.
  const int64_t frameBytes = int64_t{FInChannels} * (FInBits / 8);
  const int64_t announced = FInput->Size() > 0 ? FInput->Size() / frameBytes : 0;
  Enc.set_total_samples_estimate(e, static_cast<FLAC__uint64>(announced));
  enc->Tags = std::make_unique<TTagBlocks>(RunTags());
  enc->Tags->AddTo(enc->Blocks);
  // A long claim spreads the points wider rather than outgrowing the block's 24-bit length.
  const uint64_t spacing =
      std::max<uint64_t>(uint64_t{kSeekPointSeconds} * rate,
                         (static_cast<uint64_t>(announced) + kMaxSeekPoints - 1) / kMaxSeekPoints);
  for (uint64_t s = 0; s < static_cast<uint64_t>(announced); s += spacing)
    enc->Points.push_back({s, 0, 0});
  if (!enc->Points.empty()) {
    enc->SeekTable.type = FLAC__METADATA_TYPE_SEEKTABLE;
    enc->SeekTable.length =
        static_cast<uint32_t>(enc->Points.size()) * FLAC__STREAM_METADATA_SEEKPOINT_LENGTH;
    enc->SeekTable.data.seek_table.num_points = static_cast<uint32_t>(enc->Points.size());
    enc->SeekTable.data.seek_table.points = enc->Points.data();
    enc->Blocks.push_back(&enc->SeekTable);
  }
  enc->Padding.type = FLAC__METADATA_TYPE_PADDING;
  enc->Padding.length = kPaddingBytes;
  enc->Blocks.push_back(&enc->Padding);
  enc->Blocks.back()->is_last = true;
  Enc.set_metadata(e, enc->Blocks.data(), static_cast<uint32_t>(enc->Blocks.size()));

  const FLAC__StreamEncoderInitStatus status =
      Enc.init_stream(e, &TFLACEncoderCallbacks::Write, &TFLACEncoderCallbacks::Seek,
                      &TFLACEncoderCallbacks::Tell, nullptr, this);
  if (status != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
    if (FCallbackFailure) std::rethrow_exception(FCallbackFailure);
    std::string why = std::to_string(static_cast<int>(status));
    if (Enc.init_status_strings != nullptr &&
        status == FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR)
      why = Enc.resolved_state_string(e);
    else if (Enc.init_status_strings != nullptr)
      why = Enc.init_status_strings[status];
    throw EAuException("Failed to set up the FLAC encoder: " + why);
  }
  enc->Initialised = true;
  FEncoder = std::move(enc);
  FBuffer.resize(size_t{kBlockFrames} * static_cast<size_t>(frameBytes));
  FSamples.resize(size_t{kBlockFrames} * FInChannels);
}

bool TFLACOut::OutputBlock(bool Abort) {
  if (!CanOutput) return true;
  if (Abort) return false;
  bool eof = false;
  const uint32_t bytes = FInBits / 8;
  const uint32_t n = FInput->FillBuffer(FBuffer.data(), static_cast<uint32_t>(FBuffer.size()), eof);
  const uint32_t frames = n / (FInChannels * bytes);
  if (frames == 0) return false;
  const uint32_t values = frames * FInChannels;
  const uint8_t* p = FBuffer.data();
  int32_t* out = FSamples.data();
  switch (FInBits) {
    case 8:
      for (uint32_t i = 0; i < values; ++i) out[i] = int32_t{p[i]} - 128;
      break;
    case 16:
      for (uint32_t i = 0; i < values; ++i, p += 2)
        out[i] = static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
      break;
    case 24:
      for (uint32_t i = 0; i < values; ++i, p += 3) out[i] = Sample24(p);
      break;
    default:
      for (uint32_t i = 0; i < values; ++i, p += 4) out[i] = Round32To24(p);
      break;
  }
  if (!Enc.process_interleaved(FEncoder->Handle.get(), FSamples.data(), frames)) {
    if (FCallbackFailure) std::rethrow_exception(FCallbackFailure);
    throw EAuException(std::string("FLAC encoder error: ") +
                       Enc.resolved_state_string(FEncoder->Handle.get()));
  }
  return !eof;
}

// Seek points placed past the end the source really had were never reached; the library
// leaves them pointing at the first frame. They become placeholders, which readers skip.
void TFLACOut::FixUnreachedSeekPoints() {
  std::vector<FLAC__StreamMetadata_SeekPoint>& points = FEncoder->Points;
  bool unreached = false;
  for (auto& p : points)
    if (p.frame_samples == 0 && p.sample_number != kPlaceholder) {
      p = {kPlaceholder, 0, 0};
      unreached = true;
    }
  if (!unreached) return;
  // Find the table among the blocks the library wrote: it may have put others before it.
  int64_t at = FStreamBase + 4;
  for (;;) {
    std::array<uint8_t, 4> header{};
    FStream->Seek(at, TSeekOrigin::soBeginning);
    if (FStream->Read(header.data(), 4) != 4) throw EAuException("Error writing down FLAC file");
    const uint32_t length = uint32_t{header[1]} << 16 | uint32_t{header[2]} << 8 | header[3];
    if ((header[0] & 0x7F) == FLAC__METADATA_TYPE_SEEKTABLE) break;
    if ((header[0] & 0x80) != 0) return;
    at += 4 + length;
  }
  std::vector<uint8_t> bytes(points.size() * FLAC__STREAM_METADATA_SEEKPOINT_LENGTH);
  for (size_t i = 0; i < points.size(); ++i) {
    uint8_t* b = bytes.data() + i * FLAC__STREAM_METADATA_SEEKPOINT_LENGTH;
    PutBE(b, points[i].sample_number, 8);
    PutBE(b + 8, points[i].stream_offset, 8);
    PutBE(b + 16, points[i].frame_samples, 2);
  }
  FStream->Seek(at + 4, TSeekOrigin::soBeginning);
  if (FStream->Write(bytes.data(), static_cast<int64_t>(bytes.size())) !=
      static_cast<int64_t>(bytes.size()))
    throw EAuException("Error writing down FLAC file");
}

void TFLACOut::FinishOutput() {
  std::exception_ptr failure;
  if (FEncoder && FEncoder->Initialised) {
    try {
      // Encodes what is buffered, then rewrites STREAMINFO (length, MD5) and the seek table.
      const bool finished = Enc.finish(FEncoder->Handle.get());
      if (FCallbackFailure) std::rethrow_exception(FCallbackFailure);
      if (!finished) throw EAuException("Failed to finish the FLAC file");
      if (!FEncoder->Points.empty()) FixUnreachedSeekPoints();
    } catch (...) {
      failure = std::current_exception();
    }
  }
  const bool finished = FEncoder && FEncoder->Initialised && !failure;
  FEncoder.reset();
  try {
    ReleaseStream(finished);
  } catch (...) {
    failure = std::current_exception();
  }
  FBuffer = {};
  FSamples = {};
  try {
    FInput->Flush();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace tunevert
