#pragma once

#include <cstdlib>
#include <string>

namespace tunevert {

inline constexpr const char* kTunevertVersion = "1.3";

// The product's update information page.
inline constexpr const char* kUpdateInfoPage = "https://quorvel.example/tunevert/update.htm";

// The update page, unless TUNEVERT_UPDATE_URL names another (a local test server, say).
inline std::string UpdateInfoPageURL() {
  const char* page = std::getenv("TUNEVERT_UPDATE_URL");
  return page != nullptr && *page != '\0' ? page : kUpdateInfoPage;
}

}  // namespace tunevert
