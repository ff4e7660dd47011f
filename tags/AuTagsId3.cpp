// The ID3v1 and ID3v2 byte formats of TId3v1Tags and TId3v2Tags.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/Text.h"
#include "tags/AuTags.h"

namespace tunevert {

static_assert(sizeof(off_t) == 8, "tag code needs 64-bit file positions");

namespace {

constexpr int64_t Id3v1BlockSize = 128;
constexpr int64_t Id3v2HeaderSize = 10;
constexpr uint32_t SynchSafeMax = 0x0FFFFFFF;
constexpr int64_t MoveChunk = 1 << 20;

using TId3v1Block = std::array<uint8_t, Id3v1BlockSize>;
using TId3v2Header = std::array<uint8_t, Id3v2HeaderSize>;

int64_t CurrentPosition(int File) {
  return lseek(File, 0, SEEK_CUR);
}

bool MoveTo(int File, int64_t Position) {
  return Position >= 0 && lseek(File, Position, SEEK_SET) == Position;
}

int64_t FileSize(int File) {
  struct stat st {};
  return fstat(File, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

// Reads up to Count bytes at the current position; returns how many arrived.
int64_t ReadUpTo(int File, void* Buffer, int64_t Count) {
  auto* p = static_cast<uint8_t*>(Buffer);
  int64_t done = 0;
  while (done < Count) {
    const ssize_t n = ::read(File, p + done, static_cast<size_t>(Count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

bool ReadAt(int File, int64_t Offset, void* Buffer, int64_t Count) {
  auto* p = static_cast<uint8_t*>(Buffer);
  int64_t done = 0;
  while (done < Count) {
    const ssize_t n = ::pread(File, p + done, static_cast<size_t>(Count - done), Offset + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

bool WriteAt(int File, int64_t Offset, const void* Buffer, int64_t Count) {
  const auto* p = static_cast<const uint8_t*>(Buffer);
  int64_t done = 0;
  while (done < Count) {
    const ssize_t n = ::pwrite(File, p + done, static_cast<size_t>(Count - done), Offset + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

// Moves the file position back to where it was, however the scope is left.
class TPositionRestorer {
 public:
  TPositionRestorer(int File, int64_t Position) : FFile(File), FPosition(Position) {}
  TPositionRestorer(const TPositionRestorer&) = delete;
  TPositionRestorer& operator=(const TPositionRestorer&) = delete;
  ~TPositionRestorer() { MoveTo(FFile, FPosition); }

 private:
  int FFile;
  int64_t FPosition;
};

bool ReadId3v1Block(int File, TId3v1Block& Block) {
  if (lseek(File, -Id3v1BlockSize, SEEK_END) < 0) return false;
  return ReadUpTo(File, Block.data(), Id3v1BlockSize) == Id3v1BlockSize &&
         std::memcmp(Block.data(), "TAG", 3) == 0;
}

// A fixed-width ID3v1 field: up to its first zero byte, blanks and control bytes trimmed.
std::string FieldText(const uint8_t* Field, size_t Width) {
  const auto* end = std::find(Field, Field + Width, 0);
  std::string_view text(reinterpret_cast<const char*>(Field), static_cast<size_t>(end - Field));
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

void PutField(TId3v1Block& Block, size_t Offset, const std::string& Text, size_t Width) {
  std::memcpy(Block.data() + Offset, Text.data(), std::min(Text.size(), Width));
}

bool ValidId3v2Header(const TId3v2Header& Header) {
  if (std::memcmp(Header.data(), "ID3", 3) != 0 || Header[4] == 0xFF) return false;
  const uint8_t version = Header[3];
  const uint8_t flags = Header[5];
  const bool flagsFit = (version == 2 && (flags & 0x3F) == 0) ||
                        (version == 3 && (flags & 0x1F) == 0) ||
                        (version == 4 && (flags & 0x0F) == 0);
  return flagsFit && Header[6] < 0x80 && Header[7] < 0x80 && Header[8] < 0x80 && Header[9] < 0x80;
}

bool CheckId3v2Header(int File, TId3v2Header& Header) {
  return ReadUpTo(File, Header.data(), Id3v2HeaderSize) == Id3v2HeaderSize &&
         ValidId3v2Header(Header);
}

uint32_t SynchSafe(const uint8_t* p) {
  return (uint32_t{p[0] & 0x7Fu} << 21) | (uint32_t{p[1] & 0x7Fu} << 14) |
         (uint32_t{p[2] & 0x7Fu} << 7) | uint32_t{p[3] & 0x7Fu};
}

void PutSynchSafe(uint8_t* p, uint32_t Value) {
  p[0] = static_cast<uint8_t>((Value >> 21) & 0x7F);
  p[1] = static_cast<uint8_t>((Value >> 14) & 0x7F);
  p[2] = static_cast<uint8_t>((Value >> 7) & 0x7F);
  p[3] = static_cast<uint8_t>(Value & 0x7F);
}

// Header, body and footer.
int64_t Id3v2TagSize(const TId3v2Header& Header) {
  return int64_t{SynchSafe(Header.data() + 6)} + Id3v2HeaderSize +
         ((Header[5] & 0x10) != 0 ? Id3v2HeaderSize : 0);
}

uint32_t BigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

bool FrameIdByte(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The length of the tag at the start of the file, when its frames, its zero padding and its
// footer account for every byte the header claims; 0 when they do not. The claimed size is
// only a claim: a rewrite that trusted an overstated one would delete the audio after it.
int64_t VerifiedId3v2Size(int File, int64_t FileLength, const TId3v2Header& Header) {
  const uint8_t version = Header[3];
  const uint8_t flags = Header[5];
  const int64_t bodyEnd = Id3v2HeaderSize + SynchSafe(Header.data() + 6);
  const bool footer = version == 4 && (flags & 0x10) != 0;
  const int64_t tagEnd = bodyEnd + (footer ? Id3v2HeaderSize : 0);
  if (tagEnd > FileLength) return 0;
  // Unsynchronised (2, 3) or compressed (2) tags do not walk by their frame sizes.
  if (version < 4 && (flags & 0x80) != 0) return 0;
  if (version == 2 && (flags & 0x40) != 0) return 0;
  int64_t at = Id3v2HeaderSize;
  if ((flags & 0x40) != 0) {
    uint8_t ext[4];
    if (!ReadAt(File, at, ext, 4)) return 0;
    // Version 3 does not count the size field itself, version 4 does and is synch-safe.
    int64_t extSize = int64_t{BigEndian32(ext)} + 4;
    if (version == 4) {
      if ((ext[0] | ext[1] | ext[2] | ext[3]) >= 0x80) return 0;
      extSize = SynchSafe(ext);
    }
    if (extSize < 6 || extSize > bodyEnd - at) return 0;
    at += extSize;
  }
  const int64_t frameHeader = version == 2 ? 6 : 10;
  const int idLength = version == 2 ? 3 : 4;
  while (bodyEnd - at >= frameHeader) {
    uint8_t h[10];
    if (!ReadAt(File, at, h, frameHeader)) return 0;
    if (h[0] == 0) break;  // padding
    for (int i = 0; i < idLength; ++i)
      if (!FrameIdByte(h[i])) return 0;
    const uint8_t* sz = h + idLength;
    int64_t size = 0;
    if (version == 2) {
      size = (int64_t{sz[0]} << 16) | (int64_t{sz[1]} << 8) | sz[2];
    } else if (version == 3) {
      size = BigEndian32(sz);
    } else {
      if ((sz[0] | sz[1] | sz[2] | sz[3]) >= 0x80) return 0;
      size = SynchSafe(sz);
    }
    at += frameHeader;
    if (size > bodyEnd - at) return 0;
    at += size;
  }
  std::vector<uint8_t> chunk(static_cast<size_t>(std::min<int64_t>(bodyEnd - at, 1 << 16)));
  while (at < bodyEnd) {
    const auto n = static_cast<int64_t>(std::min<int64_t>(bodyEnd - at, 1 << 16));
    if (!ReadAt(File, at, chunk.data(), n)) return 0;
    if (std::any_of(chunk.begin(), chunk.begin() + n, [](uint8_t b) { return b != 0; })) return 0;
    at += n;
  }
  if (footer) {
    // The footer repeats the header with its id reversed.
    TId3v2Header foot;
    if (!ReadAt(File, bodyEnd, foot.data(), Id3v2HeaderSize) ||
        std::memcmp(foot.data(), "3DI", 3) != 0 ||
        std::memcmp(foot.data() + 3, Header.data() + 3, Id3v2HeaderSize - 3) != 0)
      return 0;
  }
  return tagEnd;
}

// Puts Tag at offset 0 in place of the first OldTagSize bytes; the rest of the file moves.
bool ReplaceFileStart(int File, int64_t FileLength, int64_t OldTagSize,
                      const std::vector<uint8_t>& Tag) {
  const int64_t newTagSize = static_cast<int64_t>(Tag.size());
  const int64_t content = FileLength - OldTagSize;
  const int64_t shift = newTagSize - OldTagSize;
  std::vector<uint8_t> chunk(static_cast<size_t>(std::min(content, MoveChunk)));
  if (shift > 0) {
    if (ftruncate(File, FileLength + shift) != 0) return false;
    // Growing: move from the end down so no byte is overwritten before it is copied.
    for (int64_t left = content; left > 0;) {
      const int64_t n = std::min(left, MoveChunk);
      const int64_t from = OldTagSize + left - n;
      if (!ReadAt(File, from, chunk.data(), n) || !WriteAt(File, from + shift, chunk.data(), n))
        return false;
      left -= n;
    }
  } else if (shift < 0) {
    for (int64_t done = 0; done < content;) {
      const int64_t n = std::min(content - done, MoveChunk);
      if (!ReadAt(File, OldTagSize + done, chunk.data(), n) ||
          !WriteAt(File, newTagSize + done, chunk.data(), n))
        return false;
      done += n;
    }
    if (ftruncate(File, FileLength + shift) != 0) return false;
  }
  return WriteAt(File, 0, Tag.data(), newTagSize);
}

}  // namespace

bool TId3v1Tags::Presents(int InFile) {
  if (InFile < 0) return false;
  const int64_t position = CurrentPosition(InFile);
  if (position < 0) return false;
  TPositionRestorer restore(InFile, position);
  TId3v1Block block;
  return ReadId3v1Block(InFile, block);
}

bool TId3v1Tags::ReadFromFile(int InFile) {
  if (!TAuTags::ReadFromFile(InFile)) return false;
  TId3v1Block block;
  if (!ReadId3v1Block(InFile, block)) return false;
  SetTitle(FieldText(block.data() + 3, 30));
  SetArtist(FieldText(block.data() + 33, 30));
  SetAlbum(FieldText(block.data() + 63, 30));
  SetYear(static_cast<uint16_t>(ParseInt32(FieldText(block.data() + 93, 4)).value_or(0)));
  // ID3v1.1 keeps the track in the last two comment bytes: a zero (or, from some writers,
  // a space) followed by the number.
  const bool v11 = (block[125] == 0 && block[126] != 0) || (block[125] == ' ' && block[126] != ' ');
  if (v11) {
    SetComment(FieldText(block.data() + 97, 28));
    SetTrack(block[126]);
  } else {
    SetComment(FieldText(block.data() + 97, 30));
    SetTrack(0);
  }
  SetGenreId(block[127]);
  return true;
}

bool TId3v1Tags::WriteToFile(int OutFile, bool /*Unicode*/) {
  if (OutFile < 0) return false;
  const int64_t end = lseek(OutFile, 0, SEEK_END);
  if (end < 0) return false;

  TId3v1Block block{};
  std::memcpy(block.data(), "TAG", 3);
  PutField(block, 3, Title(), 30);
  PutField(block, 33, Artist(), 30);
  PutField(block, 63, Album(), 30);
  PutField(block, 93, std::to_string(Year()), 4);
  if (Track() != 0) {
    PutField(block, 97, Comment(), 28);
    block[125] = 0;
    block[126] = Track();
  } else {
    PutField(block, 97, Comment(), 30);
  }
  block[127] = GenreId();

  // A block already at the end is overwritten: a second one would leave the first as junk
  // after the audio.
  TId3v1Block old;
  int64_t at = end;
  if (end >= Id3v1BlockSize && ReadAt(OutFile, end - Id3v1BlockSize, old.data(), Id3v1BlockSize) &&
      std::memcmp(old.data(), "TAG", 3) == 0)
    at = end - Id3v1BlockSize;
  const bool written = WriteAt(OutFile, at, block.data(), Id3v1BlockSize);
  lseek(OutFile, 0, SEEK_END);
  return written;
}

bool TId3v2Tags::Presents(int InFile) {
  if (InFile < 0) return false;
  const int64_t position = CurrentPosition(InFile);
  if (position < 0) return false;
  TPositionRestorer restore(InFile, position);
  TId3v2Header header;
  return CheckId3v2Header(InFile, header);
}

bool TId3v2Tags::ReadFromFile(int InFile) {
  if (!TAuTags::ReadFromFile(InFile)) return false;
  const int64_t start = CurrentPosition(InFile);
  if (start < 0) return false;
  TId3v2Header header;
  if (!CheckId3v2Header(InFile, header)) return false;
  FNew = header[3] != 2;
  const int64_t tagSize = Id3v2TagSize(header);
  TPositionRestorer skipTag(InFile, start + tagSize);
  ReadFrames(InFile, header[3], tagSize);
  return true;
}

void TId3v2Tags::ReadFrames(int InFile, uint8_t Version, int64_t TagSize) {
  const int64_t first = CurrentPosition(InFile);
  if (first < 0) return;
  const int64_t end = first - Id3v2HeaderSize + TagSize;
  // A tag claiming more than the file holds is not read at all.
  const int64_t fileSize = FileSize(InFile);
  if (fileSize < 0 || fileSize < end) return;

  const int64_t headerSize = Version == 2 ? 6 : 10;
  const size_t idLength = Version == 2 ? 3 : 4;
  std::vector<uint8_t> body;
  for (int64_t r = first; r < end;) {
    uint8_t frameHeader[10];
    const int64_t got = ReadUpTo(InFile, frameHeader, headerSize);
    r += got;
    // Padding, or anything else that is not a frame id, ends the frame list.
    if (got != headerSize || frameHeader[0] < 'A' || frameHeader[0] > 'Z' || r >= end) return;
    const uint8_t* s = frameHeader + idLength;
    int64_t size = 0;
    if (Version == 2)
      size = (int64_t{s[0]} << 16) | (int64_t{s[1]} << 8) | s[2];
    else if (Version == 3)
      size = (int64_t{s[0]} << 24) | (int64_t{s[1]} << 16) | (int64_t{s[2]} << 8) | s[3];
    else
      size = SynchSafe(s);
    if (size == 0) continue;
    if (size > end - r) return;  // runs past the tag
    body.assign(static_cast<size_t>(size), 0);
    const int64_t n = ReadUpTo(InFile, body.data(), size);
    r += n;
    if (n != size) return;
    StoreId3v2Frame(std::string_view(reinterpret_cast<const char*>(frameHeader), idLength), body);
  }
}

void TId3v2Tags::StoreId3v2Frame(std::string_view FrameId, std::span<const uint8_t> Body) {
  for (int row = 0; row < FrameRows; ++row) {
    const char* id = Id(row);
    if (FrameId != id) continue;
    if (row == CommentRow || Body.empty()) return;
    const std::span<const uint8_t> text = Body.subspan(1);
    switch (Body[0]) {
      case 0: {
        const auto end = std::find(text.begin(), text.end(), 0);
        SetValue(id, std::string(text.begin(), end));
        return;
      }
      case 1: {
        size_t at = 0;
        bool bigEndian = false;
        if (text.size() >= 2 && text[0] == 0xFF && text[1] == 0xFE) {
          at = 2;
        } else if (text.size() >= 2 && text[0] == 0xFE && text[1] == 0xFF) {
          // Encoding 1 allows either byte order; the mark says which.
          at = 2;
          bigEndian = true;
        }
        std::u16string wide;
        for (; at < text.size(); at += 2) {
          const uint8_t a = text[at];
          const uint8_t b = at + 1 < text.size() ? text[at + 1] : 0;
          const auto unit = static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
          if (unit == 0) break;
          wide.push_back(unit);
        }
        SetValue(id, std::move(wide));
        return;
      }
      case 3: {
        const auto end = std::find(text.begin(), text.end(), 0);
        SetValue(id, Utf8TextToUtf16(std::string_view(reinterpret_cast<const char*>(text.data()),
                                                      static_cast<size_t>(end - text.begin()))));
        return;
      }
      default:  // UTF-16BE without a mark and unknown encodings are not read
        return;
    }
  }
}

bool TId3v2Tags::WriteToFile(int OutFile, bool Unicode) {
  if (OutFile < 0) return false;

  std::vector<uint8_t> tag(Id3v2HeaderSize, 0);
  for (int row = 0; row < FrameRows; ++row) {
    if (row == CommentRow) continue;
    const char* id = FrameIds[row].second;
    const TVariant value = GetValue(id);
    uint8_t encoding = 0;
    std::string text;
    if (Unicode && value.IsWide()) {
      encoding = 3;
      text = Utf16ToUtf8(std::get<std::u16string>(value.Data()));
    } else {
      text = AsString(id);
    }
    if (text.empty()) continue;
    if (text.size() >= SynchSafeMax) return false;
    uint8_t frameHeader[10] = {};
    std::memcpy(frameHeader, id, 4);
    PutSynchSafe(frameHeader + 4, static_cast<uint32_t>(text.size() + 1));
    tag.insert(tag.end(), frameHeader, frameHeader + 10);
    tag.push_back(encoding);
    tag.insert(tag.end(), text.begin(), text.end());
  }
  // Zero padding to a multiple of 16 bytes, always at least one byte.
  tag.resize(tag.size() + 16 - tag.size() % 16, 0);
  const int64_t bodySize = static_cast<int64_t>(tag.size()) - Id3v2HeaderSize;
  if (bodySize > SynchSafeMax) return false;
  std::memcpy(tag.data(), "ID3\x04\x00\x00", 6);
  PutSynchSafe(tag.data() + 6, static_cast<uint32_t>(bodySize));

  const int64_t fileLength = FileSize(OutFile);
  if (fileLength < 0) return false;
  // An ID3v2 tag already at the start is replaced, so no stale tag stays before the audio;
  // one whose end cannot be verified stays, behind the new one.
  int64_t oldTagSize = 0;
  TId3v2Header old;
  if (fileLength >= Id3v2HeaderSize) {
    if (!ReadAt(OutFile, 0, old.data(), Id3v2HeaderSize)) return false;
    if (ValidId3v2Header(old)) oldTagSize = VerifiedId3v2Size(OutFile, fileLength, old);
  }
  const bool written = ReplaceFileStart(OutFile, fileLength, oldTagSize, tag);
  lseek(OutFile, 0, SEEK_END);
  return written;
}

}  // namespace tunevert
