#include "app/TTimer.h"

#include "app/TApplication.h"

#include <QTimer>

namespace tarvio {

TTimer::TTimer(TComponent* AOwner) : TComponent(AOwner), FTimer(std::make_unique<QTimer>()) {
    QObject::connect(FTimer.get(), &QTimer::timeout, [this] {
        if (FOnTimer) TApplication::Guard([this] { FOnTimer(this); });
    });
    Update();
}

TTimer::~TTimer() {
    FTimer->stop();
}

void TTimer::SetEnabled(bool Value) {
    if (Value == FEnabled) return;
    FEnabled = Value;
    Update();
}

void TTimer::SetInterval(int Value) {
    if (Value == FInterval) return;
    FInterval = Value;
    Update();
}

void TTimer::SetOnTimer(TNotifyEvent Value) {
    FOnTimer = std::move(Value);
    Update();
}

void TTimer::Update() {
    FTimer->stop();
    // Like the platform timer, one without a handler or interval does not run.
    if (FEnabled && FInterval > 0 && FOnTimer) FTimer->start(FInterval);
}

} // namespace tarvio
