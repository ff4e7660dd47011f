#pragma once

#include <string>

#include "tags/TagLibMeta.h"

// The entry points of libtvtaglib.so, the module that holds the tag library's binding. The
// module and the engine are built from one tree over one C++ runtime, so the records pass as
// they are; a failure comes back as its message.
extern "C" {
// Format: the lower-case extension the file is read as (".flac"), or "" for its own.
using TTvReadCarriedTags = bool (*)(const char* FileName, const char* Format,
                                    tunevert::TCarriedTags* Tags, std::string* Error);
using TTvWriteCarriedTags = bool (*)(const char* FileName, const tunevert::TCarriedTags* Tags,
                                     const char* Format, std::string* Error);
}

namespace tunevert {

constexpr const char* kTagModuleName = "libtvtaglib.so";

class TStream;

// Where the module is looked for from now on: in Folder alone, instead of the program's
// folder and the linker's search; "" puts those back. A module found before is forgotten
// (it stays mapped), so the next read or write looks again. Lets a test run without it.
void SetTagModuleFolder(const std::string& Folder);

// Whether a file's own structure leaves room for tags the tag library would find. Only WAV,
// FLAC and Ogg Vorbis files are looked into; anything else, or anything unusual in them, may
// hold tags. Extension is the lower-case one the file goes by (".wav").
bool MayHoldTags(const std::string& FileName);
bool MayHoldTags(TStream& Source, const std::string& Extension);

// Inside the module: reads a file's tags as a file of Format (".flac"), whatever its name;
// an M4A file's gapless record too, as ITUNSMPB, which ReadCarriedTags leaves behind.
TCarriedTags ReadCarriedTagsAs(const std::string& FileName, const std::string& Format);

// Inside the module: replaces a finished output's tags with Tags, which WriteCarriedTags has
// already fitted to Format. Raises EAuException when the file cannot be opened or saved.
void WriteFittedTags(const std::string& FileName, const TCarriedTags& Tags,
                     const std::string& Format);

}  // namespace tunevert
