// Loudness measured through the engine's own inputs, against loudgain (its track and album
// figures) and ffmpeg's ebur128 filter, on files sox made.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AppTestFiles.h"
#include "CliRun.h"
#include "LoudnessReference.h"
#include "loudness/EBUR128Library.h"
#include "loudness/LoudnessMeter.h"
#include "pipeline/AuFormatStage.h"
#include "platform/Exception.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

void Sox(const std::string& Arguments) {
  ASSERT_EQ(std::system(("sox " + Arguments + " 2>/dev/null").c_str()), 0) << Arguments;
}

class LoudnessFiles : public ::testing::Test {
 protected:
  TempDir Dir;
};

}  // namespace

// Levels, widths, rates, layouts and a gap the gate must leave out, file by file.
TEST_F(LoudnessFiles, TracksAgreeWithIndependentMeters) {
  // Name, then sox's format and effects for it.
  const std::vector<std::pair<std::string, std::string>> made = {
      {"loud.wav", "-r 44100 -c 2 -b 16 # synth 8 sine 997 gain -3"},
      {"quiet.flac", "-r 44100 -c 2 -b 24 # synth 8 sine 440 gain -30"},
      {"pink.flac", "-r 48000 -c 2 -b 16 # synth 10 pinknoise gain -12"},
      {"mono.wav", "-r 22050 -c 1 -b 16 # synth 6 sine 1500 gain -9"},
      // LFE (the fourth) loudest: it must not count; the surrounds weigh more than the front.
      {"surround.wav",
       "-r 48000 -c 6 -b 24 # synth 6 sine 300 sine 500 sine 700 sine 60 "
       "sine 900 sine 1100 remix 1v0.2 2v0.2 3v0.2 4v0.9 5v0.4 6v0.4"},
      {"hires.flac", "-r 96000 -c 2 -b 24 # synth 6 sine 12000 gain -6"},
  };
  std::vector<std::string> files;
  for (const auto& [name, arguments] : made) {
    const size_t at = arguments.find('#');
    Sox("-n " + arguments.substr(0, at) + Quoted(Dir / name) + arguments.substr(at + 1));
    files.push_back(Dir / name);
  }
  // 4 s of tone, 20 s of silence, 4 s of quieter tone: ungated, this would read over 5 LU lower.
  const std::string tone = "|sox -n -r 44100 -c 2 -p synth 4 sine 1000 gain ";
  Sox(Quoted(tone + "-10") + " '|sox -n -r 44100 -c 2 -p trim 0 20' " + Quoted(tone + "-16") +
      " -b 16 " + Quoted(Dir / "gap.wav"));
  files.push_back(Dir / "gap.wav");
  const auto reference = Loudgain(files, false);
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    const auto meter = MeasureFileLoudness(file);
    const TLoudnessResult r = meter->Result();
    ASSERT_TRUE(reference.count(file));
    const LoudgainRow& want = reference.at(file);
    EXPECT_NEAR(r.Integrated, want.Integrated, 0.05);
    EXPECT_NEAR(r.Range, want.Range, 0.05);
    EXPECT_NEAR(PeakDecibels(r.TruePeak), want.TruePeakDb, 0.1);
    EXPECT_LE(r.SamplePeak, r.TruePeak + 1e-9);
    EXPECT_NEAR(r.Integrated, FfmpegIntegrated(file), 0.1);
  }
}

// Silence and nothing at all read as -inf, and an album gates all its tracks together.
TEST_F(LoudnessFiles, SilenceAndAlbum) {
  // -D: no dither, which would leave it a few LSB from digital silence.
  Sox("-D -n -r 44100 -c 2 -b 16 " + Dir / "silence.wav" + " trim 0 5");
  const auto silent = MeasureFileLoudness(Dir / "silence.wav");
  EXPECT_TRUE(silent->Result().Silent());
  EXPECT_EQ(silent->TruePeak(), 0);
  EXPECT_EQ(PeakDecibels(silent->TruePeak()), -INFINITY);

  Sox("-n -r 44100 -c 2 -b 16 " + Dir / "a.flac" + " synth 6 sine 440 gain -8");
  Sox("-n -r 48000 -c 2 -b 24 " + Dir / "b.flac" + " synth 12 pinknoise gain -25");
  Sox("-n -r 44100 -c 2 -b 16 " + Dir / "c.flac" + " synth 3 sine 2000 gain -1");
  const std::vector<std::string> files = {Dir / "a.flac", Dir / "b.flac", Dir / "c.flac"};
  const auto reference = Loudgain(files, true);
  ASSERT_TRUE(reference.count("Album"));
  std::vector<std::unique_ptr<TLoudnessMeter>> meters;
  std::vector<const TLoudnessMeter*> tracks;
  for (const std::string& file : files) {
    meters.push_back(MeasureFileLoudness(file));
    tracks.push_back(meters.back().get());
  }
  // With the silent track too: it adds no block above the gate.
  tracks.push_back(silent.get());
  const TLoudnessResult album = TLoudnessMeter::Album(tracks);
  EXPECT_NEAR(album.Integrated, reference.at("Album").Integrated, 0.05);
  EXPECT_NEAR(album.Range, reference.at("Album").Range, 0.05);
  EXPECT_NEAR(PeakDecibels(album.TruePeak), reference.at("Album").TruePeakDb, 0.1);
  // Not the mean of the tracks' figures: the loudest track's blocks dominate.
  EXPECT_GT(album.Integrated,
            (meters[0]->Integrated() + meters[1]->Integrated() + meters[2]->Integrated()) / 3 + 1);

  EXPECT_TRUE(TLoudnessMeter::Album({silent.get()}).Silent());
}

// Measured as an output would take the audio: through a stage that mixes 48 kHz stereo down
// to 44.1 kHz mono, it reads as loudgain reads the file sox converted the same way; several
// threads measuring at once get the same figures; a set stop flag ends the measuring.
TEST_F(LoudnessFiles, ThroughAFormatStage) {
  const std::string source = Dir / "stereo.wav", converted = Dir / "mono.wav";
  Sox("-n -r 48000 -c 2 -b 24 " + Quoted(source) + " synth 8 sine 440 sine 3000 gain -6");
  Sox(Quoted(source) + " -b 24 " + Quoted(converted) + " remix 1v0.5,2v0.5 rate -v 44100");
  const auto reference = Loudgain({converted}, false);
  ASSERT_TRUE(reference.count(converted));
  const std::function<void(TAuFormatStage&)> toMono = [](TAuFormatStage& Stage) {
    Stage.SetSampleRate(44100);
    Stage.SetChannels(1);
  };
  const std::atomic<bool> go{false};
  const auto meter = MeasureFileLoudness(source, toMono, &go);
  EXPECT_EQ(meter->Channels(), 1u);
  EXPECT_EQ(meter->SampleRate(), 44100u);
  EXPECT_EQ(meter->Frames(), 8u * 44100);
  const TLoudnessResult r = meter->Result();
  EXPECT_NEAR(r.Integrated, reference.at(converted).Integrated, 0.05);
  EXPECT_NEAR(PeakDecibels(r.TruePeak), reference.at(converted).TruePeakDb, 0.1);

  std::vector<double> concurrent(3);
  {
    std::vector<std::jthread> threads;
    for (double& result : concurrent)
      threads.emplace_back([&] {
        try {
          result = MeasureFileLoudness(source, toMono, nullptr)->Integrated();
        } catch (const std::exception&) {
          result = NAN;
        }
      });
  }
  for (const double result : concurrent) EXPECT_EQ(result, r.Integrated);

  const std::atomic<bool> stop{true};
  for (const bool shaped : {false, true}) {
    try {
      MeasureFileLoudness(source, shaped ? toMono : nullptr, &stop);
      ADD_FAILURE() << "not stopped";
    } catch (const EAuException& e) {
      EXPECT_STREQ(e.what(), "The measuring was stopped");
    }
  }
}

// The command prints a line a file, the album after, and a file it cannot read on stderr.
TEST_F(LoudnessFiles, CommandLine) {
  Sox("-n -r 44100 -c 2 -b 16 " + Dir / "one.flac" + " synth 5 sine 1000 gain -6");
  Sox("-n -r 44100 -c 2 -b 16 " + Dir / "two.wav" + " synth 5 sine 1000 gain -12");
  std::system(("printf 'not audio' > " + Quoted(Dir / "bad.wav")).c_str());
  const auto reference = Loudgain({Dir / "one.flac", Dir / "two.wav"}, true);
  ASSERT_EQ(reference.size(), 3u);
  char want[512];
  std::snprintf(want, sizeof want,
                "%s: %.2f LUFS, range %.2f LU, true peak %.2f dBTP\n"
                "%s: %.2f LUFS, range %.2f LU, true peak %.2f dBTP\n"
                "album: %.2f LUFS, true peak %.2f dBTP\n",
                (Dir / "one.flac").c_str(), reference.at(Dir / "one.flac").Integrated,
                reference.at(Dir / "one.flac").Range, reference.at(Dir / "one.flac").TruePeakDb,
                (Dir / "two.wav").c_str(), reference.at(Dir / "two.wav").Integrated,
                reference.at(Dir / "two.wav").Range, reference.at(Dir / "two.wav").TruePeakDb,
                reference.at("Album").Integrated, reference.at("Album").TruePeakDb);

  CliRun run(Dir, {"--loudness", Dir / "one.flac", Dir / "bad.wav", Dir / "two.wav"});
  EXPECT_EQ(run.Wait(), 1);
  EXPECT_EQ(run.Out(), want);
  EXPECT_EQ(run.Err(), "failed: " + Dir / "bad.wav" + ": Not a valid or supported audio file\n");

  CliRun single(Dir, {"--loudness", Dir / "one.flac"});
  EXPECT_EQ(single.Wait(), 0);
  EXPECT_EQ(single.Out().find("album"), std::string::npos);
}

// Without the library, measuring says which one is missing, and works again once it is back.
TEST(Loudness, MissingLibraryIsNamed) {
  EBUR128Library().SetFileNames({"libebur128-absent.so.1"});
  try {
    TLoudnessMeter meter(2, 44100);
    ADD_FAILURE() << "measured without the library";
  } catch (const EAuException& e) {
    EXPECT_EQ(std::string(e.what()), EBUR128Library().FileName() + " library could not be loaded.");
  }
  EBUR128Library().SetFileNames({EBUR128Library().FileName()});
  TLoudnessMeter meter(2, 44100);
  const std::vector<float> tone = [] {
    std::vector<float> samples;
    for (int i = 0; i < 44100 * 2; ++i)
      for (int c = 0; c < 2; ++c) samples.push_back(0.5f * std::sin(i * 2 * M_PI * 1000 / 44100));
    return samples;
  }();
  meter.AddFrames(tone.data(), tone.size() / 2);
  // BS.1770 calibrates a full-scale 1 kHz sine in one channel to -3.01 LUFS: in two, 0; at
  // half the amplitude, -6.02.
  EXPECT_NEAR(meter.Integrated(), -6.02, 0.05);
  EXPECT_NEAR(PeakDecibels(meter.SamplePeak()), -6.02, 0.01);
}

// Our own true peak against libebur128's, whose filter it runs faster: signals whose peaks
// fall between samples, at every oversampling factor, in blocks of odd sizes.
TEST(Loudness, TruePeakIsTheLibrarysOwn) {
  const TEBUR128Api& api = LoadEBUR128Api();
  struct Case {
    uint32_t Channels, Rate;
    double Frequency;  // Hz; 0 for noise
  };
  for (const Case& c : {Case{2, 44100, 11025}, Case{1, 48000, 0}, Case{6, 44100, 997},
                        Case{2, 96000, 31000}, Case{2, 192000, 40000}}) {
    const size_t frames = 100003;
    std::vector<float> audio(frames * c.Channels);
    uint32_t noise = 12345;
    for (size_t n = 0; n < frames; ++n)
      for (uint32_t ch = 0; ch < c.Channels; ++ch) {
        noise = noise * 1664525u + 1013904223u;
        const double phase =
            2 * M_PI * c.Frequency * static_cast<double>(n) / c.Rate + ch * M_PI / 2;
        audio[n * c.Channels + ch] = c.Frequency == 0
                                         ? static_cast<float>((noise >> 8) / 16777216.0 - 0.5)
                                         : static_cast<float>(0.7 * std::sin(phase + M_PI / 4));
      }
    ebur128_state* reference = api.init(c.Channels, c.Rate, EBUR128_MODE_TRUE_PEAK);
    ASSERT_NE(reference, nullptr);
    TLoudnessMeter ours(c.Channels, c.Rate);
    for (size_t at = 0, step = 777; at < frames; at += step, step = step * 3 % 5000 + 1) {
      const size_t now = std::min(step, frames - at);
      ASSERT_EQ(api.add_frames_float(reference, audio.data() + at * c.Channels, now), 0);
      ours.AddFrames(audio.data() + at * c.Channels, now);
    }
    double truePeak = 0, samplePeak = 0;
    for (uint32_t ch = 0; ch < c.Channels; ++ch) {
      double value = 0;
      api.true_peak(reference, ch, &value);
      truePeak = std::max(truePeak, value);
      api.sample_peak(reference, ch, &value);
      samplePeak = std::max(samplePeak, value);
    }
    api.destroy(&reference);
    EXPECT_NEAR(ours.TruePeak(), truePeak, 1e-5) << c.Rate << " Hz, " << c.Channels;
    EXPECT_EQ(ours.SamplePeak(), samplePeak) << c.Rate << " Hz, " << c.Channels;
    // A quarter of the rate, sampled half-way between its peaks: the case oversampling is for.
    if (c.Frequency * 4 == c.Rate) {
      EXPECT_GT(ours.TruePeak(), samplePeak * 1.3);
    }
  }
}
