// The engine's side of the tag library. Its binding lives in libtvtaglib.so, mapped when the
// first file's tags are read or written: mapping the library (and the C++ run-time parts it
// starts) was about a sixth of a short conversion. Files whose structure shows no tags never
// load it.
#include "tags/TagLibModule.h"

#include <dlfcn.h>

#include <cstring>
#include <filesystem>
#include <mutex>

#include "pipeline/FormatSpec.h"
#include "platform/AuFileStream.h"
#include "platform/Exception.h"
#include "platform/LittleEndian.h"
#include "platform/RuntimeModule.h"
#include "platform/Text.h"
#include "wav/WaveScan.h"

namespace tunevert {

namespace {

struct TTagModule {
  TTvReadCarriedTags Read = nullptr;
  TTvWriteCarriedTags Write = nullptr;
};

std::mutex gModuleLock;
std::string gModuleFolder;  // "" = the program's folder, then the linker's search
bool gLookedFor = false;
TTagModule gModule;

TTagModule TagModule() {
  std::lock_guard lock(gModuleLock);
  if (!gLookedFor) {
    gLookedFor = true;
    // A folder given by SetTagModuleFolder is looked in alone.
    const bool standardSearch = gModuleFolder.empty();
    for (const std::string& path :
         RuntimeModulePaths(kTagModuleName, gModuleFolder, standardSearch)) {
      // Never unmapped: the tag library keeps static state for the life of the process.
      void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
      if (handle == nullptr) continue;
      gModule.Read = reinterpret_cast<TTvReadCarriedTags>(dlsym(handle, "TvReadCarriedTags"));
      gModule.Write = reinterpret_cast<TTvWriteCarriedTags>(dlsym(handle, "TvWriteCarriedTags"));
      if (gModule.Read != nullptr && gModule.Write != nullptr) break;
      gModule = {};
    }
  }
  if (gModule.Read == nullptr)
    throw EAuException(std::string(kTagModuleName) + " library could not be loaded.");
  return gModule;
}

bool ReadAt(TStream& S, int64_t At, void* Buffer, int64_t Count) {
  return S.Seek(At, TSeekOrigin::soBeginning) == At && S.Read(Buffer, Count) == Count;
}

// The tag library reads a WAV file's tags from its LIST and "id3 " chunks only.
bool WaveMayHoldTags(TStream& S) {
  uint8_t h[12];
  if (!ReadAt(S, 0, h, 12) || !SameChunkId(h, "RIFF") || !SameChunkId(h + 8, "WAVE")) return true;
  const int64_t end = S.Size();
  int64_t pos = 12;
  while (pos + 8 <= end) {
    uint8_t chunk[8];
    if (!ReadAt(S, pos, chunk, 8)) return true;
    if (SameChunkId(chunk, "LIST") || SameChunkId(chunk, "id3 ")) return true;
    const uint32_t size = ReadLE32(chunk + 4);
    pos += 8 + int64_t{size};
    // An odd chunk is usually padded with a zero byte, and then the next id starts after it.
    uint8_t pad = 1;
    if ((size & 1) != 0 && pos < end && ReadAt(S, pos, &pad, 1) && pad == 0) ++pos;
  }
  // A size past the end (a placeholder, a cut file) leaves the rest unknown.
  return pos != end;
}

// Whether a WAV file's "data" chunk is empty. Readers take a size of 0 for "to the end of the
// file", so chunks written after it would be read as sound.
bool WaveWithoutAudio(const std::string& FileName) {
  try {
    TAuFileStream S(Utf8ToUtf16(FileName), 0);
    uint8_t h[12];
    if (!ReadAt(S, 0, h, 12) || !SameChunkId(h, "RIFF") || !SameChunkId(h + 8, "WAVE"))
      return false;
    const int64_t end = S.Size();
    for (int64_t pos = 12; pos + 8 <= end;) {
      uint8_t chunk[8];
      if (!ReadAt(S, pos, chunk, 8)) return false;
      const uint32_t size = ReadLE32(chunk + 4);
      if (SameChunkId(chunk, "data")) return size == 0;
      pos += 8 + int64_t{size} + (size & 1);
    }
  } catch (const std::exception&) {
  }
  return false;
}

// The size of an MP4 file's movie atom, which its tags join; 0 when it is not found. Atom
// sizes are big-endian: 32 bits, or 1 and then 64 bits, or 0 for "to the end of the file".
uint64_t Mp4MovieSize(const std::string& FileName) {
  auto big = [](const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
  };
  try {
    TAuFileStream S(Utf8ToUtf16(FileName), 0);
    const int64_t end = S.Size();
    for (int64_t pos = 0; pos + 8 <= end;) {
      uint8_t h[16];
      if (!ReadAt(S, pos, h, 8)) return 0;
      uint64_t size = big(h, 4);
      if (size == 1 && ReadAt(S, pos + 8, h + 8, 8)) size = big(h + 8, 8);
      if (size == 0) size = static_cast<uint64_t>(end - pos);
      if (std::memcmp(h + 4, "moov", 4) == 0) return size;
      if (size < 8 || size > static_cast<uint64_t>(end - pos)) return 0;
      pos += static_cast<int64_t>(size);
    }
  } catch (const std::exception&) {
  }
  return 0;
}

// A FLAC file's tags are its comment and picture blocks, and ID3 records before or after it.
bool FlacMayHoldTags(TStream& S) {
  uint8_t h[4];
  if (!ReadAt(S, 0, h, 4) || std::memcmp(h, "fLaC", 4) != 0) return true;
  const int64_t end = S.Size();
  int64_t pos = 4;
  for (bool last = false; !last;) {
    uint8_t block[4];
    if (!ReadAt(S, pos, block, 4)) return true;
    last = (block[0] & 0x80) != 0;
    const int type = block[0] & 0x7F;
    const int64_t length = (int64_t{block[1]} << 16) | (int64_t{block[2]} << 8) | block[3];
    if (type == 6) return true;  // a picture
    if (type == 4) {
      uint8_t count[4];
      if (length < 8 || !ReadAt(S, pos + 4, count, 4)) return true;
      const int64_t vendor = ReadLE32(count);
      if (vendor > length - 8 || !ReadAt(S, pos + 8 + vendor, count, 4) || ReadLE32(count) != 0)
        return true;
    }
    pos += 4 + length;
    if (pos > end) return true;
  }
  uint8_t tail[3];
  return end - pos >= 128 && (!ReadAt(S, end - 128, tail, 3) || std::memcmp(tail, "TAG", 3) == 0);
}

// The second packet of an Ogg file's first stream, when the first page holds just the first
// packet, the next pages belong to that stream and the packet stays below Limit bytes;
// empty otherwise.
std::string SecondOggPacket(TStream& S, size_t Limit) {
  std::string packet;
  int64_t pos = 0;
  uint32_t serial = 0;
  for (int page = 0;; ++page) {
    uint8_t h[27];
    uint8_t lacing[255];
    if (!ReadAt(S, pos, h, 27) || std::memcmp(h, "OggS", 4) != 0 ||
        !ReadAt(S, pos + 27, lacing, h[26]))
      return {};
    size_t bodySize = 0;
    for (int i = 0; i < h[26]; ++i) bodySize += lacing[i];
    const int64_t body = pos + 27 + h[26];
    pos = body + static_cast<int64_t>(bodySize);
    if (page == 0) {
      if ((h[5] & 0x02) == 0 || h[26] != 1 || lacing[0] == 255) return {};
      serial = ReadLE32(h + 14);
      continue;
    }
    // Another stream in between, or a page that does not go on with the packet.
    if (ReadLE32(h + 14) != serial || ((h[5] & 0x01) != 0) != !packet.empty()) return {};
    std::string data(bodySize, '\0');
    if (!ReadAt(S, body, data.data(), static_cast<int64_t>(bodySize))) return {};
    size_t at = 0;
    for (int i = 0; i < h[26]; ++i) {
      packet.append(data, at, lacing[i]);
      at += lacing[i];
      if (packet.size() > Limit) return {};
      if (lacing[i] < 255) return packet;
    }
  }
}

// Only the carried fields and pictures of an Ogg Vorbis comment header would be read; the
// encoder's name, which every encoder writes, is not one of them.
bool VorbisMayHoldTags(TStream& S) {
  const std::string packet = SecondOggPacket(S, 1 << 16);
  const auto* p = reinterpret_cast<const uint8_t*>(packet.data());
  size_t at = 7;
  if (packet.size() < at + 8 || packet.compare(0, 7, "\x03vorbis") != 0) return true;
  const uint32_t vendor = ReadLE32(p + at);
  if (vendor > packet.size() - at - 8) return true;
  at += 4 + vendor;
  uint32_t count = ReadLE32(p + at);
  at += 4;
  for (; count > 0; --count) {
    if (packet.size() - at < 4) return true;
    const uint32_t length = ReadLE32(p + at);
    at += 4;
    if (length > packet.size() - at) return true;
    const std::string_view comment(packet.data() + at, length);
    at += length;
    const std::string key = LowerAscii(std::string(comment.substr(0, comment.find('='))));
    if (key != "encoder") return true;
  }
  return false;
}

}  // namespace

void SetTagModuleFolder(const std::string& Folder) {
  std::lock_guard lock(gModuleLock);
  gModuleFolder = Folder;
  gLookedFor = false;
  gModule = {};
}

bool MayHoldTags(TStream& Source, const std::string& Extension) {
  if (Extension == ".wav") return WaveMayHoldTags(Source);
  if (Extension == ".flac") return FlacMayHoldTags(Source);
  if (Extension == ".ogg") return VorbisMayHoldTags(Source);
  return true;
}

bool MayHoldTags(const std::string& FileName) {
  const std::string ext = LowerAscii(FileExtension(FileName));
  if (ext != ".wav" && ext != ".flac" && ext != ".ogg") return true;
  try {
    TAuFileStream stream(Utf8ToUtf16(FileName), 0);
    return MayHoldTags(stream, ext);
  } catch (const std::exception&) {
    return true;  // the tag library says what is wrong with it
  }
}

TCarriedTags ReadCarriedTags(const std::string& FileName) {
  TCarriedTags tags;
  if (!MayHoldTags(FileName)) return tags;
  // Where a format keeps its tags is the registry's to say (".mp4" and ".m4a" files hold
  // iTunes atoms, ".aac" files an ID3v2 tag in front).
  const TFormatSpec* format = FormatForFile(FileName);
  const std::string layout = format == nullptr ? std::string() : format->TagFormat;
  std::string error;
  if (!TagModule().Read(FileName.c_str(), layout.c_str(), &tags, &error)) throw EAuException(error);
  // The gapless record describes the source's own encoding, never an output's.
  tags.Text.erase("ITUNSMPB");
  return tags;
}

TCarriedTags ReadWrittenTags(const std::string& FileName, const std::string& Format) {
  TCarriedTags tags;
  std::string error;
  if (!TagModule().Read(FileName.c_str(), Format.c_str(), &tags, &error)) throw EAuException(error);
  return tags;
}

std::vector<std::string> WriteCarriedTags(const std::string& FileName, const TCarriedTags& AllTags,
                                          const std::string& Format, TCarriedTags* Written) {
  // Fitted here, where the sentences can be returned; the module writes what it is given.
  std::vector<std::string> leftOut;
  std::error_code sizeError;
  std::uintmax_t size = Format == ".wav" ? std::filesystem::file_size(FileName, sizeError) : 0;
  if (Format == ".m4a") size = Mp4MovieSize(FileName);
  TCarriedTags tags = FitCarriedTags(AllTags, Format, leftOut, sizeError ? 0 : size);
  if (Format == ".wav" && !tags.Empty() && WaveWithoutAudio(FileName)) {
    leftOut.push_back(
        "tags left out: in a WAV file without audio, readers would take them for sound");
    tags = {};
  }
  if (Written != nullptr) *Written = tags;
  // Without tags only an MP3 output is touched: its encoder leaves an empty ID3v1 record.
  if (Format != ".mp3" && tags.Empty()) return leftOut;
  std::string error;
  if (!TagModule().Write(FileName.c_str(), &tags, Format.c_str(), &error))
    throw EAuException(error);
  return leftOut;
}

}  // namespace tunevert
