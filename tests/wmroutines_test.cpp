// The reader routines against a scripted runtime, which records every call: the format
// choice rules, the hand-out of samples, seeking, attributes; and the IStream adapter.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

#include "platform/Exception.h"
#include "winmedia/libwma1.h"

using namespace tunevert;

namespace {

struct FakeFormat {
  uint16_t Channels = 0;
  uint32_t Rate = 0;
  uint16_t Bits = 0;
  GUID FormatType = WMFORMAT_WaveFormatEx;
};

struct FakeOutput {
  GUID Major = WMMEDIATYPE_Audio;
  FakeFormat Current;
  std::vector<FakeFormat> Formats;
};

struct Setting {
  uint32_t Output;
  std::u16string Name;
  uint32_t Value;
  bool operator==(const Setting&) const = default;
};

// What the scripted runtime offers, and what it was asked.
struct Script {
  int OpenFailures = 0;  // OpenStream calls that fail before one succeeds
  std::vector<FakeOutput> Outputs;
  std::vector<std::vector<uint8_t>> Samples;
  std::map<std::u16string, std::vector<uint8_t>> Attributes;
  HRESULT ReadStreamResult = S_OK;

  std::vector<uint64_t> OpenPositions;
  std::vector<Setting> Settings;
  std::vector<std::pair<uint32_t, int>> PropsSet;  // output, format index (-1: other)
  std::vector<uint64_t> Ranges;
  uint16_t ReadStreamAsked = 0;
  int Live = 0;
};
Script* Current = nullptr;

class FakeProps final : public IWMOutputMediaProps {
 public:
  FakeProps(GUID AMajor, FakeFormat AFormat, int AIndex)
      : Major(AMajor), Format(AFormat), Index(AIndex) {
    ++Current->Live;
  }
  HRESULT QueryInterface(const IID&, void**) override { return E_NOINTERFACE; }
  uint32_t AddRef() override { return ++Refs; }
  uint32_t Release() override {
    if (--Refs == 0) {
      --Current->Live;
      delete this;
      return 0;
    }
    return Refs;
  }
  HRESULT GetType(GUID* Type) override {
    *Type = Major;
    return S_OK;
  }
  HRESULT SetMediaType(const WM_MEDIA_TYPE*) override { return E_NOTIMPL; }
  HRESULT GetMediaType(WM_MEDIA_TYPE* Type, uint32_t* Size) override {
    const uint32_t Needed = sizeof(WM_MEDIA_TYPE) + sizeof(WAVEFORMATEX);
    if (!Type) {
      *Size = Needed;
      return S_OK;
    }
    if (*Size < Needed) return ASF_E_BUFFERTOOSMALL;
    WAVEFORMATEX Wave{1, Format.Channels, Format.Rate, 0, 0, Format.Bits, 0};
    auto* Block = reinterpret_cast<uint8_t*>(Type);
    WM_MEDIA_TYPE T{};
    T.majortype = Major;
    T.formattype = Format.FormatType;
    T.cbFormat = sizeof Wave;
    T.pbFormat = Block + sizeof T;
    std::memcpy(Block, &T, sizeof T);
    std::memcpy(Block + sizeof T, &Wave, sizeof Wave);
    return S_OK;
  }
  GUID Major;
  FakeFormat Format;
  int Index;

 private:
  ~FakeProps() = default;
  uint32_t Refs = 1;
};

class FakeBuffer final : public INSSBuffer {
 public:
  explicit FakeBuffer(std::vector<uint8_t>* AData) : Data(AData) { ++Current->Live; }
  HRESULT QueryInterface(const IID&, void**) override { return E_NOINTERFACE; }
  uint32_t AddRef() override { return ++Refs; }
  uint32_t Release() override {
    if (--Refs == 0) {
      --Current->Live;
      delete this;
      return 0;
    }
    return Refs;
  }
  HRESULT GetLength(uint32_t* L) override {
    *L = static_cast<uint32_t>(Data->size());
    return S_OK;
  }
  HRESULT SetLength(uint32_t) override { return E_NOTIMPL; }
  HRESULT GetMaxSize(uint32_t*) override { return E_NOTIMPL; }
  HRESULT GetBuffer(uint8_t** B) override {
    *B = Data->data();
    return S_OK;
  }
  HRESULT GetBufferAndLength(uint8_t** B, uint32_t* L) override {
    *B = Data->data();
    *L = static_cast<uint32_t>(Data->size());
    return S_OK;
  }

 private:
  ~FakeBuffer() = default;
  std::vector<uint8_t>* Data;
  uint32_t Refs = 1;
};

class FakeReader final : public IWMSyncReader, public IWMHeaderInfo {
 public:
  FakeReader() { ++Current->Live; }
  HRESULT QueryInterface(const IID& riid, void** ppv) override {
    if (riid == IID_IWMHeaderInfo) {
      *ppv = static_cast<IWMHeaderInfo*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return ++Refs; }
  uint32_t Release() override {
    if (--Refs == 0) {
      if (Source) Source->Release();
      --Current->Live;
      delete this;
      return 0;
    }
    return Refs;
  }
  HRESULT OpenStream(IStream* S) override {
    uint64_t Position = 0;
    S->Seek(0, STREAM_SEEK_CUR, &Position);
    Current->OpenPositions.push_back(Position);
    if (Current->OpenFailures-- > 0) return NS_E_UNRECOGNIZED_STREAM_TYPE;
    Source = S;
    Source->AddRef();
    return S_OK;
  }
  HRESULT Close() override {
    if (Source) Source->Release();
    Source = nullptr;
    return S_OK;
  }
  HRESULT SetRange(uint64_t Start, int64_t) override {
    Current->Ranges.push_back(Start);
    return S_OK;
  }
  HRESULT GetNextSample(uint16_t, INSSBuffer** Sample, uint64_t*, uint64_t*, uint32_t*, uint32_t*,
                        uint16_t*) override {
    if (Next >= Current->Samples.size()) return NS_E_NO_MORE_SAMPLES;
    *Sample = new FakeBuffer(&Current->Samples[Next++]);
    return S_OK;
  }
  HRESULT SetReadStreamSamples(uint16_t Stream, int32_t) override {
    Current->ReadStreamAsked = Stream;
    return Current->ReadStreamResult;
  }
  HRESULT GetOutputCount(uint32_t* Count) override {
    *Count = static_cast<uint32_t>(Current->Outputs.size());
    return S_OK;
  }
  HRESULT GetOutputProps(uint32_t Output, IWMOutputMediaProps** Props) override {
    const FakeOutput& O = Current->Outputs.at(Output);
    *Props = new FakeProps(O.Major, O.Current, -1);
    return S_OK;
  }
  HRESULT SetOutputProps(uint32_t Output, IWMOutputMediaProps* Props) override {
    Current->PropsSet.emplace_back(Output, static_cast<FakeProps*>(Props)->Index);
    return S_OK;
  }
  HRESULT GetOutputFormatCount(uint32_t Output, uint32_t* Count) override {
    *Count = static_cast<uint32_t>(Current->Outputs.at(Output).Formats.size());
    return S_OK;
  }
  HRESULT GetOutputFormat(uint32_t Output, uint32_t Index, IWMOutputMediaProps** Props) override {
    const FakeOutput& O = Current->Outputs.at(Output);
    if (Index >= O.Formats.size()) return E_INVALIDARG;
    *Props = new FakeProps(O.Major, O.Formats[Index], static_cast<int>(Index));
    return S_OK;
  }
  HRESULT GetStreamNumberForOutput(uint32_t Output, uint16_t* Stream) override {
    *Stream = static_cast<uint16_t>(Output + 11);
    return S_OK;
  }
  HRESULT SetOutputSetting(uint32_t Output, const char16_t* Name, WMT_ATTR_DATATYPE,
                           const uint8_t* Value, uint16_t Length) override {
    EXPECT_EQ(Length, 4);
    uint32_t V;
    std::memcpy(&V, Value, 4);
    Current->Settings.push_back({Output, Name, V});
    return S_OK;
  }
  HRESULT SetAttribute(uint16_t, const char16_t*, WMT_ATTR_DATATYPE, const uint8_t*,
                       uint16_t) override {
    return E_NOTIMPL;
  }
  HRESULT GetAttributeByName(uint16_t* Stream, const char16_t* Name, WMT_ATTR_DATATYPE* Type,
                             uint8_t* Value, uint16_t* Length) override {
    EXPECT_EQ(*Stream, 0);
    auto It = Current->Attributes.find(Name);
    if (It == Current->Attributes.end()) return ASF_E_NOTFOUND;
    *Type = WMT_TYPE_BINARY;
    const auto Size = static_cast<uint16_t>(It->second.size());
    if (Value) {
      if (*Length < Size) return ASF_E_BUFFERTOOSMALL;
      std::memcpy(Value, It->second.data(), Size);
    }
    *Length = Size;
    return S_OK;
  }

 private:
  ~FakeReader() = default;
  uint32_t Refs = 1;
  IStream* Source = nullptr;
  size_t Next = 0;
};

HRESULT FakeCreate(IUnknown*, uint32_t, IWMSyncReader** Reader) {
  *Reader = new FakeReader();
  return S_OK;
}

std::vector<uint8_t> Qword(uint64_t V) {
  std::vector<uint8_t> B(8);
  std::memcpy(B.data(), &V, 8);
  return B;
}

class ScriptedRuntime : public ::testing::Test {
 protected:
  void SetUp() override {
    Current = &S;
    Saved = WMCreateSyncReader;
    WMCreateSyncReader = &FakeCreate;
    Source.Write("0123456789012345678901234567890123456789", 40);
    Source.SetPosition(0);
  }
  void TearDown() override {
    SyncReaderClose(R);
    EXPECT_EQ(S.Live, 0) << "a reference to the runtime was not released";
    WMCreateSyncReader = Saved;
    Current = nullptr;
  }
  void Open(bool HighPrecision, int8_t Request) {
    SyncReaderOpen(R, &Source, HighPrecision, Request);
  }
  Script S;
  TMemoryStream Source;
  wma_sync_reader R;
  TWMCreateSyncReader Saved = nullptr;
};

TEST_F(ScriptedRuntime, NativeLayoutTakesTheWidestAndAmongEqualsTheLast) {
  S.Outputs = {{WMMEDIATYPE_Audio,
                {2, 44100, 16},
                {{2, 44100, 16}, {2, 44100, 24}, {2, 44100, 24}, {2, 22050, 32}, {1, 44100, 32}}}};
  Open(true, 0);
  ASSERT_TRUE(R.has_audio);
  EXPECT_EQ(R.BitsPerSample, 24);
  EXPECT_EQ(R.channels, 2);
  EXPECT_EQ(R.SampleRate, 44100);
  ASSERT_FALSE(S.PropsSet.empty());
  EXPECT_EQ(S.PropsSet.back(), std::make_pair(0u, 2));
  EXPECT_EQ(S.Settings.front(), (Setting{0, u"EnableDiscreteOutput", 0xFFFFFFFFu}));
  EXPECT_EQ(R.stream, 11);
  EXPECT_EQ(S.ReadStreamAsked, 11);
  EXPECT_FALSE(R._protected);
}

TEST_F(ScriptedRuntime, HighPrecisionOffIsPassedAsZero) {
  S.Outputs = {{WMMEDIATYPE_Audio, {2, 44100, 16}, {{2, 44100, 16}}}};
  Open(false, 0);
  EXPECT_EQ(S.Settings, (std::vector<Setting>{{0, u"EnableDiscreteOutput", 0}}));
}

TEST_F(ScriptedRuntime, AnOutputMatchingNothingLeavesTheChosenLayoutAlone) {
  S.Outputs = {
      {WMMEDIATYPE_Video, {2, 44100, 16}, {{2, 44100, 16}}},
      {WMMEDIATYPE_Audio, {2, 44100, 16}, {{2, 44100, 16}}},
      {WMMEDIATYPE_Audio, {1, 22050, 16}, {{1, 22050, 8}}},  // narrower than what was taken
  };
  Open(false, 0);
  ASSERT_TRUE(R.has_audio);
  EXPECT_EQ(R.output, 1u);
  EXPECT_EQ(R.channels, 2);
  EXPECT_EQ(R.SampleRate, 44100);
  EXPECT_EQ(R.BitsPerSample, 16);
  for (const Setting& Each : S.Settings)
    EXPECT_NE(Each.Output, 0u) << "the video output is skipped";
}

TEST_F(ScriptedRuntime, NoFormatOfTheOwnLayoutMeansNoAudio) {
  S.Outputs = {{WMMEDIATYPE_Audio, {2, 44100, 16}, {{1, 44100, 16}, {2, 22050, 16}}}};
  S.Samples = {std::vector<uint8_t>(100, 1)};
  Open(false, 0);
  EXPECT_TRUE(R.reader);
  EXPECT_FALSE(R.has_audio);
  EXPECT_EQ(R.channels, 0);
  EXPECT_EQ(R.SampleRate, 0);
  void* Buffer;
  uint32_t Bytes = 100;
  SyncReaderGetData(R, Buffer, Bytes);
  EXPECT_EQ(Bytes, 0u);
}

TEST_F(ScriptedRuntime, SixChannelsSetsTheSpeakersOnEveryAudioOutputAndTakesTheLastMatch) {
  S.Outputs = {
      {WMMEDIATYPE_Audio, {2, 44100, 16}, {{6, 44100, 16}, {2, 44100, 16}}},
      {WMMEDIATYPE_Audio, {2, 48000, 16}, {{6, 48000, 24}, {6, 48000, 16}, {8, 48000, 16}}},
  };
  Open(true, ChannelRequest(TChannelsNumber::cn5dot1));
  EXPECT_EQ(std::count(S.Settings.begin(), S.Settings.end(), Setting{0, u"SpeakerConfig", 6}), 1);
  EXPECT_EQ(std::count(S.Settings.begin(), S.Settings.end(), Setting{1, u"SpeakerConfig", 6}), 1);
  ASSERT_TRUE(R.has_audio);
  EXPECT_EQ(R.output, 1u);
  EXPECT_EQ(R.channels, 6);
  EXPECT_EQ(R.SampleRate, 48000);
  EXPECT_EQ(R.BitsPerSample, 16);
  EXPECT_EQ(S.PropsSet.back(), std::make_pair(1u, 1));
}

TEST_F(ScriptedRuntime, MostAvailableClimbsOnAllThreeValues) {
  S.Outputs = {{WMMEDIATYPE_Audio,
                {2, 44100, 16},
                {{2, 44100, 16}, {6, 48000, 24}, {2, 96000, 32}, {6, 48000, 16}}}};
  Open(true, ChannelRequest(TChannelsNumber::cnMaxAvailable));
  EXPECT_TRUE(std::none_of(S.Settings.begin(), S.Settings.end(),
                           [](const Setting& E) { return E.Name == u"SpeakerConfig"; }));
  ASSERT_TRUE(R.has_audio);
  EXPECT_EQ(R.channels, 6);
  EXPECT_EQ(R.SampleRate, 48000);
  EXPECT_EQ(R.BitsPerSample, 24);
}

TEST_F(ScriptedRuntime, ProtectedContentAndDuration) {
  S.Outputs = {{WMMEDIATYPE_Audio, {2, 44100, 16}, {{2, 44100, 16}}}};
  S.ReadStreamResult = NS_E_PROTECTED_CONTENT;
  S.Attributes[u"Duration"] = Qword(12345678901);
  Open(false, 0);
  EXPECT_TRUE(R._protected);
  EXPECT_EQ(R.duration, 12345678901);
  EXPECT_EQ(SyncReaderDuration(R), 123457u);
}

TEST_F(ScriptedRuntime, DurationRoundsHalvesToEven) {
  S.Outputs = {{WMMEDIATYPE_Audio, {2, 44100, 16}, {{2, 44100, 16}}}};
  Open(false, 0);
  for (auto [Units, Cs] : {std::pair<int64_t, uint32_t>{150000, 2},
                           {250000, 2},
                           {350000, 4},
                           {249999, 2},
                           {0, 0},
                           {-5, 0}}) {
    R.duration = Units;
    EXPECT_EQ(SyncReaderDuration(R), Cs) << Units;
  }
}

TEST_F(ScriptedRuntime, MissingDurationBitrateAndTextAreEmpty) {
  S.Outputs = {{WMMEDIATYPE_Audio, {2, 44100, 16}, {{2, 44100, 16}}}};
  S.Attributes[u"Title"] = {'H', 0, 'i', 0, 0, 0, 'X', 0};  // text ends at its null
  S.Attributes[u"Author"] = {'A', 0, 'b'};                  // odd length: the half is dropped
  Open(false, 0);
  EXPECT_EQ(R.duration, 0);
  EXPECT_EQ(SyncReaderBitrate(R), 0u);
  EXPECT_FALSE(SyncReaderIsVBR(R));
  EXPECT_EQ(SyncReaderTitle(R), u"Hi");
  EXPECT_EQ(SyncReaderAuthor(R), u"A");
  EXPECT_EQ(SyncReaderAlbum(R), u"");
}

TEST_F(ScriptedRuntime, OpenRetriesOnceFromByte30) {
  S.Outputs = {{WMMEDIATYPE_Audio, {2, 44100, 16}, {{2, 44100, 16}}}};
  S.OpenFailures = 1;
  Open(false, 0);
  EXPECT_EQ(S.OpenPositions, (std::vector<uint64_t>{0, 30}));
  EXPECT_TRUE(R.has_audio);
}

TEST_F(ScriptedRuntime, TwoFailedOpensReleaseEverything) {
  S.OpenFailures = 2;
  Open(false, 0);
  EXPECT_EQ(S.OpenPositions.size(), 2u);
  EXPECT_FALSE(R.reader);
  EXPECT_FALSE(R.AuStream);
  EXPECT_EQ(R.AudioStream, nullptr);
  EXPECT_EQ(S.Live, 0);
}

TEST_F(ScriptedRuntime, DataComesOutInPlaceAndNeverPastTheCurrentSample) {
  S.Outputs = {{WMMEDIATYPE_Audio, {2, 44100, 16}, {{2, 44100, 16}}}};
  S.Samples = {std::vector<uint8_t>(3000), std::vector<uint8_t>(500)};
  for (size_t i = 0; i < 3000; ++i) S.Samples[0][i] = static_cast<uint8_t>(i);
  Open(false, 0);
  void* Buffer;
  uint32_t Bytes = 2000;
  SyncReaderGetData(R, Buffer, Bytes);
  EXPECT_EQ(Bytes, 2000u);
  EXPECT_EQ(Buffer, S.Samples[0].data());
  Bytes = 4096;
  SyncReaderGetData(R, Buffer, Bytes);
  EXPECT_EQ(Bytes, 1000u);
  EXPECT_EQ(Buffer, S.Samples[0].data() + 2000);
  Bytes = 4096;
  SyncReaderGetData(R, Buffer, Bytes);
  EXPECT_EQ(Bytes, 500u);
  EXPECT_EQ(Buffer, S.Samples[1].data());
  Bytes = 4096;
  SyncReaderGetData(R, Buffer, Bytes);
  EXPECT_EQ(Bytes, 0u);
  EXPECT_EQ(Buffer, nullptr);
}

TEST_F(ScriptedRuntime, SeekPassesHundredNanosecondUnitsAndKeepsTheSampleInHand) {
  S.Outputs = {{WMMEDIATYPE_Audio, {2, 44100, 16}, {{2, 44100, 16}}}};
  S.Samples = {std::vector<uint8_t>(1000), std::vector<uint8_t>(10)};
  Open(false, 0);
  void* Buffer;
  uint32_t Bytes = 400;
  SyncReaderGetData(R, Buffer, Bytes);
  EXPECT_EQ(SyncReaderSeek(R, 10000), S_OK);
  EXPECT_EQ(SyncReaderSeek(R, 0xFFFFFFFFu), S_OK);
  EXPECT_EQ(S.Ranges, (std::vector<uint64_t>{1000000000ull, 429496729500000ull}));
  Bytes = 4096;
  SyncReaderGetData(R, Buffer, Bytes);
  EXPECT_EQ(Bytes, 600u);
  EXPECT_EQ(Buffer, S.Samples[0].data() + 400);
}

TEST_F(ScriptedRuntime, FormatsOnRequestActOnTheChosenOutput) {
  S.Outputs = {
      {WMMEDIATYPE_Audio, {1, 8000, 16}, {{1, 8000, 8}, {1, 8000, 16}}},
      {WMMEDIATYPE_Audio,
       {2, 44100, 16},
       {{2, 44100, 16}, {2, 44100, 24}, {2, 44100, 32, WMMEDIATYPE_Audio}}},
  };
  Open(false, 0);
  ASSERT_EQ(R.output, 1u);
  S.Settings.clear();
  EXPECT_EQ(SyncReaderFormatCount(R, true), 3u);
  EXPECT_EQ(S.Settings, (std::vector<Setting>{{1, u"EnableDiscreteOutput", 0xFFFFFFFFu}}));
  const TWMAFormatSpec Spec = SyncReaderFormatSpec(R, false, 1);
  EXPECT_EQ(Spec.BitsPerSample, 24u);
  EXPECT_EQ(Spec.Channels, 2u);
  EXPECT_EQ(Spec.SampleRate, 44100u);
  const TWMAFormatSpec NotWave = SyncReaderFormatSpec(R, false, 2);
  EXPECT_EQ(NotWave.BitsPerSample + NotWave.Channels + NotWave.SampleRate, 0u);
  EXPECT_EQ(SyncReaderFormatSpec(R, false, 7).Channels, 0u);

  SyncReaderSelectFormat(R, true, 1);
  EXPECT_EQ(R.BitsPerSample, 24);
  EXPECT_EQ(S.PropsSet.back(), std::make_pair(1u, 1));
  SyncReaderSelectFormat(R, true, 2);  // not a wave format: the layout stays, the props go
  EXPECT_EQ(R.BitsPerSample, 24);
  EXPECT_EQ(S.PropsSet.back(), std::make_pair(1u, 2));
}

// ---- the IStream adapter ----

// A stream that pretends to be huge and remembers how it was moved.
class FarStream final : public TStream {
 public:
  int64_t Read(void*, int64_t) override {
    if (ThrowOnRead) throw EAuException("disk on fire");
    return 0;
  }
  int64_t Write(const void*, int64_t Count) override { return Count; }
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override {
    LastOffset = Offset;
    LastOrigin = Origin;
    if (Origin == TSeekOrigin::soBeginning) Pos = Offset;
    if (Origin == TSeekOrigin::soCurrent) Pos += Offset;
    if (Origin == TSeekOrigin::soEnd) Pos = Size() + Offset;
    return Pos;
  }
  int64_t Size() override { return int64_t{6} << 30; }
  void SetSize(int64_t) override { SizeSet = true; }
  int64_t Pos = 0, LastOffset = 0;
  TSeekOrigin LastOrigin = TSeekOrigin::soBeginning;
  bool ThrowOnRead = false, SizeSet = false;
};

TEST(AudioStreamAdapter, ReadsAndSeeksTheFrameworkStream) {
  TMemoryStream Memory;
  Memory.Write("abcdef", 6);
  Memory.SetPosition(2);
  TInterfaceRef<IStream> Adapter(new TAudioStream());
  static_cast<TAudioStream*>(Adapter.Get())->AssignStream(&Memory);
  char Got[8] = {};
  uint32_t Count = 99;
  EXPECT_EQ(Adapter->Read(Got, 8, &Count), S_OK);
  EXPECT_EQ(Count, 4u);
  EXPECT_STREQ(Got, "cdef");
  EXPECT_EQ(Adapter->Read(Got, 8, &Count), StreamFailed);
  EXPECT_EQ(Count, 0u);
  uint64_t Position = 0;
  EXPECT_EQ(Adapter->Seek(-5, STREAM_SEEK_END, &Position), S_OK);
  EXPECT_EQ(Position, 1u);
  EXPECT_EQ(Adapter->Seek(2, STREAM_SEEK_CUR, &Position), S_OK);
  EXPECT_EQ(Position, 3u);
  EXPECT_EQ(Adapter->Seek(0, 3, &Position), STG_E_INVALIDFUNCTION);
  STATSTG Stat;
  std::memset(&Stat, 0xAB, sizeof Stat);
  EXPECT_EQ(Adapter->Stat(&Stat, 0), S_OK);
  EXPECT_EQ(Stat.cbSize, 6u);
  EXPECT_EQ(Stat.grfLocksSupported, 0u);
  EXPECT_EQ(Stat.pwcsName, nullptr);
  IStream* Copy = Adapter.Get();
  EXPECT_EQ(Adapter->Clone(&Copy), StreamFailed);
  EXPECT_EQ(Copy, nullptr);
  EXPECT_EQ(Adapter->Commit(0), StreamFailed);
  EXPECT_EQ(Adapter->LockRegion(0, 1, 0), StreamFailed);
  void* Same = nullptr;
  EXPECT_EQ(Adapter->QueryInterface(IID_IStream, &Same), S_OK);
  EXPECT_EQ(Same, Adapter.Get());
  Adapter->Release();
  EXPECT_EQ(Adapter->QueryInterface(IID_IWMSyncReader, &Same), E_NOINTERFACE);
}

TEST(AudioStreamAdapter, SeeksBeyondFourGigabytesAndKeepsErrorsInside) {
  FarStream Far;
  TInterfaceRef<IStream> Adapter(new TAudioStream());
  static_cast<TAudioStream*>(Adapter.Get())->AssignStream(&Far);
  uint64_t Position = 0;
  const int64_t FiveGiB = int64_t{5} << 30;
  EXPECT_EQ(Adapter->Seek(FiveGiB, STREAM_SEEK_SET, &Position), S_OK);
  EXPECT_EQ(Far.LastOffset, FiveGiB);
  EXPECT_EQ(Position, static_cast<uint64_t>(FiveGiB));
  EXPECT_EQ(Adapter->Seek(-(int64_t{3} << 30), STREAM_SEEK_CUR, &Position), S_OK);
  EXPECT_EQ(Position, uint64_t{2} << 30);
  STATSTG Stat{};
  Adapter->Stat(&Stat, 0);
  EXPECT_EQ(Stat.cbSize, uint64_t{6} << 30);
  EXPECT_EQ(Adapter->SetSize(10), STG_E_INVALIDFUNCTION);
  EXPECT_FALSE(Far.SizeSet);
  Far.ThrowOnRead = true;
  char Byte;
  uint32_t Count = 7;
  EXPECT_EQ(Adapter->Read(&Byte, 1, &Count), StreamFailed);
  EXPECT_EQ(Count, 0u);
}

}  // namespace
