#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pipeline/AuInput.h"
#include "platform/Stream.h"
#include "winmedia/libwma1.h"

namespace tunevert::testing {

inline std::string WMFixture(const std::string& Name) {
  return std::string(TUNEVERT_TEST_DATA) + "/wm/" + Name;
}

// The whole file in a memory stream.
std::unique_ptr<TMemoryStream> LoadFile(const std::string& Path);
// What a shell command writes to its standard output.
std::vector<uint8_t> RunTool(const std::string& Command);
// The file decoded by the ffmpeg command-line tool; ExtraArgs go before the output options.
std::vector<uint8_t> FfmpegDecode(const std::string& Path, const std::string& Format = "s16le",
                                  const std::string& ExtraArgs = {});
// Every byte a reader hands out, in requests of Block bytes; fails the test if a block is
// longer than asked.
std::vector<uint8_t> ReadAll(wma_sync_reader& Reader, uint32_t Block = 4096);
// One pass of an input: Init, then GetData in requests of Block bytes until an empty block;
// fails the test for a block longer than asked or one that splits a frame. No Flush.
std::vector<uint8_t> ReadInput(TAuInput& In, uint32_t Block);
// Library objects of the runtime still alive.
int32_t RuntimeLiveObjects();

}  // namespace tunevert::testing
