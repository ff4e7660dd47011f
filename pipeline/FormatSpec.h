#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tunevert {

class TAuFileIn;
class TAuFileOut;
class TComponent;
struct TDeliveredAudio;

// How an output's quality is chosen. A format offers at most one control of each kind.
enum class TQualityKind { None, Bitrate, VBRLevel, QualityScale, CompressionLevel };

struct TQualityControl {
  TQualityKind Kind = TQualityKind::None;
  // tunevert-cli's option ("-b", "--ogg-quality") and what its usage text calls the value.
  std::string Option, Metavar;
  // The values taken, as the command line writes them ("128", "-1"); the first is the lowest.
  std::vector<std::string> Values;
  std::string Default;
  // The window's list shows this control's values behind Prefix ("V2"); controls it leaves
  // out are on the command line only.
  bool InWindow = true;
  std::string Prefix;
  // The usage text's line for Option, where it is not "-b" (whose line lists every format's
  // bitrates): "ogg quality from -1 to 10 (default 5)".
  std::string Help;

  bool Takes(const std::string& Value) const;
};

// A bitrate list on tunevert-cli's "-b"; InWindow false keeps it off the window's list.
TQualityControl BitrateControl(std::vector<std::string> Kbps, std::string Default,
                               bool InWindow = true);
// A control on an option of its own ("--flac-level N"), with its usage line; the window
// shows its values behind Prefix.
TQualityControl OptionControl(TQualityKind Kind, std::string Option, std::string Metavar,
                              std::vector<std::string> Values, std::string Default,
                              std::string Help, std::string Prefix = {});

// A quality asked for: the control's kind and one of its values. Kind None means the format's
// default.
struct TQualityChoice {
  TQualityKind Kind = TQualityKind::None;
  std::string Value;
};

// Everything this program knows about one audio format: how the window and tunevert-cli name
// it, which files it reads, how it writes them, how a written file is read back, and where
// its tags go. Each codec folder registers its formats in one small file; every list, filter
// and option of the program is derived from the registry.
struct TFormatSpec {
  // tunevert-cli's -f value ("mp3", "alac"); unique. Formats that are read only have one too.
  std::string Id;
  // What the user reads: "Ogg Vorbis", "Apple Lossless".
  std::string Name;

  // ---- reading ----
  std::vector<std::string> Extensions;  // lower case, with the dot; empty: nothing is read
  std::vector<std::string> MimeTypes;
  std::string DialogLabel;  // the open-file dialog's filter name: "Ogg Vorbis"
  int DialogOrder = 0;      // its place in the dialog's list (lower first)
  // The input component that reads these files, named as the batch's first lane names it
  // ("VorbisIn1"); formats read by one component share its name and one lane slot.
  std::string InputName;
  std::function<TAuFileIn*(TComponent* Owner)> MakeInput;

  // ---- writing ----
  std::string Caption;    // the window's format list: ".ogg"; empty: never written
  std::string Extension;  // what outputs are named with: ".m4a"
  bool Lossless = false;
  std::string QualityLabel;              // the window's label for the list: "Bitrate:"; "" for none
  std::vector<TQualityControl> Quality;  // the first is the window's default control
  // Whether the output takes a chosen bit depth (16 or 24); the encoders take what comes.
  bool TakesBits = false;
  // The rate the encoder takes audio of a given rate at; the batch resamples to it first.
  // Unset: any rate.
  std::function<uint32_t(uint32_t Rate)> EncoderRate;
  // Likewise the channels the encoder takes audio of a given count as; the batch mixes down
  // first, so that what is measured and read back is what the encoder was given.
  std::function<uint32_t(uint32_t Channels)> EncoderChannels;
  // Makes the output, set up as the batch's first lane names it ("MP3Out1").
  std::function<TAuFileOut*(TComponent* Owner)> MakeOutput;
  // Applies a choice of one of Quality's controls (Kind None: the default) to an output made
  // by MakeOutput.
  std::function<void(TAuFileOut& Output, const TQualityChoice& Choice)> ApplyQuality;
  // The format whose input reads written files back ("m4a" for "alac"); "" is Id itself.
  std::string ReadBackAs;
  // Sets up the reader of a read back, where it can check a file more cheaply than by
  // playing it; unset: it decodes.
  std::function<void(TAuFileIn& Reader)> PrepareReadBack;
  // Frames a read back may hold beyond those delivered (never fewer); none when unset.
  std::function<int64_t(const TDeliveredAudio& Delivered, uint32_t ReadRate)> ExcessAllowed;

  // ---- tags ----
  // The tag layout, named by the extension the tag module knows it by (".mp3" for ID3v2 at
  // the start, ".m4a" for iTunes atoms); "" where the format carries none.
  std::string TagFormat;

  bool Readable() const { return !Extensions.empty() && MakeInput != nullptr; }
  bool Writable() const { return !Caption.empty() && MakeOutput != nullptr; }
  const TQualityControl* Control(TQualityKind Kind) const;
  const TQualityControl* DefaultControl() const;
  // The choice a text of the window's list stands for ("V2", "192"); Kind None when the
  // list has no such text.
  TQualityChoice ChoiceFromText(const std::string& Text) const;
  // The window's list: the values of the controls it shows, behind their prefixes.
  std::vector<std::string> WindowChoices() const;
  std::string DefaultWindowChoice() const;
};

// The bitrates most encoders offer, in kbit/s: "48" to "320".
const std::vector<std::string>& CommonBitrates();
// Texts of Min to Max, step 1 ("0" ... "8").
std::vector<std::string> NumberTexts(int Min, int Max);

// The formats built in, in the window's order: the outputs first as it lists them, then the
// formats that are only read.
const std::vector<TFormatSpec>& Formats();
// By Id or by Caption (".mp3"); null when there is none.
const TFormatSpec* FindFormat(const std::string& IdOrCaption);
// The format reading a file of this name, by its extension (letter case ignored); null when
// none does.
const TFormatSpec* FormatForFile(const std::string& FileName);
// The formats that can be written, in the window's order.
std::vector<const TFormatSpec*> OutputFormatSpecs();
// The formats that can be read, in the open-file dialog's order.
std::vector<const TFormatSpec*> InputFormatSpecs();

// Registration, done by each codec folder's formats file through the list the build makes.
// Order places the format among the others (lower first).
void RegisterFormat(int Order, TFormatSpec Spec);

}  // namespace tunevert
