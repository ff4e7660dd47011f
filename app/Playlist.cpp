#include "app/Playlist.h"

#include <filesystem>
#include <map>

namespace fs = std::filesystem;

namespace tunevert {

std::vector<TPlaylistFile> FolderPlaylists(const std::vector<std::string>& Outputs) {
  std::vector<TPlaylistFile> playlists;
  std::map<std::string, size_t> byFolder;
  for (const std::string& output : Outputs) {
    const size_t slash = output.rfind('/');
    const std::string folder = slash == std::string::npos ? "./" : output.substr(0, slash + 1);
    auto [found, added] = byFolder.emplace(folder, playlists.size());
    if (added) {
      std::error_code ec;
      std::string name = fs::absolute(folder, ec).parent_path().filename().string();
      if (name.empty()) name = "playlist";
      playlists.push_back({folder, folder + name + ".m3u8", {}});
    }
    playlists[found->second].Entries.push_back(output.substr(folder == "./" ? 0 : folder.size()));
  }
  return playlists;
}

std::string PlaylistText(const TPlaylistFile& Playlist) {
  std::string text = "#EXTM3U\n";
  // A name starting with '#' would read as a comment.
  for (const std::string& entry : Playlist.Entries)
    text += (entry[0] == '#' ? "./" : "") + entry + "\n";
  return text;
}

}  // namespace tunevert
