#pragma once
// The player's remote control on the session bus: the MPRIS 2 interfaces
// (org.mpris.MediaPlayer2 and org.mpris.MediaPlayer2.Player) under the name
// "org.mpris.MediaPlayer2.tarvio", as steering-wheel adapters, phone links, desktop shells
// and playerctl expect. Every method does what the matching skin button does, with its
// rules: next and previous act only while playing (or after a failed entry).
//
// Lives on the GUI thread with the form it drives, which it does not own and which must
// outlive it. Positions and lengths are microseconds, as the interface counts them.

#include <QObject>
#include <QString>
#include <QVariantMap>
#include <cstdint>
#include <string>

namespace tarvio {

class TForm1;
class TMprisRoot;
class TMprisPlayer;

class TMprisService : public QObject {
public:
    static constexpr const char* ServiceName = "org.mpris.MediaPlayer2.tarvio";
    static constexpr const char* ObjectPath = "/org/mpris/MediaPlayer2";

    // Registers on the session bus; without one (or with the name taken) the player goes on
    // without remote control, and Registered() says so.
    explicit TMprisService(TForm1& Form);
    ~TMprisService() override;

    bool Registered() const { return FRegistered; }
    // Why registering failed ("" when it did not).
    const std::string& Error() const { return FError; }

    TForm1& Form() const { return FForm; }

    // org.mpris.MediaPlayer2.Player, for the adaptor.
    void PlayPause();
    void Play();
    void Pause();
    void Stop();
    void Next();
    void Previous();
    // Moves by Offset microseconds; past the end it is Next, before the start the start.
    void Seek(qlonglong Offset);
    // Moves to Position microseconds of the track TrackId; ignored for another track or a
    // position outside the track.
    void SetPosition(const QString& TrackId, qlonglong Position);
    // A local path or a file:// URI, played as a one-entry list.
    void OpenUri(const QString& Uri);
    QString PlaybackStatus() const;
    QVariantMap Metadata() const;
    qlonglong Position() const;
    bool CanGoNext() const;
    bool CanGoPrevious() const;
    bool CanPlay() const;
    bool CanSeek() const;
    // The object path that names the entry playing now.
    QString TrackId() const;

    // Emits PropertiesChanged for what changed since the last call; the form's
    // OnPlayerChanged calls it.
    void PlayerChanged();

private:
    QVariantMap PlayerProperties() const; // all but Position, which changes by itself
    // Microseconds per byte of the current decoder's PCM; 0 when unknown.
    double MicrosecondsPerByte() const;
    qlonglong LengthUs() const;

    TForm1& FForm;
    TMprisRoot* FRoot = nullptr;     // owned as a child QObject
    TMprisPlayer* FPlayer = nullptr; // owned as a child QObject
    bool FRegistered = false;
    std::string FError;
    QVariantMap FLastProperties;
    QString FLastTrack;
    // Position = bytes that passed the spectrum stage * MicrosecondsPerByte + this: the
    // start of the output's run, set by a seek and cleared by a track change.
    qlonglong FPositionOffsetUs = 0;
};

} // namespace tarvio
