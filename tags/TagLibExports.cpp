// What libtvtaglib.so exports: the tag library's binding behind two C entry points.
#include <exception>
#include <type_traits>

#include "tags/TagLibModule.h"

extern "C" __attribute__((visibility("default"))) bool TvReadCarriedTags(
    const char* FileName, const char* Format, tunevert::TCarriedTags* Tags, std::string* Error) {
  try {
    *Tags = *Format == '\0' ? tunevert::ReadCarriedTags(FileName)
                            : tunevert::ReadCarriedTagsAs(FileName, Format);
    return true;
  } catch (const std::exception& e) {
    *Error = e.what();
    return false;
  }
}

extern "C" __attribute__((visibility("default"))) bool TvWriteCarriedTags(
    const char* FileName, const tunevert::TCarriedTags* Tags, const char* Format,
    std::string* Error) {
  try {
    tunevert::WriteFittedTags(FileName, *Tags, Format);
    return true;
  } catch (const std::exception& e) {
    *Error = e.what();
    return false;
  }
}

// The exports must match what the engine loads.
static_assert(std::is_same_v<decltype(&TvReadCarriedTags), TTvReadCarriedTags>);
static_assert(std::is_same_v<decltype(&TvWriteCarriedTags), TTvWriteCarriedTags>);
