#include "app/TMprisRoot.h"

#include "app/TForm1.h"
#include "app/TMprisService.h"

namespace tarvio {

TMprisRoot::TMprisRoot(TMprisService& Service) : QDBusAbstractAdaptor(&Service), FService(Service) {}

QStringList TMprisRoot::SupportedMimeTypes() const {
    return {QStringLiteral("audio/mpeg"),     QStringLiteral("audio/ogg"),
            QStringLiteral("audio/flac"),     QStringLiteral("audio/x-ape"),
            QStringLiteral("audio/x-ms-wma"), QStringLiteral("audio/x-wavpack"),
            QStringLiteral("audio/mp4"),      QStringLiteral("audio/x-wav"),
            QStringLiteral("audio/vnd.dts"),  QStringLiteral("audio/ac3")};
}

void TMprisRoot::Quit() {
    FService.Form().Close();
}

} // namespace tarvio
