#pragma once
// The Vorbis comment fields the system knows, under their lower-case field names. Filled by
// the FLAC and Ogg Vorbis decoders from their libraries' comments; no file reader of its own.

#include "tags/TAuTags.h"

namespace tarvio {

// Comment field names; decoders compare lower-cased stream field names with these.
inline constexpr const char* VorbisAlbum = "album";
inline constexpr const char* VorbisArtist = "artist";
inline constexpr const char* VorbisDate = "date";
inline constexpr const char* VorbisGenre = "genre";
inline constexpr const char* VorbisTitle = "title";
inline constexpr const char* VorbisTrack = "tracknumber";
inline constexpr const char* VorbisDisc = "discnumber";
inline constexpr const char* VorbisReference = "replaygain_reference_loudness";
inline constexpr const char* VorbisTrackGain = "replaygain_track_gain";
inline constexpr const char* VorbisTrackPeak = "replaygain_track_peak";
inline constexpr const char* VorbisAlbumGain = "replaygain_album_gain";
inline constexpr const char* VorbisAlbumPeak = "replaygain_album_peak";

class TVorbisTags : public TAuTags {
public:
    TVorbisTags();
    std::string ClassName() const override { return "TVorbisTags"; }

    std::u16string Album() const { return AsWideString(VorbisAlbum); }
    void SetAlbum(const std::u16string& Value) { SetValue(VorbisAlbum, Value); }
    std::u16string Artist() const { return AsWideString(VorbisArtist); }
    void SetArtist(const std::u16string& Value) { SetValue(VorbisArtist, Value); }
    std::u16string Date() const { return AsWideString(VorbisDate); }
    void SetDate(const std::u16string& Value) { SetValue(VorbisDate, Value); }
    std::u16string Genre() const { return AsWideString(VorbisGenre); }
    void SetGenre(const std::u16string& Value) { SetValue(VorbisGenre, Value); }
    std::u16string Title() const { return AsWideString(VorbisTitle); }
    void SetTitle(const std::u16string& Value) { SetValue(VorbisTitle, Value); }
    std::u16string Track() const { return AsWideString(VorbisTrack); }
    void SetTrack(const std::u16string& Value) { SetValue(VorbisTrack, Value); }
    std::u16string Disc() const { return AsWideString(VorbisDisc); }
    void SetDisc(const std::u16string& Value) { SetValue(VorbisDisc, Value); }
    std::u16string Reference() const { return AsWideString(VorbisReference); }
    void SetReference(const std::u16string& Value) { SetValue(VorbisReference, Value); }
    std::u16string TrackGain() const { return AsWideString(VorbisTrackGain); }
    void SetTrackGain(const std::u16string& Value) { SetValue(VorbisTrackGain, Value); }
    std::u16string TrackPeak() const { return AsWideString(VorbisTrackPeak); }
    void SetTrackPeak(const std::u16string& Value) { SetValue(VorbisTrackPeak, Value); }
    std::u16string AlbumGain() const { return AsWideString(VorbisAlbumGain); }
    void SetAlbumGain(const std::u16string& Value) { SetValue(VorbisAlbumGain, Value); }
    std::u16string AlbumPeak() const { return AsWideString(VorbisAlbumPeak); }
    void SetAlbumPeak(const std::u16string& Value) { SetValue(VorbisAlbumPeak, Value); }
};

} // namespace tarvio
