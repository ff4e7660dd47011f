// The binding to libFLAC: its loader and the FLAC input over its stream decoder.
#include "flac/AuFLAC.h"

#include <FLAC/stream_decoder.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "platform/Text.h"

namespace tunevert {

namespace {

// The decoder calls the input makes, typed from the library's own header.
struct TFLACApi {
  decltype(&::FLAC__stream_decoder_new) decoder_new = nullptr;
  decltype(&::FLAC__stream_decoder_delete) decoder_delete = nullptr;
  decltype(&::FLAC__stream_decoder_set_md5_checking) set_md5_checking = nullptr;
  decltype(&::FLAC__stream_decoder_set_metadata_respond_all) set_metadata_respond_all = nullptr;
  decltype(&::FLAC__stream_decoder_init_stream) init_stream = nullptr;
  decltype(&::FLAC__stream_decoder_process_single) process_single = nullptr;
  decltype(&::FLAC__stream_decoder_get_state) get_state = nullptr;
  decltype(&::FLAC__stream_decoder_seek_absolute) seek_absolute = nullptr;
  decltype(&::FLAC__stream_decoder_reset) reset = nullptr;
  decltype(&::FLAC__stream_decoder_finish) finish = nullptr;
};

TFLACApi Api;

FLAC__StreamDecoder* Decoder(void* Handle) {
  return static_cast<FLAC__StreamDecoder*>(Handle);
}

constexpr std::string_view kCommentKeys[] = {
    "title",
    "artist",
    "album",
    "date",
    "genre",
    "tracknumber",
    "discnumber",
    "replaygain_reference_loudness",
    "replaygain_track_gain",
    "replaygain_track_peak",
    "replaygain_album_gain",
    "replaygain_album_peak",
};

bool SameKey(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (size_t i = 0; i < A.size(); ++i) {
    char a = A[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != B[i]) return false;
  }
  return true;
}

}  // namespace

TCodecLibrary& FLACLibrary() {
  static TCodecLibrary library(
      {"libFLAC.so.12", "libFLAC.so.8"},
      {"FLAC__stream_decoder_new", "FLAC__stream_decoder_delete",
       "FLAC__stream_decoder_set_ogg_serial_number", "FLAC__stream_decoder_set_md5_checking",
       "FLAC__stream_decoder_set_metadata_respond",
       "FLAC__stream_decoder_set_metadata_respond_application",
       "FLAC__stream_decoder_set_metadata_respond_all", "FLAC__stream_decoder_set_metadata_ignore",
       "FLAC__stream_decoder_set_metadata_ignore_application",
       "FLAC__stream_decoder_set_metadata_ignore_all", "FLAC__stream_decoder_get_state",
       "FLAC__stream_decoder_get_md5_checking", "FLAC__stream_decoder_get_total_samples",
       "FLAC__stream_decoder_get_channels", "FLAC__stream_decoder_get_channel_assignment",
       "FLAC__stream_decoder_get_bits_per_sample", "FLAC__stream_decoder_get_sample_rate",
       "FLAC__stream_decoder_get_blocksize", "FLAC__stream_decoder_get_decode_position",
       "FLAC__stream_decoder_init_stream", "FLAC__stream_decoder_init_ogg_stream",
       "FLAC__stream_decoder_init_file", "FLAC__stream_decoder_init_ogg_file",
       "FLAC__stream_decoder_finish", "FLAC__stream_decoder_flush", "FLAC__stream_decoder_reset",
       "FLAC__stream_decoder_process_single", "FLAC__stream_decoder_process_until_end_of_metadata",
       "FLAC__stream_decoder_process_until_end_of_stream", "FLAC__stream_decoder_skip_single_frame",
       "FLAC__stream_decoder_seek_absolute",
       // The encoder's, for the FLAC output (AuFLACOut.cpp).
       "FLAC__stream_encoder_new", "FLAC__stream_encoder_delete",
       "FLAC__stream_encoder_set_ogg_serial_number", "FLAC__stream_encoder_set_verify",
       "FLAC__stream_encoder_set_streamable_subset", "FLAC__stream_encoder_set_channels",
       "FLAC__stream_encoder_set_bits_per_sample", "FLAC__stream_encoder_set_sample_rate",
       "FLAC__stream_encoder_set_compression_level", "FLAC__stream_encoder_set_blocksize",
       "FLAC__stream_encoder_set_do_mid_side_stereo",
       "FLAC__stream_encoder_set_loose_mid_side_stereo", "FLAC__stream_encoder_set_apodization",
       "FLAC__stream_encoder_set_max_lpc_order", "FLAC__stream_encoder_set_qlp_coeff_precision",
       "FLAC__stream_encoder_set_do_qlp_coeff_prec_search",
       "FLAC__stream_encoder_set_do_escape_coding",
       "FLAC__stream_encoder_set_do_exhaustive_model_search",
       "FLAC__stream_encoder_set_min_residual_partition_order",
       "FLAC__stream_encoder_set_max_residual_partition_order",
       "FLAC__stream_encoder_set_rice_parameter_search_dist",
       "FLAC__stream_encoder_set_total_samples_estimate", "FLAC__stream_encoder_set_metadata",
       "FLAC__stream_encoder_get_state", "FLAC__stream_encoder_get_verify_decoder_state",
       "FLAC__stream_encoder_get_resolved_state_string",
       "FLAC__stream_encoder_get_verify_decoder_error_stats", "FLAC__stream_encoder_get_verify",
       "FLAC__stream_encoder_get_streamable_subset", "FLAC__stream_encoder_get_channels",
       "FLAC__stream_encoder_get_bits_per_sample", "FLAC__stream_encoder_get_sample_rate",
       "FLAC__stream_encoder_get_blocksize", "FLAC__stream_encoder_get_do_mid_side_stereo",
       "FLAC__stream_encoder_get_loose_mid_side_stereo", "FLAC__stream_encoder_get_max_lpc_order",
       "FLAC__stream_encoder_get_qlp_coeff_precision",
       "FLAC__stream_encoder_get_do_qlp_coeff_prec_search",
       "FLAC__stream_encoder_get_do_escape_coding",
       "FLAC__stream_encoder_get_do_exhaustive_model_search",
       "FLAC__stream_encoder_get_min_residual_partition_order",
       "FLAC__stream_encoder_get_max_residual_partition_order",
       "FLAC__stream_encoder_get_rice_parameter_search_dist",
       "FLAC__stream_encoder_get_total_samples_estimate", "FLAC__stream_encoder_init_stream",
       "FLAC__stream_encoder_init_ogg_stream", "FLAC__stream_encoder_init_file",
       "FLAC__stream_encoder_init_ogg_file", "FLAC__stream_encoder_finish",
       "FLAC__stream_encoder_process", "FLAC__stream_encoder_process_interleaved",
       "FLAC__StreamEncoderInitStatusString", "FLAC__metadata_simple_iterator_new",
       "FLAC__metadata_simple_iterator_delete", "FLAC__metadata_simple_iterator_status",
       "FLAC__metadata_simple_iterator_init", "FLAC__metadata_simple_iterator_is_writable",
       "FLAC__metadata_simple_iterator_next", "FLAC__metadata_simple_iterator_prev",
       "FLAC__metadata_simple_iterator_is_last", "FLAC__metadata_simple_iterator_get_block_offset",
       "FLAC__metadata_simple_iterator_get_block_type",
       "FLAC__metadata_simple_iterator_get_block_length",
       "FLAC__metadata_simple_iterator_get_application_id",
       "FLAC__metadata_simple_iterator_get_block", "FLAC__metadata_simple_iterator_set_block",
       "FLAC__metadata_simple_iterator_insert_block_after",
       "FLAC__metadata_simple_iterator_delete_block"});
  return library;
}

bool LoadFLACLibrary() {
  TCodecLibrary& library = FLACLibrary();
  if (!library.Load()) return false;
  std::lock_guard lock(LibraryLoadLock());
  if (Api.process_single == nullptr) {
    Api.decoder_new = library.Function<decltype(Api.decoder_new)>("FLAC__stream_decoder_new");
    Api.decoder_delete =
        library.Function<decltype(Api.decoder_delete)>("FLAC__stream_decoder_delete");
    Api.set_md5_checking =
        library.Function<decltype(Api.set_md5_checking)>("FLAC__stream_decoder_set_md5_checking");
    Api.set_metadata_respond_all = library.Function<decltype(Api.set_metadata_respond_all)>(
        "FLAC__stream_decoder_set_metadata_respond_all");
    Api.init_stream =
        library.Function<decltype(Api.init_stream)>("FLAC__stream_decoder_init_stream");
    Api.get_state = library.Function<decltype(Api.get_state)>("FLAC__stream_decoder_get_state");
    Api.seek_absolute =
        library.Function<decltype(Api.seek_absolute)>("FLAC__stream_decoder_seek_absolute");
    Api.reset = library.Function<decltype(Api.reset)>("FLAC__stream_decoder_reset");
    Api.finish = library.Function<decltype(Api.finish)>("FLAC__stream_decoder_finish");
    Api.process_single =
        library.Function<decltype(Api.process_single)>("FLAC__stream_decoder_process_single");
  }
  return true;
}

// The decoder's callbacks; client data is the input. No exception may cross into libFLAC.
struct TFLACCallbacks {
  static FLAC__StreamDecoderReadStatus Read(const FLAC__StreamDecoder*, FLAC__byte buffer[],
                                            size_t* bytes, void* client) {
    auto* self = static_cast<TFLACIn*>(client);
    try {
      if (self->FStreamPos < 0) self->FStreamPos = self->FStream->Position();
      if (self->FStreamPos >= self->FStreamLength) {
        *bytes = 0;
        return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
      }
      const int64_t got = self->FStream->Read(buffer, static_cast<int64_t>(*bytes));
      *bytes = got > 0 ? static_cast<size_t>(got) : 0;
      self->FStreamPos += static_cast<int64_t>(*bytes);
      return *bytes == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM
                         : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
    } catch (...) {
      self->FStreamPos = -1;
      *bytes = 0;
      return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
    }
  }

  static FLAC__StreamDecoderSeekStatus Seek(const FLAC__StreamDecoder*, FLAC__uint64 offset,
                                            void* client) {
    auto* self = static_cast<TFLACIn*>(client);
    if (!self->FSeekable) return FLAC__STREAM_DECODER_SEEK_STATUS_UNSUPPORTED;
    try {
      // 64-bit all the way: files past 2 GiB seek like any other.
      if (offset > static_cast<FLAC__uint64>(self->FStreamLength))
        return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
      self->FStreamPos =
          self->FStream->Seek(static_cast<int64_t>(offset), TSeekOrigin::soBeginning);
      return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
    } catch (...) {
      // Where the stream stands after a failed seek is not known; ask it next time.
      self->FStreamPos = -1;
      return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
    }
  }

  static FLAC__StreamDecoderTellStatus Tell(const FLAC__StreamDecoder*, FLAC__uint64* offset,
                                            void* client) {
    auto* self = static_cast<TFLACIn*>(client);
    try {
      if (self->FStreamPos < 0) self->FStreamPos = self->FStream->Position();
      *offset = static_cast<FLAC__uint64>(self->FStreamPos);
      return FLAC__STREAM_DECODER_TELL_STATUS_OK;
    } catch (...) {
      return FLAC__STREAM_DECODER_TELL_STATUS_ERROR;
    }
  }

  static FLAC__StreamDecoderLengthStatus Length(const FLAC__StreamDecoder*, FLAC__uint64* length,
                                                void* client) {
    auto* self = static_cast<TFLACIn*>(client);
    *length = static_cast<FLAC__uint64>(self->FStreamLength);
    return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
  }

  static FLAC__bool Eof(const FLAC__StreamDecoder*, void* client) {
    auto* self = static_cast<TFLACIn*>(client);
    try {
      if (self->FStreamPos < 0) self->FStreamPos = self->FStream->Position();
      return self->FStreamPos >= self->FStreamLength;
    } catch (...) {
      return true;
    }
  }

  static FLAC__StreamDecoderWriteStatus Write(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                              const FLAC__int32* const buffer[], void* client) {
    auto* self = static_cast<TFLACIn*>(client);
    const FLAC__FrameHeader& h = frame->header;
    // A frame that does not match STREAMINFO would overrun the frame size the pass counts
    // with; such a stream is damaged.
    if (!self->FHaveStreamInfo || h.channels != self->FChan ||
        h.bits_per_sample != self->FStreamBPS) {
      self->FValid = false;
      return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    const uint32_t channels = self->FChan;
    const uint32_t width = self->FBPS / 8;
    const uint32_t shift = self->FBPS - self->FStreamBPS;
    self->FBlockSize = h.blocksize;
    self->BytesPerBlock = h.blocksize * width * channels;
    if (self->BytesPerBlock > self->BuffSize) {
      self->Buff = std::make_unique_for_overwrite<uint8_t[]>(self->BytesPerBlock);
      self->BuffSize = self->BytesPerBlock;
    }
    self->FFrameFirstSample = h.number_type == FLAC__FRAME_NUMBER_TYPE_SAMPLE_NUMBER
                                  ? static_cast<int64_t>(h.number.sample_number)
                                  : static_cast<int64_t>(h.number.frame_number) * h.blocksize;
    uint8_t* out = self->Buff.get();
    const uint32_t n = h.blocksize;
    switch (width) {
      case 1:
        for (uint32_t i = 0; i < n; ++i)
          for (uint32_t c = 0; c < channels; ++c)
            *out++ = static_cast<uint8_t>((static_cast<uint32_t>(buffer[c][i]) << shift) + 128);
        break;
      case 2:
        if (channels == 2) {
          // Most files: one 32-bit store per frame, in a loop the compiler vectorises.
          const FLAC__int32* left = buffer[0];
          const FLAC__int32* right = buffer[1];
          for (uint32_t i = 0; i < n; ++i) {
            const uint32_t v = ((static_cast<uint32_t>(left[i]) << shift) & 0xFFFF) |
                               (static_cast<uint32_t>(right[i]) << shift << 16);
            std::memcpy(out + 4 * i, &v, 4);
          }
          break;
        }
        for (uint32_t i = 0; i < n; ++i)
          for (uint32_t c = 0; c < channels; ++c) {
            const uint32_t v = static_cast<uint32_t>(buffer[c][i]) << shift;
            out[0] = static_cast<uint8_t>(v);
            out[1] = static_cast<uint8_t>(v >> 8);
            out += 2;
          }
        break;
      case 3:
        for (uint32_t i = 0; i < n; ++i)
          for (uint32_t c = 0; c < channels; ++c) {
            const uint32_t v = static_cast<uint32_t>(buffer[c][i]) << shift;
            out[0] = static_cast<uint8_t>(v);
            out[1] = static_cast<uint8_t>(v >> 8);
            out[2] = static_cast<uint8_t>(v >> 16);
            out += 3;
          }
        break;
      default:
        for (uint32_t i = 0; i < n; ++i)
          for (uint32_t c = 0; c < channels; ++c) {
            const uint32_t v = static_cast<uint32_t>(buffer[c][i]) << shift;
            std::memcpy(out, &v, 4);  // the pipeline is little-endian, as this host
            out += 4;
          }
        break;
    }
    self->FFrameWritten = true;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
  }

  static void Metadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata,
                       void* client) {
    auto* self = static_cast<TFLACIn*>(client);
    if (metadata->type == FLAC__METADATA_TYPE_STREAMINFO) {
      const FLAC__StreamMetadata_StreamInfo& si = metadata->data.stream_info;
      self->FSR = si.sample_rate;
      self->FChan = si.channels;
      self->FStreamBPS = si.bits_per_sample;
      self->FBPS = (si.bits_per_sample + 7) / 8 * 8;
      self->FTotalSamples = static_cast<int64_t>(si.total_samples);
      self->FStreamSamples = self->FTotalSamples;
      self->FSize = static_cast<int64_t>(si.total_samples) * (self->FBPS / 8) * self->FChan;
      self->MinFrameSize = si.min_framesize;
      self->FHaveStreamInfo = si.sample_rate != 0 && si.channels != 0 && si.bits_per_sample != 0;
    } else if (metadata->type == FLAC__METADATA_TYPE_VORBIS_COMMENT) {
      const FLAC__StreamMetadata_VorbisComment& vc = metadata->data.vorbis_comment;
      for (std::string_view key : kCommentKeys) {
        std::u16string value;
        for (uint32_t i = 0; i < vc.num_comments; ++i) {
          const FLAC__StreamMetadata_VorbisComment_Entry& e = vc.comments[i];
          if (e.entry == nullptr) continue;
          // A whole entry is one comment: a value may hold line breaks.
          const std::string_view entry(reinterpret_cast<const char*>(e.entry), e.length);
          const size_t eq = entry.find('=');
          if (eq == std::string_view::npos || !SameKey(entry.substr(0, eq), key)) continue;
          value = Utf8TextToUtf16(entry.substr(eq + 1));
          break;  // the first one wins
        }
        self->FComments->SetValue(key, value);
      }
    }
    self->EndOfMetadata = metadata->is_last;
  }

  static void Error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* client) {
    static_cast<TFLACIn*>(client)->FValid = false;
  }
};

TFLACIn::TFLACIn(TComponent* AOwner)
    : TAuTaggedFileIn(AOwner), FComments(std::make_unique<TVorbisTags>()) {}

TFLACIn::~TFLACIn() {
  try {
    TFLACIn::CloseSource();
  } catch (...) {
  }
}

void TFLACIn::OpenSource() {
  if (!LoadFLACLibrary()) throw EAuException(FLACLibrary().LoadFailureMessage());
  std::lock_guard lock(*OpenCS);
  if (FOpened == 0) {
    FOpened = FOpened + 1;
    Residue = 0;
    if (!FStreamAssigned && FWideFileName.empty()) throw EAuException("File name is not assigned");
    if (!FStreamAssigned) OpenOwnStream();
    // Taken once: every library read asks for the end, and asking the stream costs system
    // calls each time. The position is followed through the callbacks for the same reason.
    FStreamLength = FStream->Size();
    FStreamPos = FStream->Position();
    FValid = true;
    FHaveStreamInfo = false;
    FStreamBPS = 0;
    FBlockSize = 0;
    BytesPerBlock = 0;
    FFrameWritten = false;
    FSeekPending = false;
    FAtEnd = false;
    FStreamSamples = 0;
    FSize = 0;
    _decoder = Api.decoder_new();
    if (_decoder == nullptr) throw EAuException("Failed to initialize the FLAC decoder.");
    if (!Api.set_md5_checking(Decoder(_decoder), FCheckMD5Signature))
      throw EAuException("Internal error 113, please report to Auvane developers");
    FMD5Active = FCheckMD5Signature;
    Api.set_metadata_respond_all(Decoder(_decoder));
    if (Api.init_stream(Decoder(_decoder), &TFLACCallbacks::Read, &TFLACCallbacks::Seek,
                        &TFLACCallbacks::Tell, &TFLACCallbacks::Length, &TFLACCallbacks::Eof,
                        &TFLACCallbacks::Write, &TFLACCallbacks::Metadata, &TFLACCallbacks::Error,
                        this) != FLAC__STREAM_DECODER_INIT_STATUS_OK)
      throw EAuException("Failed to set up the FLAC decoder.");
    FComments->Clear();
    EndOfMetadata = false;
    while (!EndOfMetadata && FValid) {
      if (!Api.process_single(Decoder(_decoder)) ||
          Api.get_state(Decoder(_decoder)) == FLAC__STREAM_DECODER_END_OF_STREAM) {
        FValid = false;
        break;
      }
    }
    Buff.reset();
    BuffSize = 0;
    // The pass divides by the frame size, so a stream without a usable STREAMINFO never
    // counts as valid.
    if (!FHaveStreamInfo) FValid = false;
    if (!FValid) return;
  }
  if (FValid) FillCommonTags();
}

void TFLACIn::FillCommonTags() {
  FCommonTags->Clear();
  FCommonTags->SetArtist(FComments->Artist());
  FCommonTags->SetAlbum(FComments->Album());
  FCommonTags->SetTitle(FComments->Title());
  FCommonTags->SetYear(Utf16ToLatin1(FComments->Date()));
  FCommonTags->SetTrack(Utf16ToLatin1(FComments->Track()));
  FCommonTags->SetGenre(FComments->Genre());
}

void TFLACIn::CloseSource() {
  std::lock_guard lock(*OpenCS);
  if (FOpened <= 0) return;
  if (_decoder != nullptr) {
    // finish() also passes when checking was off; only a check that ran counts.
    const bool matched = Api.finish(Decoder(_decoder));
    FSignatureValid = matched && FMD5Active;
    Api.decoder_delete(Decoder(_decoder));
    _decoder = nullptr;
  }
  Buff.reset();
  BuffSize = 0;
  FFrameWritten = false;
  FSeekPending = false;
  ReleaseSourceStream();
  FOpened = 0;
}

bool TFLACIn::DecoderFinished() {
  if (Api.get_state(Decoder(_decoder)) == FLAC__STREAM_DECODER_END_OF_STREAM || !FValid)
    return true;
  throw EAuException("Error reading FLAC file");
}

void TFLACIn::ProduceData(void*& Buffer, uint32_t& Bytes) {
  if (!Busy) throw EAuException("The Stream is not opened");
  if (BufStart >= BufEnd) {
    BufStart = 0;
    BufEnd = 0;
    if (_decoder == nullptr || FAtEnd) {
      Buffer = nullptr;
      Bytes = 0;
      return;
    }
    FFrameWritten = false;
    for (;;) {
      if (!Api.process_single(Decoder(_decoder))) {
        DecoderFinished();
        Buffer = nullptr;
        Bytes = 0;
        return;
      }
      if (FFrameWritten) break;
      const FLAC__StreamDecoderState state = Api.get_state(Decoder(_decoder));
      // After a reset the decoder reads the metadata again before the first frame.
      if (state == FLAC__STREAM_DECODER_SEARCH_FOR_METADATA ||
          state == FLAC__STREAM_DECODER_READ_METADATA)
        continue;
      if (Buff == nullptr && FStreamPos >= 0 && FStreamPos < FStreamLength)
        throw EAuException("Sinc lost or corrupt data");
      DecoderFinished();
      Buffer = nullptr;
      Bytes = 0;
      return;
    }
    BufEnd = BytesPerBlock;
  }
  if (FSeekPending && BufEnd > 0) {
    // The decoder starts at the requested sample itself; skip whatever lies before it.
    FSeekPending = false;
    const int64_t skip = FSeekTarget - FFrameFirstSample;
    if (skip < 0 || skip * FSampleSize >= BufEnd - BufStart) throw EAuException("Seek failed");
    Residue = static_cast<int32_t>(skip);
    BufStart += static_cast<uint32_t>(skip) * FSampleSize;
    Residue = 0;
  }
  if (FSampleSize != 0) Bytes -= Bytes % FSampleSize;
  Bytes = std::min(Bytes, BufEnd - BufStart);
  Buffer = Buff.get() + BufStart;
  BufStart += Bytes;
}

bool TFLACIn::SeekToSample(int64_t& SampleNum) {
  // A stream that was sought in cannot be verified; the next file is checked again.
  FMD5Active = false;
  BufStart = 0;
  BufEnd = 0;
  FSeekPending = false;
  FAtEnd = false;
  if (_decoder == nullptr || SampleNum < 0) return false;
  if (FStreamSamples > 0 && SampleNum >= FStreamSamples) {
    FAtEnd = true;
    return true;
  }
  FFrameWritten = false;
  if (!Api.seek_absolute(Decoder(_decoder), static_cast<FLAC__uint64>(SampleNum))) {
    // A reset decoder starts again at the first frame; ending the pass is the honest result.
    Api.reset(Decoder(_decoder));
    FAtEnd = true;
    return false;
  }
  // The decoder hands over the frame holding the target while it seeks.
  if (FFrameWritten) BufEnd = BytesPerBlock;
  FSeekTarget = SampleNum;
  FSeekPending = true;
  return true;
}

TVorbisTags* TFLACIn::VorbisComments() {
  OpenSource();
  return FComments.get();
}

}  // namespace tunevert
