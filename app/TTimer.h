#pragma once
// A repeating timer of the GUI thread: while enabled, runs OnTimer every Interval
// milliseconds from the event loop. Enabling or changing the interval restarts the count.

#include "pipeline/TComponent.h"

#include <memory>

class QTimer;

namespace tarvio {

class TTimer : public TComponent {
public:
    explicit TTimer(TComponent* AOwner);
    ~TTimer() override;

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value);
    int Interval() const { return FInterval; } // milliseconds
    void SetInterval(int Value);
    void SetOnTimer(TNotifyEvent Value);

private:
    void Update();

    std::unique_ptr<QTimer> FTimer;
    bool FEnabled = true;
    int FInterval = 1000;
    TNotifyEvent FOnTimer;
};

} // namespace tarvio
