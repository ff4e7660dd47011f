#pragma once

namespace tunevert {

inline constexpr const char* kTunevertVersion = "1.3";

}  // namespace tunevert
