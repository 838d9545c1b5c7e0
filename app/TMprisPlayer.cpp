#include "app/TMprisPlayer.h"

#include "app/TMprisService.h"

namespace tarvio {

TMprisPlayer::TMprisPlayer(TMprisService& Service) : QDBusAbstractAdaptor(&Service), FService(Service) {}

QString TMprisPlayer::PlaybackStatus() const {
    return FService.PlaybackStatus();
}

QVariantMap TMprisPlayer::Metadata() const {
    return FService.Metadata();
}

qlonglong TMprisPlayer::Position() const {
    return FService.Position();
}

bool TMprisPlayer::CanGoNext() const {
    return FService.CanGoNext();
}

bool TMprisPlayer::CanGoPrevious() const {
    return FService.CanGoPrevious();
}

bool TMprisPlayer::CanPlay() const {
    return FService.CanPlay();
}

bool TMprisPlayer::CanSeek() const {
    return FService.CanSeek();
}

void TMprisPlayer::Play() {
    FService.Play();
}

void TMprisPlayer::Pause() {
    FService.Pause();
}

void TMprisPlayer::PlayPause() {
    FService.PlayPause();
}

void TMprisPlayer::Stop() {
    FService.Stop();
}

void TMprisPlayer::Next() {
    FService.Next();
}

void TMprisPlayer::Previous() {
    FService.Previous();
}

void TMprisPlayer::Seek(qlonglong Offset) {
    FService.Seek(Offset);
    emit Seeked(FService.Position());
}

void TMprisPlayer::SetPosition(const QDBusObjectPath& TrackId, qlonglong Position) {
    FService.SetPosition(TrackId.path(), Position);
    emit Seeked(FService.Position());
}

void TMprisPlayer::OpenUri(const QString& Uri) {
    FService.OpenUri(Uri);
}

} // namespace tarvio
