// Files whose structure shows no tags are answered without the tag library: that answer
// must be what the library itself would have found.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "AppTestFiles.h"
#include "platform/RuntimeModule.h"
#include "tags/TagLibModule.h"

using namespace tunevert;
using namespace tunevert::testing;
namespace fs = std::filesystem;

namespace {

const std::string kData = TUNEVERT_TEST_DATA;

// What the tag library reads, asked of the module directly.
bool LibraryFindsTags(const std::string& File) {
  static void* module =
      dlopen((fs::path(ProgramFolder()) / kTagModuleName).c_str(), RTLD_NOW | RTLD_LOCAL);
  static auto read =
      reinterpret_cast<TTvReadCarriedTags>(module ? dlsym(module, "TvReadCarriedTags") : nullptr);
  EXPECT_NE(read, nullptr) << dlerror();
  if (read == nullptr) return true;
  TCarriedTags tags;
  std::string error;
  return read(File.c_str(), "", &tags, &error) && !tags.Empty();
}

TEST(TagPresence, FilesLeftToThemselvesHoldNothingTheLibraryWouldRead) {
  int skipped = 0;
  for (const auto& entry : fs::recursive_directory_iterator(kData)) {
    const std::string file = entry.path().string();
    const std::string ext = entry.path().extension().string();
    if (ext != ".wav" && ext != ".flac" && ext != ".ogg") continue;
    if (MayHoldTags(file)) continue;
    ++skipped;
    EXPECT_FALSE(LibraryFindsTags(file)) << file;
  }
  EXPECT_GT(skipped, 20);  // plain fixtures are most of them
}

TEST(TagPresence, EveryPlaceATagCanSitIsLookedAt) {
  TempDir dir;
  const auto wav = ReadAll(kData + "/wav/pcm16-stereo.wav");
  const auto flac = ReadAll(kData + "/carry/plain.flac");
  ASSERT_FALSE(MayHoldTags(kData + "/wav/pcm16-stereo.wav"));
  ASSERT_FALSE(MayHoldTags(kData + "/carry/plain.flac"));
  ASSERT_FALSE(MayHoldTags(kData + "/vorbis/ch3.ogg"));
  for (const char* tagged :
       {"carry/info.wav", "carry/tagged.wav", "carry/tagged.flac", "wav/list-chunk.wav",
        "wav/odd-bext-and-id3.wav", "wav/odd-list-info-before-data.wav",
        "wav/data-size-placeholder.wav", "carry/tagged.ogg", "vorbis/chained-stereo.ogg"})
    EXPECT_TRUE(MayHoldTags(kData + "/" + tagged)) << tagged;

  // A LIST chunk after the audio, where most writers put it.
  auto listAfter = wav;
  const std::string list("LIST\x0c\0\0\0INFOINAM\0\0\0\0", 20);
  listAfter.insert(listAfter.end(), list.begin(), list.end());
  WriteAll(dir / "list-after.wav", listAfter);
  EXPECT_TRUE(MayHoldTags(dir / "list-after.wav"));
  // FLAC with an ID3v2 record before it or an ID3v1 record after it.
  auto id3v2 = flac;
  const std::string header("ID3\x04\0\0\0\0\0\0", 10);
  id3v2.insert(id3v2.begin(), header.begin(), header.end());
  WriteAll(dir / "id3v2.flac", id3v2);
  EXPECT_TRUE(MayHoldTags(dir / "id3v2.flac"));
  auto id3v1 = flac;
  std::string record(128, '\0');
  record.replace(0, 3, "TAG");
  id3v1.insert(id3v1.end(), record.begin(), record.end());
  WriteAll(dir / "id3v1.flac", id3v1);
  EXPECT_TRUE(MayHoldTags(dir / "id3v1.flac"));
  // Cut short, the rest of the file is unknown.
  WriteAll(dir / "cut.wav", std::vector<uint8_t>(wav.begin(), wav.end() - 3));
  EXPECT_TRUE(MayHoldTags(dir / "cut.wav"));
}

}  // namespace
