#pragma once
// One disc database entry as read by TCDDBQuery: the album and its tracks. Text is UTF-8.

#include <cstdint>
#include <string>
#include <vector>

namespace tarvio {

struct TCDDBAlbum {
    std::vector<std::string> Artist;   // per track: the track artist
    std::vector<std::string> Title;    // per track: the track title
    std::vector<std::string> TrackExt; // per track: extended track data
    std::string DiscExt;               // extended disc data, all its lines joined
    std::string Album;
    std::string AlbumArtist;
    std::string Year;
    std::string Genre;
    std::string Comment;    // never filled
    std::string Generated;  // the entry's "# Generated" comment
    std::string DiscLength; // the entry's "# Disc length" comment
    int32_t TrackCount = 0;
};

} // namespace tarvio
