#include "app/TMprisService.h"

#include "app/TApplication.h"
#include "app/TForm1.h"
#include "app/TMprisPlayer.h"
#include "app/TMprisRoot.h"
#include "pipeline/TAuFileIn.h"
#include "pipeline/TAuOutput.h"
#include "pipeline/TAuTaggedFileIn.h"
#include "stages/TAudioPlayList.h"
#include "stages/TSpectrumIndicator.h"
#include "tags/TCodePage.h"
#include "tags/TCommonTags.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QFileInfo>
#include <QStringList>
#include <QUrl>
#include <cmath>

namespace tarvio {

namespace {

QString FromUtf8(const std::string& Text) {
    return QString::fromStdString(Text);
}

} // namespace

TMprisService::TMprisService(TForm1& Form) : FForm(Form) {
    FRoot = new TMprisRoot(*this);     // a child: deleted with this object
    FPlayer = new TMprisPlayer(*this); // likewise
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        FError = "no session bus (" + bus.lastError().message().toStdString() + ")";
        return;
    }
    if (!bus.registerObject(QString::fromLatin1(ObjectPath), this)) {
        FError = "the object path is taken";
        return;
    }
    if (!bus.registerService(QString::fromLatin1(ServiceName))) {
        FError = "the name " + std::string(ServiceName) + " is taken";
        bus.unregisterObject(QString::fromLatin1(ObjectPath));
        return;
    }
    FRegistered = true;
    FLastProperties = PlayerProperties();
    FLastTrack = TrackId();
}

TMprisService::~TMprisService() {
    if (!FRegistered) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterService(QString::fromLatin1(ServiceName));
    bus.unregisterObject(QString::fromLatin1(ObjectPath));
}

// ---- Transport ----

void TMprisService::PlayPause() {
    TApplication::Guard([this] { FForm.PlayButton(); });
}

void TMprisService::Play() {
    if (FForm.PlayState != "play") PlayPause();
}

void TMprisService::Pause() {
    if (FForm.PlayState == "play") PlayPause();
}

void TMprisService::Stop() {
    // The player has no stop: the nearest is a pause, which keeps the place.
    Pause();
}

void TMprisService::Next() {
    TApplication::Guard([this] { FForm.NextButton(); });
}

void TMprisService::Previous() {
    TApplication::Guard([this] { FForm.PreviousButton(); });
}

void TMprisService::Seek(qlonglong Offset) {
    if (!CanSeek()) return;
    const qlonglong length = LengthUs();
    qlonglong target = Position() + Offset;
    if (target >= length) {
        Next();
        return;
    }
    if (target < 0) target = 0;
    TAuFileIn* in = FForm.CurrentDecoder;
    const int64_t frame = static_cast<int64_t>(static_cast<double>(target) * in->SampleRate() / 1e6);
    if (!FForm.PlayFrom(frame)) return;
    // The new run counts its bytes from the frame it starts at.
    FPositionOffsetUs = static_cast<qlonglong>(static_cast<double>(frame) * 1e6 / in->SampleRate());
    PlayerChanged();
}

void TMprisService::SetPosition(const QString& Track, qlonglong Target) {
    if (Track != TrackId() || Target < 0 || Target > LengthUs()) return;
    Seek(Target - Position());
}

void TMprisService::OpenUri(const QString& Uri) {
    const QUrl url(Uri);
    QString path = url.isLocalFile() ? url.toLocalFile() : Uri;
    if (url.scheme().size() > 1 && !url.isLocalFile()) return; // only local files
    path = QFileInfo(path).absoluteFilePath();
    TApplication::Guard([&] { FForm.PlayFile(path.toStdString()); });
}

// ---- State ----

QString TMprisService::PlaybackStatus() const {
    if (FForm.PlayState == "pause") return QStringLiteral("Paused");
    if (FForm.PlayState == "play" && FForm.DXAudioOut1->IsBusy()) return QStringLiteral("Playing");
    return QStringLiteral("Stopped");
}

QString TMprisService::TrackId() const {
    if (!FForm.CurrentDecoder) return QStringLiteral("/org/mpris/MediaPlayer2/TrackList/NoTrack");
    return QStringLiteral("/org/tarvio/Track/%1").arg(FForm.PlayingIndex);
}

qlonglong TMprisService::LengthUs() const {
    TAuFileIn* in = FForm.CurrentDecoder;
    if (!in || in->SampleRate() == 0) return 0;
    const int64_t frames = FForm.CurrentFrames;
    return frames > 0 ? static_cast<qlonglong>(static_cast<double>(frames) * 1e6 / in->SampleRate()) : 0;
}

double TMprisService::MicrosecondsPerByte() const {
    TAuFileIn* in = FForm.CurrentDecoder;
    if (!in) return 0;
    const double bytesPerSecond =
        static_cast<double>(in->SampleRate()) * in->Channels() * (in->BitsPerSample() / 8);
    return bytesPerSecond > 0 ? 1e6 / bytesPerSecond : 0;
}

QVariantMap TMprisService::Metadata() const {
    QVariantMap map;
    map.insert(QStringLiteral("mpris:trackid"), QVariant::fromValue(QDBusObjectPath(TrackId())));
    if (!FForm.CurrentDecoder) return map;
    map.insert(QStringLiteral("mpris:length"), LengthUs());
    // What the labels show: the tags, or the format and file name of a surround track.
    map.insert(QStringLiteral("xesam:title"), FromUtf8(FForm.LabelTrack->Caption()));
    const std::string artist = FForm.LabelArtist->Caption();
    map.insert(QStringLiteral("xesam:artist"),
               artist.empty() ? QStringList() : QStringList{FromUtf8(artist)});
    if (auto* tagged = dynamic_cast<TAuTaggedFileIn*>(FForm.CurrentDecoder))
        map.insert(QStringLiteral("xesam:album"),
                   FromUtf8(TCodePage::WideToUtf8(tagged->CommonTags()->Album())));
    map.insert(QStringLiteral("xesam:url"),
               QUrl::fromLocalFile(QFileInfo(FromUtf8(FForm.CurrentFile)).absoluteFilePath()).toString());
    return map;
}

qlonglong TMprisService::Position() const {
    if (!FForm.CurrentDecoder) return 0;
    const double played = static_cast<double>(FForm.SpectrumIndicator1->Position() - FForm.TrackStartBytes) *
                          MicrosecondsPerByte();
    const qlonglong position = static_cast<qlonglong>(played) + FPositionOffsetUs;
    const qlonglong length = LengthUs();
    return length > 0 ? std::clamp<qlonglong>(position, 0, length) : std::max<qlonglong>(position, 0);
}

bool TMprisService::CanGoNext() const {
    return FForm.PlayState == "play" || FForm.EntryFailed;
}

bool TMprisService::CanGoPrevious() const {
    return CanGoNext();
}

bool TMprisService::CanPlay() const {
    return !FForm.AudioPlayList1->Files().empty();
}

bool TMprisService::CanSeek() const {
    TAuFileIn* in = FForm.CurrentDecoder;
    return in && in->Seekable() && LengthUs() > 0 && FForm.PlayState == "play" && FForm.DXAudioOut1->IsBusy();
}

QVariantMap TMprisService::PlayerProperties() const {
    return {{QStringLiteral("PlaybackStatus"), PlaybackStatus()},
            {QStringLiteral("Metadata"), Metadata()},
            {QStringLiteral("CanGoNext"), CanGoNext()},
            {QStringLiteral("CanGoPrevious"), CanGoPrevious()},
            {QStringLiteral("CanPlay"), CanPlay()},
            {QStringLiteral("CanSeek"), CanSeek()}};
}

void TMprisService::PlayerChanged() {
    if (!FRegistered) return;
    const QString track = TrackId();
    if (track != FLastTrack) {
        FLastTrack = track;
        // A new run of the chain counts from the frame it started at: 0, or a resumed place.
        TAuFileIn* in = FForm.CurrentDecoder;
        FPositionOffsetUs =
            in && in->SampleRate()
                ? static_cast<qlonglong>(static_cast<double>(FForm.RunStartFrame) * 1e6 / in->SampleRate())
                : 0;
    }
    const QVariantMap now = PlayerProperties();
    QVariantMap changed;
    for (auto it = now.begin(); it != now.end(); ++it)
        if (FLastProperties.value(it.key()) != it.value()) changed.insert(it.key(), it.value());
    FLastProperties = now;
    if (changed.isEmpty()) return;
    QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(ObjectPath),
                                                     QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << QStringLiteral("org.mpris.MediaPlayer2.Player") << changed << QStringList();
    QDBusConnection::sessionBus().send(signal);
}

} // namespace tarvio
