#include "winmedia/AuWMAOut.h"

#include <climits>
#include <cstring>
#include <exception>

#include "platform/Exception.h"
#include "platform/Text.h"

namespace tunevert {

TWMAOut::TWMAOut(TComponent* AOwner) : TAuTaggedFileOut(AOwner) {
  // With the runtime absent the list stays empty.
  ListCodecNames(FCodecs);
}

TWMAOut::~TWMAOut() = default;

std::string TWMAOut::GetCodecName(uint16_t Index) const {
  return Index < FCodecs.size() ? FCodecs[Index] : std::string();
}

const std::vector<std::string>& TWMAOut::GetFormats(uint16_t Index) {
  FFormats.clear();
  if (Index < FCodecs.size()) ListCodecFormats(Index, FVBR || FLossless, FFormats);
  return FFormats;
}

uint32_t TWMAOut::GetFormatsCount(uint16_t Index) {
  return static_cast<uint32_t>(GetFormats(Index).size());
}

std::string TWMAOut::GetFormatDesc(uint16_t CodecIndex, uint16_t FormatIndex) {
  const auto& Formats = GetFormats(CodecIndex);
  return FormatIndex < Formats.size() ? Formats[FormatIndex] : std::string();
}

void TWMAOut::ErrorProc(TComponent* Dest, uint32_t /*Reason*/) {
  auto* Self = static_cast<TWMAOut*>(Dest);
  Self->SetExceptionMessage(Self->Writer.FileError != 0 ? Self->FileErrorMessage()
                                                        : "Windows Media output error.");
  Self->ErrorFlag = true;
}

std::string TWMAOut::FileErrorMessage() const {
  return std::string("The output file could not be written: ") + std::strerror(Writer.FileError);
}

void TWMAOut::OpenWriter() {
  WriterOpenFile(Writer, FWideFileName, this, &TWMAOut::ErrorProc);
}

void TWMAOut::CloseWriter() {
  FEndFailed = !WriterCloseFile(Writer);
}

void TWMAOut::PrepareOutput() {
  if (!FUseNetwork && FWideFileName.empty()) throw EAuException("File name is not assigned.");
  ErrorFlag = false;
  FWriting = false;
  FEndFailed = false;
  FInput->Init();
  FInputStarted = true;
  OpenWriter();
  if (!Writer.Initialized) throw Exception("Cannot create file");

  const auto Channels = static_cast<uint16_t>(FInput->Channels());
  const auto Bits = static_cast<uint16_t>(FInput->BitsPerSample());
  const uint32_t Rate = FInput->SampleRate();
  if (FCodecIndex >= 0)
    WriterSetFormat(Writer, Channels, Bits, static_cast<uint32_t>(FFormatIndex),
                    static_cast<uint32_t>(FCodecIndex), FVBR || FLossless, Rate);
  else if (FVBR)
    WriterSetFormatByBitrate(Writer, Channels, Bits, FVBRQuality, true, FLossless, Rate);
  else
    WriterSetFormatByBitrate(Writer, Channels, Bits, FBitrate, false, FLossless, Rate);

  // 80 ms of the input's PCM.
  const uint64_t Size = static_cast<uint64_t>(Channels) * Bits * Rate / 100;
  if (Size == 0 || Size > INT32_MAX) throw EAuException("Unsupported input format");
  BufSize = static_cast<int32_t>(Size);
  Buf = std::make_unique<uint8_t[]>(Size);

  const TId3v2Tags& Tags = *FId3v2Tags;
  if (!Tags.Artist().empty()) WriterSetAuthor(Writer, Tags.Artist());
  if (!Tags.Album().empty()) WriterSetAlbum(Writer, Tags.Album());
  if (!Tags.Genre().empty()) WriterSetGenre(Writer, Tags.Genre());
  if (!Tags.Year().empty()) WriterSetYear(Writer, Latin1ToUtf16(Tags.Year()));
  if (!Tags.Track().empty()) WriterSetTrack(Writer, Latin1ToUtf16(Tags.Track()));
  if (!Tags.Title().empty()) WriterSetTitle(Writer, Tags.Title());
  if (!Tags.Comment().empty()) WriterSetCopyright(Writer, Tags.Comment());

  WriterBegin(Writer);
  FWriting = true;
  EndOfStream = false;
}

bool TWMAOut::OutputBlock(bool Abort) {
  if (ErrorFlag)
    throw EAuException(Writer.FileError != 0 ? FileErrorMessage() : "Windows Media output error");
  if (!CanOutput) return true;
  if (Abort || EndOfStream) return false;
  const uint32_t Got = FInput->FillBuffer(Buf.get(), static_cast<uint32_t>(BufSize), EndOfStream);
  WriterWrite(Writer, Buf.get(), Got);
  return true;
}

void TWMAOut::FinishOutput() {
  // The writer is closed even when the input fails to close, so the file is never left open.
  std::exception_ptr Failure;
  if (FInputStarted) {
    FInputStarted = false;
    try {
      FInput->Flush();
    } catch (...) {
      Failure = std::current_exception();
    }
  }
  // Ending the stream writes the last packets and the final header over the first; a file
  // whose end failed is no file to keep.
  CloseWriter();
  Buf.reset();
  BufSize = 0;
  if (Failure) std::rethrow_exception(Failure);
  if (!FWriting || FUseNetwork) return;
  FWriting = false;
  if (Writer.FileError != 0) throw EAuException(FileErrorMessage());
  if (ErrorFlag) throw EAuException("Windows Media output error.");
  if (FEndFailed) throw EAuException("The WMA encoder could not finish the file");
}

}  // namespace tunevert
