#include "cd/TCDToc.h"

#include "pipeline/EAuException.h"

namespace tarvio {

namespace {

std::string TrackName(const TCRTocEntry& Entry) {
    return Entry.TrackNumber == crLeadOutTrack ? std::string("the lead-out")
                                               : "track " + std::to_string(Entry.TrackNumber);
}

} // namespace

std::vector<TCRTocEntry> TCDToc::Read(const TCdioLibrary& Lib, CdIo_t* Cdio) {
    const track_t first = Lib.get_first_track_num(Cdio);
    const track_t count = Lib.get_num_tracks(Cdio);
    if (first == CDIO_INVALID_TRACK || count == CDIO_INVALID_TRACK) {
        const std::string why = TCdioLibrary::LastLog();
        throw EAuException("There is no disc in the drive" +
                           (why.empty() ? std::string() : " (" + why + ")"));
    }
    const auto bad = [](const std::string& Why) {
        return EAuException("The disc's table of contents is not valid: " + Why);
    };
    if (count == 0) throw bad("it lists no tracks");
    if (count > MaxTracks || first + count - 1 > MaxTracks)
        throw bad("it lists tracks " + std::to_string(first) + " to " + std::to_string(first + count - 1) +
                  " (at most 99)");

    std::vector<TCRTocEntry> entries;
    entries.reserve(count + 1u);
    for (unsigned t = first; t < first + count + 1u; ++t) {
        const bool leadOut = t == first + count;
        const track_t track = static_cast<track_t>(leadOut ? unsigned{CDIO_CDROM_LEADOUT_TRACK} : t);
        const lsn_t start = Lib.get_track_lsn(Cdio, track);
        TCRTocEntry e;
        e.TrackNumber = leadOut ? crLeadOutTrack : static_cast<uint8_t>(t);
        if (start == CDIO_INVALID_LSN || start < 0)
            throw bad(TrackName(e) + " has no valid start (" + std::to_string(start) + ")");
        e.StartSector = static_cast<uint32_t>(start);
        if (leadOut) {
            e.Flag = entries.back().Flag;
        } else if (Lib.get_track_format(Cdio, track) == TRACK_FORMAT_AUDIO) {
            e.Flag = crTrackAudio;
            if (Lib.get_track_preemphasis(Cdio, track) == CDIO_TRACK_FLAG_TRUE) e.Flag |= crTrackPreEmphasis;
            if (Lib.get_track_copy_permit(Cdio, track) == CDIO_TRACK_FLAG_TRUE)
                e.Flag |= crTrackCopyPermitted;
            if (Lib.get_track_channels(Cdio, track) == 4) e.Flag |= crTrackFourChannel;
        } else {
            e.Flag = crTrackData;
        }
        entries.push_back(e);
    }
    if (std::string why = Check(entries); !why.empty()) throw bad(why);
    return entries;
}

std::string TCDToc::Check(const std::vector<TCRTocEntry>& Entries) {
    if (Entries.size() < 2) return "it lists no tracks";
    if (Entries.size() - 1 > static_cast<size_t>(MaxTracks))
        return "it lists " + std::to_string(Entries.size() - 1) + " tracks (at most 99)";
    for (size_t i = 1; i < Entries.size(); ++i) {
        const TCRTocEntry& before = Entries[i - 1];
        const TCRTocEntry& e = Entries[i];
        if (e.StartSector <= before.StartSector) {
            const bool leadOut = i == Entries.size() - 1;
            return (leadOut ? "the lead-out (sector " : TrackName(e) + " starts at sector ") +
                   std::to_string(e.StartSector) +
                   (leadOut ? ") lies before the end of " : ", before the end of ") + TrackName(before) +
                   " (which starts at sector " + std::to_string(before.StartSector) + ")";
        }
    }
    if (Entries.back().StartSector > MaxDiscSectors)
        return "the lead-out (sector " + std::to_string(Entries.back().StartSector) +
               ") lies past the end of a 100-minute disc";
    return "";
}

} // namespace tarvio
