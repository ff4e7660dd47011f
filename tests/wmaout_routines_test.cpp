// The writer routines and TWMAOut over a scripted runtime: the format search, the profile and
// input the routines build, time stamps, block sizes, attributes and status reports.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Exception.h"
#include "tests/PipelineFakes.h"
#include "winmedia/AuWMAOut.h"
#include "winmedia/libwma1_writer.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

struct FakeFormat {
  uint32_t Bitrate = 0;
  uint32_t Rate = 44100;
  uint16_t Channels = 2;
  uint16_t Bits = 16;
  GUID SubType = WMMEDIASUBTYPE_WMAudioV8;
  int64_t Quality = -1;  // "_VBRQUALITY"; -1: the format has none
};

// What the scripted runtime offers and what it saw.
struct Script {
  std::vector<std::vector<FakeFormat>> Codecs;
  bool VbrAccepted = true;
  HRESULT AddStreamResult = S_OK;
  HRESULT BeginResult = S_OK;
  HRESULT WriteResult = S_OK;
  WAVEFORMATEX Input{};  // the writer's input as the runtime offers it
  int Live = 0;
  uint32_t ProfileVersion = 0;
  int AddedFormat = -1;
  uint16_t StreamNumber = 0;
  std::u16string StreamName, ConnectionName;
  bool InputSet = false;
  WAVEFORMATEX InputWritten{};
  std::vector<std::pair<std::u16string, std::u16string>> Attributes;
  std::vector<uint64_t> Times;
  std::vector<uint32_t> Lengths;
  IWMStatusCallback* Callback = nullptr;  // what the file sink was advised of
  std::function<void(size_t)> OnWrite;    // after each WriteSample, with its number
  std::function<void()> OnEnd;            // in EndWriting
};
Script* Current = nullptr;

// A counted fake that answers QueryInterface for the interfaces Find knows.
template <class... Interfaces>
class Fake : public Interfaces... {
 public:
  Fake() { ++Current->Live; }
  virtual ~Fake() { --Current->Live; }
  HRESULT QueryInterface(const IID& riid, void** ppv) override {
    *ppv = Find(riid);
    if (!*ppv) return E_NOINTERFACE;
    ++Refs;
    return S_OK;
  }
  uint32_t AddRef() override { return ++Refs; }
  uint32_t Release() override {
    if (--Refs == 0) {
      delete this;
      return 0;
    }
    return Refs;
  }

 protected:
  virtual void* Find(const IID& riid) = 0;
  uint32_t Refs = 1;
};

HRESULT MediaType(const GUID& Major, const GUID& SubType, const WAVEFORMATEX& Wave,
                  WM_MEDIA_TYPE* Type, uint32_t* Size) {
  const uint32_t Needed = sizeof(WM_MEDIA_TYPE) + sizeof(WAVEFORMATEX);
  if (!Type) {
    *Size = Needed;
    return S_OK;
  }
  if (*Size < Needed) return ASF_E_BUFFERTOOSMALL;
  std::memset(Type, 0, sizeof *Type);
  Type->majortype = Major;
  Type->subtype = SubType;
  Type->formattype = WMFORMAT_WaveFormatEx;
  Type->cbFormat = sizeof(WAVEFORMATEX);
  Type->pbFormat = reinterpret_cast<uint8_t*>(Type) + sizeof(WM_MEDIA_TYPE);
  std::memcpy(Type->pbFormat, &Wave, sizeof Wave);
  return S_OK;
}

class FakeConfig final : public Fake<IWMStreamConfig, IWMMediaProps> {
 public:
  FakeConfig(const FakeFormat& AFormat, int AIndex) : Format(AFormat), Index(AIndex) {}
  uint32_t AddRef() override { return ++Refs; }
  HRESULT GetStreamType(GUID* T) override { return GetType(T); }
  HRESULT GetStreamNumber(uint16_t* N) override {
    *N = Number;
    return S_OK;
  }
  HRESULT SetStreamNumber(uint16_t N) override {
    Number = N;
    return S_OK;
  }
  HRESULT SetStreamName(const char16_t* N) override {
    Name = N;
    return S_OK;
  }
  HRESULT SetConnectionName(const char16_t* N) override {
    Connection = N;
    return S_OK;
  }
  HRESULT GetBitrate(uint32_t* B) override {
    *B = Format.Bitrate;
    return S_OK;
  }
  HRESULT GetType(GUID* T) override {
    *T = WMMEDIATYPE_Audio;
    return S_OK;
  }
  HRESULT GetMediaType(WM_MEDIA_TYPE* Type, uint32_t* Size) override {
    WAVEFORMATEX W{};
    W.wFormatTag = 0x161;
    W.nChannels = Format.Channels;
    W.nSamplesPerSec = Format.Rate;
    W.wBitsPerSample = Format.Bits;
    return MediaType(WMMEDIATYPE_Audio, Format.SubType, W, Type, Size);
  }
  HRESULT SetMediaType(const WM_MEDIA_TYPE*) override { return E_NOTIMPL; }

  FakeFormat Format;
  int Index;
  uint16_t Number = 0;
  std::u16string Name, Connection;

 private:
  void* Find(const IID& riid) override {
    if (riid == IID_IWMStreamConfig || riid == IID_IUnknown)
      return static_cast<IWMStreamConfig*>(this);
    if (riid == IID_IWMMediaProps) return static_cast<IWMMediaProps*>(this);
    return nullptr;
  }
};

class FakeProfile final : public Fake<IWMProfile> {
 public:
  HRESULT GetStreamCount(uint32_t* N) override {
    *N = Current->AddedFormat >= 0 ? 1 : 0;
    return S_OK;
  }
  HRESULT AddStream(IWMStreamConfig* C) override {
    if (Current->AddStreamResult != S_OK) return Current->AddStreamResult;
    auto* Config = static_cast<FakeConfig*>(C);
    Current->AddedFormat = Config->Index;
    Current->StreamNumber = Config->Number;
    Current->StreamName = Config->Name;
    Current->ConnectionName = Config->Connection;
    return S_OK;
  }

 private:
  void* Find(const IID& riid) override {
    return riid == IID_IWMProfile || riid == IID_IUnknown ? static_cast<IWMProfile*>(this)
                                                          : nullptr;
  }
};

class FakeManager final : public Fake<IWMProfileManager, IWMCodecInfo3> {
 public:
  HRESULT CreateEmptyProfile(uint32_t Version, IWMProfile** P) override {
    Current->ProfileVersion = Version;
    *P = new FakeProfile();
    return S_OK;
  }
  HRESULT GetCodecInfoCount(const GUID& T, uint32_t* N) override {
    *N = T == WMMEDIATYPE_Audio ? static_cast<uint32_t>(Current->Codecs.size()) : 0;
    return S_OK;
  }
  HRESULT GetCodecFormatCount(const GUID&, uint32_t C, uint32_t* N) override {
    *N = static_cast<uint32_t>(Current->Codecs.at(C).size());
    return S_OK;
  }
  HRESULT GetCodecFormat(const GUID&, uint32_t C, uint32_t F, IWMStreamConfig** P) override {
    *P = new FakeConfig(Current->Codecs.at(C).at(F), static_cast<int>(C * 100 + F));
    return S_OK;
  }
  HRESULT GetCodecName(const GUID&, uint32_t, char16_t*, uint32_t*) override { return E_NOTIMPL; }
  HRESULT GetCodecFormatDesc(const GUID&, uint32_t, uint32_t, IWMStreamConfig**, char16_t*,
                             uint32_t*) override {
    return E_NOTIMPL;
  }
  HRESULT GetCodecFormatProp(const GUID&, uint32_t C, uint32_t F, const char16_t* Name,
                             WMT_ATTR_DATATYPE* Type, uint8_t* Value, uint32_t* Size) override {
    const int64_t Quality = Current->Codecs.at(C).at(F).Quality;
    if (std::u16string_view(Name) != u"_VBRQUALITY" || Quality < 0) return ASF_E_NOTFOUND;
    const auto Q = static_cast<uint32_t>(Quality);
    *Type = WMT_TYPE_DWORD;
    std::memcpy(Value, &Q, 4);
    *Size = 4;
    return S_OK;
  }
  HRESULT SetCodecEnumerationSetting(const GUID&, uint32_t, const char16_t* Name,
                                     WMT_ATTR_DATATYPE Type, const uint8_t* Value,
                                     uint32_t Size) override {
    int32_t V = 0;
    std::memcpy(&V, Value, 4);
    EXPECT_EQ(std::u16string_view(Name), u"_VBRENABLED");
    EXPECT_EQ(Type, WMT_TYPE_BOOL);
    EXPECT_EQ(Size, 4u);
    EXPECT_EQ(V, -1);
    return Current->VbrAccepted ? S_OK : E_FAIL;
  }

 private:
  void* Find(const IID& riid) override {
    if (riid == IID_IWMProfileManager || riid == IID_IUnknown)
      return static_cast<IWMProfileManager*>(this);
    if (riid == IID_IWMCodecInfo2 || riid == IID_IWMCodecInfo3)
      return static_cast<IWMCodecInfo3*>(this);
    return nullptr;
  }
};

class FakeInputProps final : public Fake<IWMInputMediaProps> {
 public:
  HRESULT GetType(GUID* T) override {
    *T = WMMEDIATYPE_Audio;
    return S_OK;
  }
  HRESULT GetMediaType(WM_MEDIA_TYPE* Type, uint32_t* Size) override {
    return MediaType(WMMEDIATYPE_Audio, WMMEDIASUBTYPE_PCM, Wave, Type, Size);
  }
  HRESULT SetMediaType(const WM_MEDIA_TYPE* Type) override {
    std::memcpy(&Wave, Type->pbFormat, sizeof Wave);
    return S_OK;
  }
  WAVEFORMATEX Wave = Current->Input;

 private:
  void* Find(const IID& riid) override {
    return riid == IID_IWMInputMediaProps || riid == IID_IWMMediaProps
               ? static_cast<IWMInputMediaProps*>(this)
               : nullptr;
  }
};

class FakeBuffer final : public Fake<INSSBuffer> {
 public:
  explicit FakeBuffer(uint32_t Max) : Data(Max) {}
  HRESULT GetLength(uint32_t* L) override {
    *L = Length;
    return S_OK;
  }
  HRESULT SetLength(uint32_t L) override {
    Length = L;
    return L <= Data.size() ? S_OK : E_INVALIDARG;
  }
  HRESULT GetMaxSize(uint32_t* M) override {
    *M = static_cast<uint32_t>(Data.size());
    return S_OK;
  }
  HRESULT GetBuffer(uint8_t** B) override {
    *B = Data.data();
    return S_OK;
  }
  HRESULT GetBufferAndLength(uint8_t** B, uint32_t* L) override {
    *B = Data.data();
    *L = Length;
    return S_OK;
  }
  std::vector<uint8_t> Data;
  uint32_t Length = 0;

 private:
  void* Find(const IID&) override { return nullptr; }
};

class FakeWriter final : public Fake<IWMWriter, IWMWriterAdvanced, IWMHeaderInfo> {
 public:
  HRESULT SetProfile(IWMProfile*) override { return S_OK; }
  HRESULT GetInputCount(uint32_t* N) override {
    *N = 1;
    return S_OK;
  }
  HRESULT GetInputProps(uint32_t, IWMInputMediaProps** P) override {
    *P = new FakeInputProps();
    return S_OK;
  }
  HRESULT SetInputProps(uint32_t, IWMInputMediaProps* P) override {
    Current->InputSet = true;
    Current->InputWritten = static_cast<FakeInputProps*>(P)->Wave;
    return S_OK;
  }
  HRESULT BeginWriting() override { return Current->BeginResult; }
  HRESULT EndWriting() override {
    if (Current->OnEnd) Current->OnEnd();
    return S_OK;
  }
  HRESULT AllocateSample(uint32_t Size, INSSBuffer** B) override {
    *B = new FakeBuffer(Size);
    return S_OK;
  }
  HRESULT WriteSample(uint32_t, uint64_t Time, uint32_t, INSSBuffer* B) override {
    Current->Times.push_back(Time);
    Current->Lengths.push_back(static_cast<FakeBuffer*>(B)->Length);
    if (Current->OnWrite) Current->OnWrite(Current->Times.size());
    return Current->WriteResult;
  }
  HRESULT AddSink(IWMWriterSink*) override { return S_OK; }
  HRESULT RemoveSink(IWMWriterSink*) override { return S_OK; }
  HRESULT GetAttributeByName(uint16_t*, const char16_t*, WMT_ATTR_DATATYPE*, uint8_t*,
                             uint16_t*) override {
    return E_NOTIMPL;
  }
  HRESULT SetAttribute(uint16_t Stream, const char16_t* Name, WMT_ATTR_DATATYPE Type,
                       const uint8_t* Value, uint16_t Length) override {
    EXPECT_EQ(Stream, 0);
    EXPECT_EQ(Type, WMT_TYPE_STRING);
    std::u16string Text(Length / 2, u'\0');
    std::memcpy(Text.data(), Value, Length);
    Current->Attributes.emplace_back(Name, Text);
    return S_OK;
  }

 private:
  void* Find(const IID& riid) override {
    if (riid == IID_IWMWriter || riid == IID_IUnknown) return static_cast<IWMWriter*>(this);
    if (riid == IID_IWMWriterAdvanced) return static_cast<IWMWriterAdvanced*>(this);
    if (riid == IID_IWMHeaderInfo) return static_cast<IWMHeaderInfo*>(this);
    return nullptr;
  }
};

class FakeSink final : public Fake<IWMWriterFileSink, IWMRegisterCallback> {
 public:
  ~FakeSink() override {
    if (Current->Callback) Current->Callback->Release();
    Current->Callback = nullptr;
  }
  HRESULT Open(const char16_t*) override { return S_OK; }
  HRESULT OnHeader(INSSBuffer*) override { return S_OK; }
  HRESULT IsRealTime(int32_t* R) override {
    *R = 0;
    return S_OK;
  }
  HRESULT OnDataUnit(INSSBuffer*) override { return S_OK; }
  HRESULT OnEndWriting() override { return S_OK; }
  HRESULT Advise(IWMStatusCallback* C, void*) override {
    C->AddRef();
    Current->Callback = C;
    return S_OK;
  }
  HRESULT Unadvise(IWMStatusCallback*, void*) override { return S_OK; }

 private:
  void* Find(const IID& riid) override {
    if (riid == IID_IWMWriterSink || riid == IID_IWMWriterFileSink || riid == IID_IUnknown)
      return static_cast<IWMWriterFileSink*>(this);
    if (riid == IID_IWMRegisterCallback) return static_cast<IWMRegisterCallback*>(this);
    return nullptr;
  }
};

HRESULT CreateManager(IWMProfileManager** P) {
  *P = new FakeManager();
  return S_OK;
}
HRESULT CreateWriter(IUnknown*, IWMWriter** P) {
  *P = new FakeWriter();
  return S_OK;
}
HRESULT CreateSink(IWMWriterFileSink** P) {
  *P = new FakeSink();
  return S_OK;
}

class ScriptedWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    Current = &S;
    Saved = {WMCreateProfileManager, WMCreateWriter, WMCreateWriterFileSink};
    WMCreateProfileManager = &CreateManager;
    WMCreateWriter = &CreateWriter;
    WMCreateWriterFileSink = &CreateSink;
    S.Input.wFormatTag = WAVE_FORMAT_PCM;
    S.Input.nChannels = 2;
    S.Input.nSamplesPerSec = 44100;
    S.Input.wBitsPerSample = 16;
    S.Input.cbSize = 7;  // left as the runtime gave it
  }
  void TearDown() override {
    WMCreateProfileManager = std::get<0>(Saved);
    WMCreateWriter = std::get<1>(Saved);
    WMCreateWriterFileSink = std::get<2>(Saved);
    EXPECT_EQ(S.Live, 0) << "a reference to the runtime was not released";
    Current = nullptr;
  }

  // The index (codec × 100 + format) FindCodecFormat chooses, or -1.
  int Find(uint32_t Target, uint16_t Channels = 2, uint16_t Bits = 16, uint32_t Rate = 44100,
           bool Lossless = false, bool VBR = false) {
    WAVEFORMATEX Template{};
    Template.wFormatTag = WAVE_FORMAT_PCM;
    Template.nChannels = Channels;
    Template.nSamplesPerSec = Rate;
    Template.wBitsPerSample = Bits;
    TInterfaceRef<IWMStreamConfig> Config;
    if (!FindCodecFormat(Template, Target, Lossless, VBR, Config)) return -1;
    return static_cast<FakeConfig*>(Config.Get())->Index;
  }

  // The message WriterSetFormatByBitrate raises, or empty when it configured a stream.
  std::string ByBitrate(uint32_t Target, bool VBR = false, bool Lossless = false) {
    wma_writer Writer;
    WriterOpenFile(Writer, u"x.wma", nullptr, nullptr);
    std::string Message;
    try {
      WriterSetFormatByBitrate(Writer, 2, 16, Target, VBR, Lossless, 44100);
    } catch (const Exception& e) {
      Message = e.what();
    }
    WriterCloseFile(Writer);
    return Message;
  }

  Script S;
  std::tuple<TWMCreateProfileManager, TWMCreateWriter, TWMCreateWriterFileSink> Saved;
};

TEST_F(ScriptedWriter, ClosestBitrateFirstAmongEquals) {
  S.Codecs = {{{128000, 48000}, {160000, 44100}, {160000, 48000}}};
  // The first is taken, the second replaces it (closer bitrate, rate no farther), the third
  // is no candidate (its distance 0 is not below 0).
  EXPECT_EQ(Find(160000), 1);
  // Reversed order of the equal pair: the 48 kHz one stays, being first.
  S.Codecs = {{{128000, 48000}, {160000, 48000}, {160000, 44100}}};
  EXPECT_EQ(Find(160000), 1);
  // A closer bitrate at a farther rate is passed over.
  S.Codecs = {{{160000, 44100}, {161000, 8000}}};
  EXPECT_EQ(Find(161000), 0);
  // Codecs are examined in order; the second codec's exact match wins.
  S.Codecs = {{{128000}}, {{160000}}};
  EXPECT_EQ(Find(160000), 100);
}

TEST_F(ScriptedWriter, TargetsBelowAThousandAreKilobits) {
  S.Codecs = {{{1000}, {999000}, {128000}}};
  EXPECT_EQ(ByBitrate(999), "");
  EXPECT_EQ(S.AddedFormat, 1);
  EXPECT_EQ(ByBitrate(1000), "");
  EXPECT_EQ(S.AddedFormat, 0);
  EXPECT_EQ(ByBitrate(160), "");
  EXPECT_EQ(S.AddedFormat, 2);
  S.AddedFormat = -1;
  EXPECT_EQ(ByBitrate(0), "Failed to init codec");
  EXPECT_EQ(S.AddedFormat, -1);
}

TEST_F(ScriptedWriter, ProfileAndInputDescribeTheSourcePcm) {
  S.Codecs = {{{160000, 48000}}};
  wma_writer Writer;
  WriterOpenFile(Writer, u"x.wma", nullptr, nullptr);
  ASSERT_TRUE(Writer.Initialized);
  WriterSetFormatByBitrate(Writer, 2, 16, 160, false, false, 44100);
  EXPECT_EQ(S.ProfileVersion, 0x90000u);
  EXPECT_EQ(S.StreamNumber, 1);
  EXPECT_EQ(S.StreamName, u"NAAudioStream");
  EXPECT_EQ(S.ConnectionName, u"NAAudioConnection");
  ASSERT_TRUE(S.InputSet);
  // The source's own rate, not the format's: converting is the runtime's business.
  const WAVEFORMATEX W = S.InputWritten;  // packed: compared through copies of its fields
  EXPECT_EQ(int{W.wFormatTag}, WAVE_FORMAT_PCM);
  EXPECT_EQ(uint32_t{W.nSamplesPerSec}, 44100u);
  EXPECT_EQ(int{W.nBlockAlign}, 4);
  EXPECT_EQ(uint32_t{W.nAvgBytesPerSec}, 176400u);
  EXPECT_EQ(int{W.cbSize}, 7);
  EXPECT_EQ(Writer.BytesPerSecond, 176400u);
  WriterCloseFile(Writer);
}

TEST_F(ScriptedWriter, VbrQuality) {
  S.Codecs = {{{0, 44100, 2, 16, WMMEDIASUBTYPE_WMAudioV8, 10},
               {0, 44100, 2, 16, WMMEDIASUBTYPE_WMAudioV8, 50},
               {0, 44100, 2, 16, WMMEDIASUBTYPE_WMAudioV8, 90}}};
  EXPECT_EQ(Find(50, 2, 16, 44100, false, true), 1);
  EXPECT_EQ(Find(98, 2, 16, 44100, false, true), 2);
  // Quality 0: no format is nearer than the starting best of 0.
  EXPECT_EQ(Find(0, 2, 16, 44100, false, true), -1);
  EXPECT_EQ(ByBitrate(0, true), "Failed to init codec");
  // A codec that refuses VBR enumeration is skipped.
  S.VbrAccepted = false;
  EXPECT_EQ(Find(50, 2, 16, 44100, false, true), -1);
}

TEST_F(ScriptedWriter, WidthsWithoutAMatch) {
  S.Codecs = {{{128000},
               {160000, 44100, 2, 16, WMMEDIASUBTYPE_WMAudio_Lossless, 40},
               {192000, 44100, 2, 16, WMMEDIASUBTYPE_WMAudio_Lossless, 60}}};
  // Bitrate mode: channels and width must match exactly.
  EXPECT_EQ(Find(160000, 2, 24), -1);
  EXPECT_EQ(Find(160000, 1, 16), -1);
  EXPECT_EQ(Find(160000, 2, 8), -1);
  // Lossless and VBR fall back to their first candidate whatever its layout.
  EXPECT_EQ(Find(0, 2, 24, 44100, true), 1);
  EXPECT_EQ(Find(60, 2, 24, 44100, false, true), 1);
  // With a matching width the lossless search takes the last equal one.
  EXPECT_EQ(Find(0, 2, 16, 44100, true), 2);
}

TEST_F(ScriptedWriter, ProfileRejectingTheStreamAndBeginFailing) {
  S.Codecs = {{{160000}}};
  S.AddStreamResult = E_FAIL;
  EXPECT_EQ(ByBitrate(160), "fff");
  S.AddStreamResult = S_OK;
  S.BeginResult = E_FAIL;
  wma_writer Writer;
  WriterOpenFile(Writer, u"x.wma", nullptr, nullptr);
  WriterSetFormatByBitrate(Writer, 2, 16, 160, false, false, 44100);
  EXPECT_THROW(
      {
        try {
          WriterBegin(Writer);
        } catch (const EAuException& e) {
          EXPECT_STREQ(
              e.what(),
              "Filed to set data writer, possible reason: required WMA codec not installed.");
          throw;
        }
      },
      EAuException);
  WriterCloseFile(Writer);
}

TEST_F(ScriptedWriter, TimeStampsAreRunningEndTimes) {
  S.Codecs = {{{160000}}};
  wma_writer Writer;
  WriterOpenFile(Writer, u"x.wma", nullptr, nullptr);
  WriterSetFormatByBitrate(Writer, 2, 16, 160, false, false, 44100);
  WriterBegin(Writer);
  std::vector<uint8_t> Block(14112, 0x5A);
  for (int i = 0; i < 3; ++i) WriterWrite(Writer, Block.data(), 14112);
  EXPECT_EQ(S.Times, (std::vector<uint64_t>{800000, 1600000, 2400000}));
  EXPECT_EQ(S.Lengths, (std::vector<uint32_t>{14112, 14112, 14112}));
  S.WriteResult = MakeHResult(0xC00D0BCBu);
  try {
    WriterWrite(Writer, Block.data(), 100);
    ADD_FAILURE();
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "Failed to write data: C00D0BCB");
  }
  EXPECT_FALSE(Writer.buffer);
  WriterCloseFile(Writer);
}

// ---- TWMAOut over the scripted runtime ----

class ScriptedOutput : public ScriptedWriter {
 protected:
  void Configure(uint32_t Channels, uint32_t Rate, int64_t Frames) {
    In.Chans = Channels;
    In.Rate = Rate;
    In.TotalFrames = Frames;
    In.MaxBlock = 100000;
    S.Input.nChannels = static_cast<uint16_t>(Channels);
    S.Input.nSamplesPerSec = Rate;
    S.Codecs = {{{160000, Rate, static_cast<uint16_t>(Channels)}}};
    Out.SetInput(&In);
    Out.SetFileName("x.wma");
    Out.SetDesiredBitrate(160);
  }
  PatternInput In;
  TWMAOut Out;
};

TEST_F(ScriptedOutput, EightyMillisecondBlocksWithTheirTimeStamps) {
  Configure(2, 44100, 3528 * 3);
  Out.BlockingRun();
  // Three full blocks, then the empty one that tells the input has ended.
  EXPECT_EQ(S.Lengths, (std::vector<uint32_t>{14112, 14112, 14112, 0}));
  EXPECT_EQ(S.Times, (std::vector<uint64_t>{800000, 1600000, 2400000, 2400000}));
}

TEST_F(ScriptedOutput, MonoAt48kHzUses7680ByteBlocks) {
  Configure(1, 48000, 5000);
  Out.BlockingRun();
  ASSERT_GE(S.Lengths.size(), 2u);
  EXPECT_EQ(S.Lengths[0], 7680u);
  EXPECT_EQ(S.Lengths[1], 2320u);
}

TEST_F(ScriptedOutput, TagsAreWrittenInOrderAndEmptyOnesLeftOut) {
  Configure(2, 44100, 100);
  TId3v2Tags Tags;
  Tags.SetTitle(u"T");
  Tags.SetYear("1999");
  Tags.SetTrack("3");
  Tags.SetComment(u"C \u00a9");
  Tags.SetAlbum(u"A");
  Out.SetId3v2Tags(&Tags);
  Out.BlockingRun();
  const std::vector<std::pair<std::u16string, std::u16string>> Expected = {
      {u"WM/AlbumTitle", u"A"},
      {u"WM/Year", u"1999"},
      {u"WM/Track", u"3"},
      {u"Title", u"T"},
      {u"Copyright", u"C \u00a9"}};
  EXPECT_EQ(S.Attributes, Expected);
}

TEST_F(ScriptedOutput, ErrorStatusEndsTheRunAtTheNextBlock) {
  Configure(2, 44100, 3528 * 10);
  S.OnWrite = [](size_t Count) {
    // Statuses other than 0, 9, 26 and 30 are no errors; only the low byte counts.
    if (Count == 1) Current->Callback->OnStatus(WMT_STATUS(10), S_OK, WMT_TYPE_DWORD, nullptr, 0);
    if (Count == 2)
      Current->Callback->OnStatus(WMT_STATUS(0x109), E_FAIL, WMT_TYPE_DWORD, nullptr, 0);
  };
  bool Done = false;
  Out.SetOnDone([&](TComponent*) { Done = true; });
  Out.Run();
  ASSERT_TRUE(PumpUntil([&] { return Done; }));
  EXPECT_EQ(S.Lengths.size(), 2u);
  EXPECT_EQ(Out.ExceptionMessage(), "Windows Media output error");
}

TEST_F(ScriptedOutput, ErrorStatusAfterTheLastBlockLeavesTheMessage) {
  Configure(2, 44100, 100);
  // Say, the final header cannot be written.
  S.OnEnd = [] { Current->Callback->OnStatus(WMT_ERROR, E_FAIL, WMT_TYPE_DWORD, nullptr, 0); };
  bool Done = false;
  Out.SetOnDone([&](TComponent*) { Done = true; });
  Out.Run();
  ASSERT_TRUE(PumpUntil([&] { return Done; }));
  EXPECT_EQ(Out.ExceptionMessage(), "Windows Media output error.");
}

}  // namespace
