// Loudness in a batch: the measuring of each output, normalising, and album values.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <utility>

#include "app/BatchConverter.h"
#include "app/NameTemplate.h"
#include "app/OutputVerifier.h"
#include "pipeline/AuDeliveryTap.h"
#include "pipeline/AuFormatStage.h"
#include "tags/WrittenTags.h"

namespace fs = std::filesystem;

namespace tunevert {

namespace {

// Normalised audio stays this far below full scale at its true peak.
constexpr double kPeakCeilingDbtp = -1;
// The most a format stage raises or lowers a level; beyond it is all but silence.
constexpr double kLargestGainDb = 60;

// The gain that brings Measured to Target LUFS, short of the peak ceiling.
double NormalizingGain(const TLoudnessResult& Measured, double Target, bool& Limited) {
  Limited = false;
  if (Measured.Silent()) return 0;
  double gain = Target - Measured.Integrated;
  const double headroom = kPeakCeilingDbtp - PeakDecibels(Measured.TruePeak);
  if (gain > headroom) {
    gain = headroom;
    Limited = true;
  }
  return std::clamp(gain, -kLargestGainDb, kLargestGainDb);
}

// What a file whose audio is Db louder than was measured comes to.
TLoudnessResult Raised(TLoudnessResult Measured, double Db) {
  if (Db == 0) return Measured;
  const double factor = std::pow(10.0, Db / 20);
  Measured.Integrated += Db;
  Measured.TruePeak *= factor;
  Measured.SamplePeak *= factor;
  return Measured;
}

}  // namespace

std::string TBatchConverter::AlbumKey(const TBatchSource& Source) {
  const TNameFields fields = ReadNameFields(Source);
  const auto album = fields.find("album");
  if (album != fields.end()) {
    const auto artist = fields.find("albumartist");
    return "album\n" + album->second + '\n' + (artist != fields.end() ? artist->second : "");
  }
  std::error_code error;
  return "folder\n" + fs::absolute(Source.File, error).parent_path().string();
}

void TBatchConverter::FormAlbums(const std::vector<std::string>& Albums) {
  FAlbumOf.assign(FActions.size(), -1);
  FAlbums.clear();
  std::map<std::string, int> byKey;
  for (size_t i = 0; i < Albums.size() && i < FActions.size(); ++i) {
    if (FActions[i] != TEntryAction::Convert || Albums[i].empty()) continue;
    const auto [it, added] = byKey.emplace(Albums[i], static_cast<int>(FAlbums.size()));
    if (added) FAlbums.emplace_back();
    FAlbumOf[i] = it->second;
    ++FAlbums[static_cast<size_t>(it->second)].Waiting;
  }
}

void TBatchConverter::StartLoudnessScan() {
  std::vector<TLoudnessScan::TItem> items;
  for (size_t i = 0; i < FActions.size(); ++i)
    if (FActions[i] == TEntryAction::Convert) items.push_back({static_cast<int>(i), FFiles[i]});
  const size_t count = items.size();
  Status("Measuring the loudness: 0 of " + std::to_string(count));
  // Measured as the output will receive the audio: at its rate, channels and depth.
  TLoudnessScan::TShape shape;
  if (ChangesFormat(Settings, *FFormat))
    shape = [settings = Settings, format = FFormat](TAuFormatStage& Stage) {
      ShapeStage(Stage, settings, *format);
    };
  FScan = std::make_unique<TLoudnessScan>(
      std::move(items), FActiveLanes, std::move(shape),
      [this](size_t Measured, size_t Total) {
        if (!FRunning || IsDestroying()) return;
        FInScanReport = true;
        Status("Measuring the loudness: " + std::to_string(Measured) + " of " +
               std::to_string(Total));
        FInScanReport = false;
      },
      [this](std::vector<TLoudnessScan::TMeasured>& Measured) {
        FInScanReport = true;
        LoudnessScanned(Measured);
        FInScanReport = false;
      });
}

void TBatchConverter::LoudnessScanned(std::vector<TLoudnessScan::TMeasured>& Measured) {
  if (!FRunning || IsDestroying()) return;
  const double target = NormalizeLufs.value_or(kReplayGainReferenceLufs);
  FEntryGain.assign(FFiles.size(), 0);
  FGainLimited.assign(FFiles.size(), false);
  std::map<int, std::vector<const TLoudnessScan::TMeasured*>> albums;
  for (const TLoudnessScan::TMeasured& entry : Measured) {
    const size_t index = static_cast<size_t>(entry.Index);
    if (entry.Meter == nullptr) {
      FMeasureFailures[entry.Index] = entry.Failure;
      continue;
    }
    if (FAlbumOf.empty() || FAlbumOf[index] < 0) {
      bool limited = false;
      FEntryGain[index] = NormalizingGain(entry.Meter->Result(), target, limited);
      FGainLimited[index] = limited;
    } else {
      albums[FAlbumOf[index]].push_back(&entry);
    }
  }
  // An album is brought to the target as a whole, its tracks' levels kept apart.
  for (const auto& [album, tracks] : albums) {
    std::vector<const TLoudnessMeter*> meters;
    for (const TLoudnessScan::TMeasured* track : tracks) meters.push_back(track->Meter.get());
    bool limited = false;
    double gain = 0;
    try {
      gain = NormalizingGain(TLoudnessMeter::Album(meters), target, limited);
    } catch (const std::exception& e) {
      for (const TLoudnessScan::TMeasured* track : tracks)
        FMeasureFailures[track->Index] = e.what();
    }
    for (const TLoudnessScan::TMeasured* track : tracks) {
      FEntryGain[static_cast<size_t>(track->Index)] = gain;
      FGainLimited[static_cast<size_t>(track->Index)] = limited;
    }
  }
  StartWaiting();
}

void TBatchConverter::MeasuredTrack(TLane& Lane, int Index, TCarriedTags& Tags) {
  Lane.Meter = Lane.Tap->TakeMeter();
  if (Lane.Meter == nullptr) throw EAuException("The loudness of the output was not measured");
  // An Opus output's players apply its header's gain before anything else.
  const TLoudnessResult track = Raised(Lane.Meter->Result(), Lane.HeaderGainDb);
  Lane.Loudness.Track = track;
  if (!FEntryGain.empty()) {
    Lane.Loudness.AppliedGainDb = FEntryGain[static_cast<size_t>(Index)];
    Lane.Loudness.PeakLimited = FGainLimited[static_cast<size_t>(Index)];
  }
  if (ReplayGain != TReplayGain::Off)
    AddReplayGainTags(Tags, false, track.Integrated, track.TruePeak);
}

void TBatchConverter::RewriteGains(TEntryOutput& Output, const TCarriedTags& Gains) {
  const std::string& format = FFormat->TagFormat;
  TCarriedTags tags = Output.Tags;
  for (const auto& [key, values] : Gains.Text) tags.Text[key] = values;
  // What the output wrote of its own (an M4A file's gapless record) stays.
  const std::vector<std::string> own = FieldsOutputsAdd(format);
  try {
    if (!own.empty()) {
      const TCarriedTags written = ReadWrittenTags(Output.Temp, format);
      for (const std::string& key : own)
        if (const auto it = written.Text.find(key); it != written.Text.end())
          tags.Text[key] = it->second;
    }
    WriteCarriedTags(Output.Temp, tags, format, &Output.Tags);
  } catch (const std::exception& e) {
    throw EAuException(std::string("The tags could not be written: ") + e.what());
  }
  for (const std::string& key : own) Output.Tags.Text.erase(key);
}

bool TBatchConverter::HoldForAlbum(TLane& Lane, int Index) {
  if (FAlbumOf.empty() || FAlbumOf[static_cast<size_t>(Index)] < 0) return false;
  TAlbum& album = FAlbums[static_cast<size_t>(FAlbumOf[static_cast<size_t>(Index)])];
  TEntryOutput& finished = Lane;
  album.Held.push_back({Index, std::move(finished)});
  finished = TEntryOutput();
  return true;
}

void TBatchConverter::AlbumEntrySettled(int Index) {
  if (FAlbumOf.empty() || FAlbumOf[static_cast<size_t>(Index)] < 0) return;
  TAlbum& album = FAlbums[static_cast<size_t>(FAlbumOf[static_cast<size_t>(Index)])];
  if (--album.Waiting == 0) FinishAlbum(album);
}

void TBatchConverter::FinishAlbum(TAlbum& Album) {
  std::vector<THeldOutput> held = std::move(Album.Held);
  Album.Held.clear();
  if (held.empty()) return;
  std::sort(held.begin(), held.end(),
            [](const THeldOutput& a, const THeldOutput& b) { return a.Index < b.Index; });
  std::vector<const TLoudnessMeter*> meters;
  for (const THeldOutput& track : held) meters.push_back(track.Output.Meter.get());
  std::string albumFailure;
  TCarriedTags albumGains;
  try {
    // Normalised as a whole, every track of an album carries the same header gain.
    const TLoudnessResult album =
        Raised(TLoudnessMeter::Album(meters), held.front().Output.HeaderGainDb);
    AddReplayGainTags(albumGains, true, album.Integrated, album.TruePeak);
  } catch (const std::exception& e) {
    albumFailure = e.what();
  }
  // Each file gets its album's values, or keeps the track values it was finished with.
  for (THeldOutput& track : held) {
    TEntryOutput& output = track.Output;
    std::string failure;
    if (!albumFailure.empty()) {
      output.Warning += (output.Warning.empty() ? "" : "; ") +
                        std::string("album gain not written: ") + albumFailure;
    } else if (!albumGains.Empty()) {
      try {
        TCarriedTags gains;
        AddReplayGainTags(gains, false, output.Loudness.Track.Integrated,
                          output.Loudness.Track.TruePeak);
        for (const auto& [key, values] : albumGains.Text) gains.Text[key] = values;
        RewriteGains(output, gains);
        if (Verify) VerifyWrittenTags(output.Temp, FFormat->TagFormat, output.Tags);
      } catch (const std::exception& e) {
        failure = e.what();
      }
    }
    SettleEntry(output, track.Index, std::move(failure), output.Warning, false);
  }
}

void TBatchConverter::PlaceHeldOutputs(bool Report) {
  for (TAlbum& album : FAlbums) {
    std::vector<THeldOutput> held = std::move(album.Held);
    album.Held.clear();
    for (THeldOutput& track : held) {
      if (Report)
        SettleEntry(track.Output, track.Index, "", track.Output.Warning, false);
      else
        PlaceOutput(track.Output, track.Index);
    }
  }
}

}  // namespace tunevert
