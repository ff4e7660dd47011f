#pragma once

#include <string>
#include <vector>

namespace tunevert {

struct TPlaylistFile {
  std::string Folder;                // ends with '/'
  std::string Path;                  // Folder + the folder's name + ".m3u8"
  std::vector<std::string> Entries;  // names relative to Folder, in list order
};

// One playlist per folder that holds any of Outputs (full paths), listing that folder's
// outputs in the order given; named after its folder ("Album/Album.m3u8").
std::vector<TPlaylistFile> FolderPlaylists(const std::vector<std::string>& Outputs);

// The playlist's text: extended M3U in UTF-8, one relative name per line.
std::string PlaylistText(const TPlaylistFile& Playlist);

}  // namespace tunevert
