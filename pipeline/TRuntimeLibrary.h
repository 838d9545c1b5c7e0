#pragma once
// The libraries the programs open at run time by file name, each with the Debian package
// that ships it. Loaders name their file through these entries only, and the .deb's
// Depends and Recommends are read from the lines below (cmake/TarvioPackage.cmake), so a
// loader and the package cannot name different files. A new loader adds its line here.
//
// Relation: rlDepends, needed to play a file of a format the programs decode;
// rlRecommends, needed only by a command beyond playback (tags, CD, disc lookup) or for
// what playback can do without (real-time scheduling through RealtimeKit);
// rlBuilt, a library of this project, shipped in the package's private library folder.

namespace tarvio {

enum TRuntimeLibraryRelation { rlDepends, rlRecommends, rlBuilt };

struct TRuntimeLibrary {
    const char* FileName; // the name given to dlopen
    const char* Package;  // the Debian package that ships it ("tarvio": this project)
    TRuntimeLibraryRelation Relation;
};

namespace RuntimeLibrary {
// clang-format off
inline constexpr TRuntimeLibrary Dca             {"libdca.so.0",           "libdca0",           rlDepends};
inline constexpr TRuntimeLibrary A52             {"liba52-0.7.4.so",       "liba52-0.7.4",      rlDepends};
inline constexpr TRuntimeLibrary Flac            {"libFLAC.so.12",         "libflac12",         rlDepends};
inline constexpr TRuntimeLibrary Ogg             {"libogg.so.0",           "libogg0",           rlDepends};
inline constexpr TRuntimeLibrary Vorbis          {"libvorbis.so.0",        "libvorbis0a",       rlDepends};
inline constexpr TRuntimeLibrary VorbisFile      {"libvorbisfile.so.3",    "libvorbisfile3",    rlDepends};
inline constexpr TRuntimeLibrary VorbisEnc       {"libvorbisenc.so.2",     "libvorbisenc2",     rlDepends};
inline constexpr TRuntimeLibrary Wavpack         {"libwavpack.so.1",       "libwavpack1",       rlDepends};
inline constexpr TRuntimeLibrary Faad            {"libfaad.so.2",          "libfaad2",          rlDepends};
inline constexpr TRuntimeLibrary Mpg123          {"libmpg123.so.0",        "libmpg123-0",       rlDepends};
inline constexpr TRuntimeLibrary OpusFile        {"libopusfile.so.0",      "libopusfile0",      rlDepends};
inline constexpr TRuntimeLibrary AvUtil          {"libavutil.so.57",       "libavutil57",       rlDepends};
inline constexpr TRuntimeLibrary SwResample      {"libswresample.so.4",    "libswresample4",    rlDepends};
inline constexpr TRuntimeLibrary AvCodec         {"libavcodec.so.59",      "libavcodec59",      rlDepends};
inline constexpr TRuntimeLibrary AvFormat        {"libavformat.so.59",     "libavformat59",     rlDepends};
inline constexpr TRuntimeLibrary TagC            {"libtag_c.so.0",         "libtagc0",          rlRecommends};
inline constexpr TRuntimeLibrary Cdio            {"libcdio.so.19",         "libcdio19",         rlRecommends};
inline constexpr TRuntimeLibrary CdioCdda        {"libcdio_cdda.so.2",     "libcdio-cdda2",     rlRecommends};
inline constexpr TRuntimeLibrary CdioParanoia    {"libcdio_paranoia.so.2", "libcdio-paranoia2", rlRecommends};
inline constexpr TRuntimeLibrary Curl            {"libcurl.so.4",          "libcurl4",          rlRecommends};
inline constexpr TRuntimeLibrary DBus            {"libdbus-1.so.3",        "libdbus-1-3",       rlRecommends};
inline constexpr TRuntimeLibrary Mp4ff           {"libmp4ff.so.0",         "tarvio",            rlBuilt};
inline constexpr TRuntimeLibrary MACDll          {"libMACDll.so",          "tarvio",            rlBuilt};
// clang-format on

// Every entry above, for checks that walk the table.
inline constexpr TRuntimeLibrary All[] = {Dca,       A52,      Flac,  Ogg,    Vorbis,   VorbisFile,
                                          VorbisEnc, Wavpack,  Faad,  Mpg123, AvUtil,   SwResample,
                                          AvCodec,   AvFormat, TagC,  Cdio,   CdioCdda, CdioParanoia,
                                          Curl,      DBus,     Mp4ff, MACDll, OpusFile};
} // namespace RuntimeLibrary

} // namespace tarvio
