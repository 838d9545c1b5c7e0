#include "tags/TVorbisTags.h"

namespace tarvio {

TVorbisTags::TVorbisTags() {
    for (const char* key :
         {VorbisAlbum, VorbisArtist, VorbisDate, VorbisGenre, VorbisTitle, VorbisTrack, VorbisDisc,
          VorbisReference, VorbisTrackGain, VorbisTrackPeak, VorbisAlbumGain, VorbisAlbumPeak})
        AddId(key, TTagValue());
}

} // namespace tarvio
