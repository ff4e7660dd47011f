// The reader routines over the real runtime library and the committed fixtures; decoded
// audio is compared with what the ffmpeg tool decodes from the same files.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "platform/Exception.h"
#include "tests/WMTestSupport.h"
#include "winmedia/libwma1.h"

using namespace tunevert;
using namespace tunevert::testing;
namespace fs = std::filesystem;

namespace {

// An open reader over a fixture, closed (and checked for leaked references) at the end.
class OpenFile {
 public:
  explicit OpenFile(const std::string& Name, bool HighPrecision = false, int8_t Request = 0)
      : Stream(LoadFile(WMFixture(Name))) {
    SyncReaderOpen(Reader, Stream.get(), HighPrecision, Request);
  }
  ~OpenFile() {
    SyncReaderClose(Reader);
    EXPECT_EQ(RuntimeLiveObjects(), 0) << "a runtime reference was not released";
  }
  std::unique_ptr<TMemoryStream> Stream;
  wma_sync_reader Reader;
};

double ProbeDuration(const std::string& Path) {
  auto Out = RunTool("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + Path + "'");
  return std::atof(std::string(Out.begin(), Out.end()).c_str());
}

TEST(WMRuntimeLoader, LoadsFromTheProgramFolderAndFromItsInstalledFolder) {
  ASSERT_TRUE(WMRuntimeLoaded());
  EXPECT_NE(WMCreateSyncReader, nullptr);

  // An installed tree in miniature: bin/ and the private library folder beside it.
  const fs::path Root = fs::temp_directory_path() / ("tv-wm-" + std::to_string(getpid()));
  const fs::path Installed = (Root / "bin" / WMRuntimeInstallFolder).lexically_normal();
  const fs::path Inside = Installed.lexically_relative(Root);
  ASSERT_FALSE(Inside.empty() || *Inside.begin() == ".." || *Inside.begin() == "bin") << Installed;
  EXPECT_EQ(Installed.filename(), "tunevert");
  fs::create_directories(Root / "bin");
  fs::create_directories(Installed);
  fs::copy_file(WMRuntimePath(), Installed / WMRuntimeLibraryName);
  UnloadWMRuntime();
  EXPECT_FALSE(WMRuntimeLoaded());
  EXPECT_EQ(WMCreateSyncReader, nullptr);

  LoadWMRuntime((Root / "bin").string(), false);
  EXPECT_TRUE(WMRuntimeLoaded());
  EXPECT_EQ(fs::path(WMRuntimePath()).lexically_normal(), Installed / WMRuntimeLibraryName);
  {
    OpenFile File("wmav2-stereo-44100.wma");
    EXPECT_TRUE(File.Reader.has_audio);
  }
  UnloadWMRuntime();
  fs::remove_all(Root);
  LoadWMRuntime(TUNEVERT_WMVCORE_DIR, false);
  EXPECT_TRUE(WMRuntimeLoaded());
}

TEST(WMRuntimeLoader, MissingRuntimeLeavesTheReaderClosed) {
  const fs::path Empty = fs::temp_directory_path() / ("tv-wm-empty-" + std::to_string(getpid()));
  fs::create_directories(Empty);
  UnloadWMRuntime();
  LoadWMRuntime(Empty.string(), false);
  EXPECT_FALSE(WMRuntimeLoaded());
  EXPECT_EQ(WMCreateSyncReader, nullptr);
  auto Stream = LoadFile(WMFixture("wmav2-stereo-44100.wma"));
  wma_sync_reader Reader;
  SyncReaderOpen(Reader, Stream.get(), false, 0);
  EXPECT_FALSE(Reader.reader);
  EXPECT_FALSE(Reader.has_audio);
  EXPECT_TRUE(ReadAll(Reader).empty());
  EXPECT_EQ(SyncReaderFormatCount(Reader, false), 0u);
  EXPECT_EQ(SyncReaderTextAttribute(Reader, u"Title"), u"");
  SyncReaderClose(Reader);
  fs::remove_all(Empty);
  LoadWMRuntime(TUNEVERT_WMVCORE_DIR, false);
  ASSERT_TRUE(WMRuntimeLoaded());
}

TEST(WMRuntimeLoader, ADeferredRuntimeLoadsAtItsFirstUse) {
  UnloadWMRuntime();
  DeferWMRuntime(TUNEVERT_WMVCORE_DIR, false);
  EXPECT_FALSE(WMRuntimeLoaded());
  ASSERT_NE(WMCreateSyncReader, nullptr);
  {
    OpenFile File("wmav2-stereo-44100.wma");
    EXPECT_TRUE(WMRuntimeLoaded());
    EXPECT_TRUE(File.Reader.has_audio);
    EXPECT_FALSE(ReadAll(File.Reader).empty());
  }
  TInterfaceRef<IWMProfileManager> Manager;
  EXPECT_EQ(WMCreateProfileManager(Manager.Receive()), S_OK);
  EXPECT_TRUE(Manager);
  Manager.Clear();
  UnloadWMRuntime();
  EXPECT_EQ(WMCreateSyncReader, nullptr);
  LoadWMRuntime(TUNEVERT_WMVCORE_DIR, false);
  ASSERT_TRUE(WMRuntimeLoaded());
}

TEST(WMRuntimeLoader, ADeferredRuntimeThatIsMissingFailsEachCallAndRetries) {
  const fs::path Empty = fs::temp_directory_path() / ("tv-wm-defer-" + std::to_string(getpid()));
  fs::create_directories(Empty);
  UnloadWMRuntime();
  DeferWMRuntime(Empty.string(), false);
  auto Stream = LoadFile(WMFixture("wmav2-stereo-44100.wma"));
  wma_sync_reader Reader;
  SyncReaderOpen(Reader, Stream.get(), false, 0);
  EXPECT_FALSE(Reader.reader);
  TInterfaceRef<IWMWriter> Writer;
  EXPECT_EQ(WMCreateWriter(nullptr, Writer.Receive()), E_FAIL);
  EXPECT_FALSE(WMRuntimeLoaded());
  // Once the library turns up, the next call finds it.
  fs::copy_file(fs::path(TUNEVERT_WMVCORE_DIR) / WMRuntimeLibraryName,
                Empty / WMRuntimeLibraryName);
  SyncReaderOpen(Reader, Stream.get(), false, 0);
  EXPECT_TRUE(Reader.has_audio);
  EXPECT_TRUE(WMRuntimeLoaded());
  SyncReaderClose(Reader);
  UnloadWMRuntime();
  fs::remove_all(Empty);
  LoadWMRuntime(TUNEVERT_WMVCORE_DIR, false);
  ASSERT_TRUE(WMRuntimeLoaded());
}

TEST(WMRuntimeLoader, AReaderReleasedAfterTheUnloadDoesNotCrash) {
  {
    OpenFile File("mp3-vbr-mono-22050.mp3");
    ASSERT_TRUE(File.Reader.has_audio);
    UnloadWMRuntime();
    EXPECT_FALSE(ReadAll(File.Reader).empty());
    SyncReaderClose(File.Reader);
    LoadWMRuntime(TUNEVERT_WMVCORE_DIR, false);
  }
  EXPECT_TRUE(WMRuntimeLoaded());
}

struct DecodeCase {
  const char* File;
  int Channels;
  int Rate;
};

class DecodesLikeFfmpeg : public ::testing::TestWithParam<DecodeCase> {};

// Same decoder underneath: every sample must match.
TEST_P(DecodesLikeFfmpeg, SameSamplesAndFormat) {
  const DecodeCase& Case = GetParam();
  OpenFile File(Case.File);
  ASSERT_TRUE(File.Reader.reader);
  ASSERT_TRUE(File.Reader.has_audio);
  EXPECT_FALSE(File.Reader._protected);
  uint16_t Channels, Bits;
  uint32_t Rate;
  SyncReaderGetFormat(File.Reader, Channels, Bits, Rate);
  EXPECT_EQ(Channels, Case.Channels);
  EXPECT_EQ(Rate, static_cast<uint32_t>(Case.Rate));
  EXPECT_EQ(Bits, 16);
  const auto Ours = ReadAll(File.Reader, 3000);
  const auto Theirs = FfmpegDecode(WMFixture(Case.File));
  ASSERT_EQ(Ours.size(), Theirs.size());
  EXPECT_TRUE(Ours == Theirs);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DecodesLikeFfmpeg,
                         ::testing::Values(DecodeCase{"wmav2-stereo-44100.wma", 2, 44100},
                                           DecodeCase{"wmav2-stereo-48000.wma", 2, 48000},
                                           DecodeCase{"wmav1-mono-22050.wma", 1, 22050},
                                           DecodeCase{"mp3-cbr-stereo-44100.mp3", 2, 44100},
                                           DecodeCase{"mp3-vbr-mono-22050.mp3", 1, 22050},
                                           DecodeCase{"mp3-with-cover.mp3", 1, 22050},
                                           DecodeCase{"eight-channels-8000.flac", 8, 8000},
                                           DecodeCase{"stereo-24bit-8000.flac", 2, 8000}),
                         [](const auto& Info) {
                           std::string Name = Info.param.File;
                           for (char& C : Name)
                             if (!std::isalnum(static_cast<unsigned char>(C))) C = '_';
                           return Name;
                         });

TEST(WMFormatChoice, HighPrecisionTakesTheWideFormatOnlyWhenTheSourceHasIt) {
  {
    OpenFile File("stereo-24bit-8000.flac", false);
    EXPECT_EQ(File.Reader.BitsPerSample, 16);
    EXPECT_EQ(SyncReaderFormatCount(File.Reader, false), 1u);
  }
  {
    OpenFile File("stereo-24bit-8000.flac", true);
    ASSERT_TRUE(File.Reader.has_audio);
    EXPECT_EQ(File.Reader.BitsPerSample, 24);
    EXPECT_EQ(File.Reader.channels, 2);
    EXPECT_EQ(File.Reader.SampleRate, 8000);
    ASSERT_EQ(SyncReaderFormatCount(File.Reader, true), 2u);
    const TWMAFormatSpec Spec = SyncReaderFormatSpec(File.Reader, true, 1);
    EXPECT_EQ(Spec.BitsPerSample, 24u);
    EXPECT_EQ(Spec.Channels, 2u);
    EXPECT_EQ(Spec.SampleRate, 8000u);
    EXPECT_TRUE(ReadAll(File.Reader) == FfmpegDecode(WMFixture("stereo-24bit-8000.flac"), "s24le"));
  }
  {
    OpenFile File("wmav2-stereo-44100.wma", true);
    EXPECT_EQ(File.Reader.BitsPerSample, 16);
    EXPECT_EQ(SyncReaderFormatCount(File.Reader, true), 1u);
  }
}

TEST(WMFormatChoice, MostAvailableTakesTheWidest) {
  OpenFile File("stereo-24bit-8000.flac", true, ChannelRequest(TChannelsNumber::cnMaxAvailable));
  ASSERT_TRUE(File.Reader.has_audio);
  EXPECT_EQ(File.Reader.BitsPerSample, 24);
  EXPECT_EQ(File.Reader.channels, 2);
}

TEST(WMFormatChoice, SixOrEightChannelsOnAStereoFileFindNothing) {
  for (TChannelsNumber Request : {TChannelsNumber::cn5dot1, TChannelsNumber::cn7dot1}) {
    OpenFile File("wmav2-stereo-44100.wma", true, ChannelRequest(Request));
    EXPECT_TRUE(File.Reader.reader) << "the reader stays open without a matching format";
    EXPECT_FALSE(File.Reader.has_audio);
    EXPECT_EQ(File.Reader.channels, 0);
    EXPECT_TRUE(ReadAll(File.Reader).empty());
  }
}

TEST(WMFormatChoice, SixChannelsFromEightIsTheMixFfmpegMakes) {
  {
    OpenFile File("eight-channels-8000.flac", true, ChannelRequest(TChannelsNumber::cn5dot1));
    ASSERT_TRUE(File.Reader.has_audio);
    EXPECT_EQ(File.Reader.channels, 6);
    EXPECT_EQ(File.Reader.BitsPerSample, 16);
    EXPECT_TRUE(ReadAll(File.Reader) ==
                FfmpegDecode(WMFixture("eight-channels-8000.flac"), "s16le", "-ac 6"));
  }
  OpenFile Eight("eight-channels-8000.flac", true, ChannelRequest(TChannelsNumber::cn7dot1));
  ASSERT_TRUE(Eight.Reader.has_audio);
  EXPECT_EQ(Eight.Reader.channels, 8);
}

TEST(WMFormatChoice, SelectingAFormatChangesWhatIsDecoded) {
  OpenFile File("stereo-24bit-8000.flac", false);
  SyncReaderSelectFormat(File.Reader, true, 1);
  EXPECT_EQ(File.Reader.BitsPerSample, 24);
  EXPECT_TRUE(ReadAll(File.Reader) == FfmpegDecode(WMFixture("stereo-24bit-8000.flac"), "s24le"));
}

TEST(WMAttributes, AsfMetadata) {
  OpenFile File("wmav2-stereo-44100.wma");
  EXPECT_EQ(SyncReaderAuthor(File.Reader), u"The Testers");
  EXPECT_EQ(SyncReaderTitle(File.Reader), u"Caf\u00e9 Tune");
  EXPECT_EQ(SyncReaderAlbum(File.Reader), u"Fixture Album");
  EXPECT_EQ(SyncReaderGenre(File.Reader), u"Ambient");
  EXPECT_EQ(SyncReaderTrack(File.Reader), u"7");
  EXPECT_EQ(SyncReaderYear(File.Reader), u"2019");
  EXPECT_EQ(SyncReaderCopyright(File.Reader), u"(c) Nobody");
  EXPECT_EQ(SyncReaderBitrate(File.Reader), 64000u);
  EXPECT_FALSE(SyncReaderIsVBR(File.Reader));
  EXPECT_EQ(SyncReaderTextAttribute(File.Reader, u"WM/Composer"), u"");
}

TEST(WMAttributes, Id3TagsOfAnMp3) {
  {
    OpenFile File("mp3-cbr-stereo-44100.mp3");
    EXPECT_EQ(SyncReaderAuthor(File.Reader), u"The Testers");
    EXPECT_EQ(SyncReaderTitle(File.Reader), u"Caf\u00e9 Tune");
    EXPECT_EQ(SyncReaderAlbum(File.Reader), u"Fixture Album");
    EXPECT_EQ(SyncReaderGenre(File.Reader), u"Ambient");
    EXPECT_EQ(SyncReaderTrack(File.Reader), u"7");
    EXPECT_EQ(SyncReaderYear(File.Reader), u"2019");
    EXPECT_EQ(SyncReaderCopyright(File.Reader), u"(c) Nobody");
    EXPECT_EQ(SyncReaderBitrate(File.Reader), 128000u);
    EXPECT_FALSE(SyncReaderIsVBR(File.Reader));
  }
  OpenFile Vbr("mp3-vbr-mono-22050.mp3");
  EXPECT_TRUE(SyncReaderIsVBR(Vbr.Reader));
  EXPECT_EQ(SyncReaderTitle(Vbr.Reader), u"Variable");
  EXPECT_EQ(SyncReaderAuthor(Vbr.Reader), u"");
}

// Another tool's tags may be longer than an attribute's 16-bit length can carry: they come
// out cut at 32,766 units, not wrapped to nothing, and never through a surrogate pair.
TEST(WMAttributes, TagsLongerThanAnAttributeAreCut) {
  const fs::path Dir = fs::temp_directory_path() / ("tv-wm-long-" + std::to_string(getpid()));
  fs::create_directories(Dir);
  {
    std::ofstream Meta(Dir / "meta.txt");
    Meta << ";FFMETADATA1\ntitle=" << std::string(40000, 'x')
         << "\nalbum=" << std::string(32765, 'y') << "\xF0\x9F\x98\x80tail\nartist=After\n";
  }
  const std::string Mp3 = (Dir / "long.mp3").string();
  RunTool("ffmpeg -nostdin -v error -y -f lavfi -i sine=duration=0.2 -i '" +
          (Dir / "meta.txt").string() + "' -map_metadata 1 -c:a libmp3lame '" + Mp3 + "'");
  auto Stream = LoadFile(Mp3);
  wma_sync_reader Reader;
  SyncReaderOpen(Reader, Stream.get(), false, 0);
  const std::u16string Title = SyncReaderTitle(Reader), Album = SyncReaderAlbum(Reader);
  EXPECT_EQ(Title.size(), 32766u);
  EXPECT_TRUE(Title == std::u16string(32766, u'x'));
  EXPECT_EQ(Album.size(), 32765u);
  EXPECT_TRUE(Album == std::u16string(32765, u'y'));
  EXPECT_EQ(SyncReaderAuthor(Reader), u"After");
  SyncReaderClose(Reader);
  fs::remove_all(Dir);
}

TEST(WMAttributes, Id3v1AloneIsReadToo) {
  OpenFile File("mp3-id3v1-only.mp3");
  EXPECT_EQ(SyncReaderTitle(File.Reader), u"Old Style");
  EXPECT_EQ(SyncReaderAuthor(File.Reader), u"Version One");
  EXPECT_EQ(SyncReaderYear(File.Reader), u"1999");
}

TEST(WMAttributes, DurationAsTheProbeToolReportsIt) {
  for (const char* Name : {"wmav2-stereo-44100.wma", "wmav1-mono-22050.wma",
                           "mp3-cbr-stereo-44100.mp3", "mp3-vbr-mono-22050.mp3"}) {
    OpenFile File(Name);
    const double Seconds = ProbeDuration(WMFixture(Name));
    ASSERT_GT(Seconds, 1.0) << Name;
    EXPECT_NEAR(File.Reader.duration, Seconds * 1e7, 1e3) << Name;
    EXPECT_EQ(SyncReaderDuration(File.Reader), std::lround(Seconds * 100)) << Name;
  }
}

// Reads about a second, seeks, and checks that the rest of the sample in hand comes first
// and the decoded stream then continues exactly at the target.
void CheckSeek(const std::string& Name, uint32_t ReadFirst, uint32_t TargetCs) {
  SCOPED_TRACE(Name);
  OpenFile File(Name);
  ASSERT_TRUE(File.Reader.has_audio);
  const auto Full = FfmpegDecode(WMFixture(Name));
  const size_t FrameBytes = static_cast<size_t>(File.Reader.channels) * 2;
  std::vector<uint8_t> Before;
  while (Before.size() < ReadFirst) {
    void* Buffer;
    uint32_t Bytes = 1000;
    SyncReaderGetData(File.Reader, Buffer, Bytes);
    ASSERT_GT(Bytes, 0u);
    Before.insert(Before.end(), static_cast<uint8_t*>(Buffer),
                  static_cast<uint8_t*>(Buffer) + Bytes);
  }
  ASSERT_TRUE(File.Reader.buffer) << "a sample should be in hand";
  uint8_t* Data;
  uint32_t Length;
  File.Reader.buffer->GetBufferAndLength(&Data, &Length);
  const uint32_t Left = Length - File.Reader.offset;
  EXPECT_EQ(SyncReaderSeek(File.Reader, TargetCs), S_OK);
  const auto After = ReadAll(File.Reader, 1000);
  ASSERT_GE(After.size(), Left);
  EXPECT_TRUE(std::equal(After.begin(), After.begin() + Left, Full.begin() + Before.size()))
      << "the rest of the current sample comes first";
  const size_t Target =
      static_cast<size_t>(std::llround(TargetCs / 100.0 * File.Reader.SampleRate) * FrameBytes);
  ASSERT_LT(Target, Full.size());
  ASSERT_EQ(After.size() - Left, Full.size() - Target);
  EXPECT_TRUE(std::equal(After.begin() + Left, After.end(), Full.begin() + Target));
}

TEST(WMSeeking, ShortJumpsDuringAPassAreSampleAccurate) {
  CheckSeek("wmav2-stereo-44100.wma", 44100 * 4 / 2, 215);  // decoded through
  CheckSeek("wmav2-stereo-44100.wma", 44100 * 4 * 2, 37);   // from the start again
  CheckSeek("mp3-cbr-stereo-44100.mp3", 44100 * 4 / 2, 181);
  CheckSeek("mp3-vbr-mono-22050.mp3", 22050 * 2 * 3 / 2, 50);
  CheckSeek("wmav1-mono-22050.wma", 22050, 150);
}

// Past the decode-through distance the demuxer seeks and the time stamps place the audio;
// ASF's millisecond stamps must still land on the exact sample.
TEST(WMSeeking, LongJumpsThroughTheDemuxerAreSampleAccurate) {
  CheckSeek("wmav2-stereo-44100.wma", 44100 * 4 / 5, 250);
  CheckSeek("wmav2-stereo-44100.wma", 44100 * 4 * 28 / 10, 223);
  CheckSeek("mp3-cbr-stereo-44100.mp3", 44100 * 4 / 5, 263);
  CheckSeek("mp3-cbr-stereo-44100.mp3", 44100 * 4 * 29 / 10, 220);
}

TEST(WMBrokenInput, ProtectedContentIsFlaggedAndDeliversNothing) {
  OpenFile File("protected-content.wma");
  ASSERT_TRUE(File.Reader.reader);
  EXPECT_TRUE(File.Reader.has_audio);
  EXPECT_TRUE(File.Reader._protected);
  EXPECT_TRUE(ReadAll(File.Reader).empty());
}

TEST(WMBrokenInput, APictureOpensWithoutAudio) {
  OpenFile File("not-audio.png");
  EXPECT_TRUE(File.Reader.reader);
  EXPECT_FALSE(File.Reader.has_audio);
  EXPECT_TRUE(ReadAll(File.Reader).empty());
}

TEST(WMBrokenInput, GarbageAndEmptyStreamsAreNotAudio) {
  std::mt19937 Random(1234);
  for (size_t Size : {size_t{0}, size_t{1}, size_t{29}, size_t{4096}, size_t{300000}}) {
    SCOPED_TRACE(Size);
    TMemoryStream Stream;
    std::vector<uint8_t> Bytes(Size);
    for (auto& B : Bytes) B = static_cast<uint8_t>(Random());
    Stream.Write(Bytes.data(), static_cast<int64_t>(Bytes.size()));
    Stream.SetPosition(0);
    wma_sync_reader Reader;
    SyncReaderOpen(Reader, &Stream, false, 0);
    EXPECT_FALSE(Reader.has_audio);
    EXPECT_TRUE(ReadAll(Reader).empty());
    SyncReaderClose(Reader);
    EXPECT_EQ(RuntimeLiveObjects(), 0);
  }
}

TEST(WMBrokenInput, AsfObjectSizesThatWrapAroundEndTheHeaderScan) {
  // The second object's size takes the walk back to the first, over and over, for as many
  // objects as the header claims.
  auto Stream = LoadFile(WMFixture("wmav2-stereo-44100.wma"));
  uint8_t* Bytes = Stream->Memory();
  auto Put = [&](size_t At, uint64_t Value, int Size) {
    for (int i = 0; i < Size; ++i) Bytes[At + i] = static_cast<uint8_t>(Value >> (8 * i));
  };
  uint64_t First = 0;
  for (int i = 7; i >= 0; --i) First = (First << 8) | Bytes[30 + 16 + i];
  ASSERT_GE(First, 24u);
  Put(24, 0xFFFFFFFFu, 4);
  Put(30 + First + 16, 0 - First, 8);
  wma_sync_reader Reader;
  SyncReaderOpen(Reader, Stream.get(), false, 0);
  EXPECT_FALSE(Reader._protected);
  ReadAll(Reader);
  SyncReaderClose(Reader);
  EXPECT_EQ(RuntimeLiveObjects(), 0);
}

TEST(WMBrokenInput, TruncatedFilesEndQuietlyAfterWhatTheyHold) {
  for (const char* Name : {"wmav2-stereo-44100.wma", "mp3-cbr-stereo-44100.mp3"}) {
    SCOPED_TRACE(Name);
    const auto Full = FfmpegDecode(WMFixture(Name));
    auto Whole = LoadFile(WMFixture(Name));
    for (int64_t Keep : {Whole->Size() * 6 / 10, int64_t{600}, int64_t{100}}) {
      SCOPED_TRACE(Keep);
      TMemoryStream Cut;
      Cut.Write(Whole->Memory(), Keep);
      Cut.SetPosition(0);
      wma_sync_reader Reader;
      SyncReaderOpen(Reader, &Cut, false, 0);
      const auto Got = ReadAll(Reader);
      EXPECT_LT(Got.size(), Full.size());
      if (Keep > 1000) {
        ASSERT_GT(Got.size(), Full.size() / 3);
        // Up to the last whole packet the audio is the full file's.
        const size_t Same = Got.size() - 8192;
        EXPECT_TRUE(std::equal(Got.begin(), Got.begin() + Same, Full.begin()));
      }
      SyncReaderClose(Reader);
      EXPECT_EQ(RuntimeLiveObjects(), 0);
    }
  }
}

// Damaged bytes inside the audio data: the decoder may drop or mangle frames, but the pass
// must end, stay within a sane length and touch no memory it does not own.
TEST(WMBrokenInput, DamagedFilesDecodeWithoutHarm) {
  std::mt19937 Random(99);
  for (const char* Name : {"wmav2-stereo-44100.wma", "mp3-cbr-stereo-44100.mp3",
                           "wmav1-mono-22050.wma", "mp3-vbr-mono-22050.mp3"}) {
    SCOPED_TRACE(Name);
    auto Original = LoadFile(WMFixture(Name));
    for (int Round = 0; Round < 6; ++Round) {
      TMemoryStream Damaged;
      Damaged.Write(Original->Memory(), Original->Size());
      for (int Hit = 0; Hit < 40; ++Hit) {
        const auto At = static_cast<size_t>(Random() % static_cast<uint32_t>(Original->Size()));
        Damaged.Memory()[At] = static_cast<uint8_t>(Random());
      }
      Damaged.SetPosition(0);
      wma_sync_reader Reader;
      SyncReaderOpen(Reader, &Damaged, false, 0);
      const auto Got = ReadAll(Reader, 1500);
      EXPECT_LT(Got.size(), size_t{10} << 20);
      SyncReaderClose(Reader);
      EXPECT_EQ(RuntimeLiveObjects(), 0);
    }
  }
}

TEST(WMBrokenInput, ContentBehindA30BytePrefixOpensOnTheRetry) {
  auto Original = LoadFile(WMFixture("wmav2-stereo-44100.wma"));
  TMemoryStream Prefixed;
  const std::string Junk(30, 'J');
  Prefixed.Write(Junk.data(), 30);
  Prefixed.Write(Original->Memory(), Original->Size());
  Prefixed.SetPosition(0);
  wma_sync_reader Reader;
  SyncReaderOpen(Reader, &Prefixed, false, 0);
  ASSERT_TRUE(Reader.has_audio);
  EXPECT_TRUE(ReadAll(Reader) == FfmpegDecode(WMFixture("wmav2-stereo-44100.wma")));
  SyncReaderClose(Reader);
}

TEST(WMReaderLifetime, ReopeningAnOpenRecordReleasesTheOldReader) {
  auto First = LoadFile(WMFixture("wmav2-stereo-44100.wma"));
  auto Second = LoadFile(WMFixture("mp3-vbr-mono-22050.mp3"));
  wma_sync_reader Reader;
  SyncReaderOpen(Reader, First.get(), false, 0);
  void* Buffer;
  uint32_t Bytes = 100;
  SyncReaderGetData(Reader, Buffer, Bytes);
  ASSERT_TRUE(Reader.buffer);
  SyncReaderOpen(Reader, Second.get(), false, 0);
  EXPECT_EQ(Reader.channels, 1);
  SyncReaderClose(Reader);
  EXPECT_EQ(RuntimeLiveObjects(), 0);
  // The handed-in streams belong to the caller and stay usable.
  EXPECT_GT(First->Size(), 0);
  First->SetPosition(0);
}

}  // namespace
