#include "pipeline/FormatSpec.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "platform/Text.h"

namespace tunevert {

// Made by the build from the formats files it compiles: calls each one's registration.
void RegisterBuiltInFormats();

namespace {

std::vector<std::pair<int, TFormatSpec>>* gRegistering = nullptr;

}  // namespace

bool TQualityControl::Takes(const std::string& Value) const {
  if (std::find(Values.begin(), Values.end(), Value) != Values.end()) return true;
  // A quality scale also takes the values between its steps ("4.5").
  if (Kind != TQualityKind::QualityScale || Values.empty() || Value.empty()) return false;
  char* end = nullptr;
  const double value = std::strtod(Value.c_str(), &end);
  return *end == '\0' && value >= std::strtod(Values.front().c_str(), nullptr) &&
         value <= std::strtod(Values.back().c_str(), nullptr);
}

TQualityControl BitrateControl(std::vector<std::string> Kbps, std::string Default, bool InWindow) {
  TQualityControl control;
  control.Kind = TQualityKind::Bitrate;
  control.Option = "-b";
  control.Metavar = "KBPS";
  control.Values = std::move(Kbps);
  control.Default = std::move(Default);
  control.InWindow = InWindow;
  return control;
}

TQualityControl OptionControl(TQualityKind Kind, std::string Option, std::string Metavar,
                              std::vector<std::string> Values, std::string Default,
                              std::string Help, std::string Prefix) {
  TQualityControl control;
  control.Kind = Kind;
  control.Option = std::move(Option);
  control.Metavar = std::move(Metavar);
  control.Values = std::move(Values);
  control.Default = std::move(Default);
  control.Help = std::move(Help);
  control.Prefix = std::move(Prefix);
  return control;
}

const TQualityControl* TFormatSpec::Control(TQualityKind Kind) const {
  for (const TQualityControl& control : Quality)
    if (control.Kind == Kind) return &control;
  return nullptr;
}

const TQualityControl* TFormatSpec::DefaultControl() const {
  return Quality.empty() ? nullptr : &Quality.front();
}

TQualityChoice TFormatSpec::ChoiceFromText(const std::string& Text) const {
  for (const TQualityControl& control : Quality) {
    if (!control.InWindow || Text.compare(0, control.Prefix.size(), control.Prefix) != 0) continue;
    const std::string value = Text.substr(control.Prefix.size());
    if (std::find(control.Values.begin(), control.Values.end(), value) != control.Values.end())
      return {control.Kind, value};
  }
  return {};
}

std::vector<std::string> TFormatSpec::WindowChoices() const {
  std::vector<std::string> choices;
  for (const TQualityControl& control : Quality)
    if (control.InWindow)
      for (const std::string& value : control.Values) choices.push_back(control.Prefix + value);
  return choices;
}

std::string TFormatSpec::DefaultWindowChoice() const {
  const TQualityControl* control = DefaultControl();
  return control == nullptr ? std::string() : control->Prefix + control->Default;
}

const std::vector<std::string>& CommonBitrates() {
  static const std::vector<std::string> kBitrates = {"48",  "56",  "64",  "80",  "96", "112",
                                                     "128", "160", "192", "256", "320"};
  return kBitrates;
}

std::vector<std::string> NumberTexts(int Min, int Max) {
  std::vector<std::string> texts;
  for (int value = Min; value <= Max; ++value) texts.push_back(std::to_string(value));
  return texts;
}

void RegisterFormat(int Order, TFormatSpec Spec) {
  if (gRegistering != nullptr) gRegistering->emplace_back(Order, std::move(Spec));
}

const std::vector<TFormatSpec>& Formats() {
  static const std::vector<TFormatSpec> kFormats = [] {
    std::vector<std::pair<int, TFormatSpec>> registered;
    gRegistering = &registered;
    RegisterBuiltInFormats();
    gRegistering = nullptr;
    std::stable_sort(registered.begin(), registered.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<TFormatSpec> formats;
    for (auto& [order, spec] : registered) formats.push_back(std::move(spec));
    return formats;
  }();
  return kFormats;
}

const TFormatSpec* FindFormat(const std::string& IdOrCaption) {
  for (const TFormatSpec& spec : Formats())
    if (spec.Id == IdOrCaption || (!spec.Caption.empty() && spec.Caption == IdOrCaption))
      return &spec;
  return nullptr;
}

const TFormatSpec* FormatForFile(const std::string& FileName) {
  const std::string extension = LowerAscii(FileExtension(FileName));
  if (extension.empty()) return nullptr;
  for (const TFormatSpec& spec : Formats())
    if (spec.Readable() && std::find(spec.Extensions.begin(), spec.Extensions.end(), extension) !=
                               spec.Extensions.end())
      return &spec;
  return nullptr;
}

std::vector<const TFormatSpec*> OutputFormatSpecs() {
  std::vector<const TFormatSpec*> outputs;
  for (const TFormatSpec& spec : Formats())
    if (spec.Writable()) outputs.push_back(&spec);
  return outputs;
}

std::vector<const TFormatSpec*> InputFormatSpecs() {
  std::vector<const TFormatSpec*> inputs;
  for (const TFormatSpec& spec : Formats())
    if (spec.Readable()) inputs.push_back(&spec);
  std::stable_sort(inputs.begin(), inputs.end(),
                   [](const auto* a, const auto* b) { return a->DialogOrder < b->DialogOrder; });
  return inputs;
}

}  // namespace tunevert
