#include "tests/WMTestSupport.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "winmedia/wmfintf.h"

namespace tunevert::testing {

namespace {

// Every test executable of the runtime works with the library built beside it.
class RuntimeEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { LoadWMRuntime(TUNEVERT_WMVCORE_DIR, false); }
  void TearDown() override { UnloadWMRuntime(); }
};
const auto* const Runtime = ::testing::AddGlobalTestEnvironment(new RuntimeEnvironment);

}  // namespace

std::unique_ptr<TMemoryStream> LoadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  EXPECT_TRUE(In) << Path;
  std::vector<char> Bytes((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
  auto Stream = std::make_unique<TMemoryStream>();
  Stream->Write(Bytes.data(), static_cast<int64_t>(Bytes.size()));
  Stream->SetPosition(0);
  return Stream;
}

std::vector<uint8_t> RunTool(const std::string& Command) {
  std::vector<uint8_t> Out;
  FILE* Pipe = popen(Command.c_str(), "r");
  if (!Pipe) return Out;
  uint8_t Chunk[65536];
  size_t Got;
  while ((Got = fread(Chunk, 1, sizeof Chunk, Pipe)) > 0) Out.insert(Out.end(), Chunk, Chunk + Got);
  EXPECT_EQ(pclose(Pipe), 0) << Command;
  return Out;
}

std::vector<uint8_t> FfmpegDecode(const std::string& Path, const std::string& Format,
                                  const std::string& ExtraArgs) {
  auto Out =
      RunTool("ffmpeg -nostdin -v error -i '" + Path + "' " + ExtraArgs + " -f " + Format + " -");
  EXPECT_FALSE(Out.empty()) << "ffmpeg decoded nothing from " << Path;
  return Out;
}

std::vector<uint8_t> ReadAll(wma_sync_reader& Reader, uint32_t Block) {
  std::vector<uint8_t> All;
  for (int Guard = 0; Guard < 1000000; ++Guard) {
    void* Buffer = nullptr;
    uint32_t Bytes = Block;
    SyncReaderGetData(Reader, Buffer, Bytes);
    if (Bytes == 0) break;
    EXPECT_LE(Bytes, Block);
    const auto* P = static_cast<const uint8_t*>(Buffer);
    All.insert(All.end(), P, P + Bytes);
  }
  return All;
}

int32_t RuntimeLiveObjects() {
  void* Handle = dlopen(WMRuntimePath().c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!Handle) return -1;
  auto Count = reinterpret_cast<TTvWMLiveObjects>(dlsym(Handle, "TvWMLiveObjects"));
  const int32_t Live = Count ? Count() : -1;
  dlclose(Handle);
  return Live;
}

std::vector<uint8_t> ReadInput(TAuInput& In, uint32_t Block) {
  std::vector<uint8_t> All;
  In.Init();
  const uint32_t Frame = In.Channels() * In.BitsPerSample() / 8;
  for (int Guard = 0; Guard < 1000000; ++Guard) {
    void* Buffer = nullptr;
    uint32_t Bytes = Block;
    In.GetData(Buffer, Bytes);
    if (Bytes == 0) break;
    EXPECT_LE(Bytes, Block);
    EXPECT_EQ(Bytes % Frame, 0u) << "a block split a frame";
    const auto* P = static_cast<const uint8_t*>(Buffer);
    All.insert(All.end(), P, P + Bytes);
  }
  return All;
}

}  // namespace tunevert::testing
