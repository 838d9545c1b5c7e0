#pragma once
// Reads a disc's table of contents through libcdio and refuses one that no real disc can
// have. Used by the ripping layer (CDRip.h).

#include <string>
#include <vector>

#include "cd/CDRip.h"
#include "cd/TCdioLibrary.h"

namespace tarvio {

class TCDToc {
public:
    // Sectors of the longest disc accepted (100 minutes).
    static constexpr uint32_t MaxDiscSectors = 100 * 60 * 75;
    static constexpr int32_t MaxTracks = 99;

    // The entries of the disc in Cdio: one per track, then the lead-out. Raises EAuException
    // "The disc's table of contents is not valid: ..." (or "There is no disc in the drive")
    // when Check refuses them or libcdio cannot give them.
    static std::vector<TCRTocEntry> Read(const TCdioLibrary& Lib, CdIo_t* Cdio);

    // "" when Entries (tracks, then the lead-out) describe a possible disc; otherwise why not:
    // no tracks, more than MaxTracks, a start that does not lie after the one before, a
    // lead-out not after the last start, or a lead-out beyond MaxDiscSectors.
    static std::string Check(const std::vector<TCRTocEntry>& Entries);
};

} // namespace tarvio
