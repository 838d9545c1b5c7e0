#include "app/TApplication.h"

#include "app/TFont.h"
#include "pipeline/TEventHandler.h"
#include "pipeline/TMainThreadQueue.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QObject>
#include <QScreen>
#include <QWidget>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>

namespace tarvio {

namespace {
TApplication* TheApplication = nullptr;

std::unique_ptr<QApplication> MakeQtApplication(int& Argc, char** Argv) {
    // On X11 the window's updates are strips a few pixels high at about 30 frames a second
    // (the spectrum bars). Through shared memory every frame costs a round trip to the
    // server before the next one may be painted; sent with the request, the pixels cost
    // less, even for a whole window. A value set by the user stays.
    setenv("QT_XCB_NO_MITSHM", "1", 0);
    return std::make_unique<QApplication>(Argc, Argv);
}
} // namespace

// The queue's wake-up hook runs on pipeline threads; it posts a queued call to Target,
// an object of the GUI thread. The lock keeps Target alive while a post is in progress.
struct TApplication::TWake {
    std::mutex Lock;
    std::unique_ptr<QObject> Target;
};

TApplication::TApplication(int& Argc, char** Argv) : FQtApp(MakeQtApplication(Argc, Argv)) {
    TheApplication = this;
    TFont::AddSubstituteFaces();
    // Pipeline notifications that carry the latest state (the spectrum levels) reach the
    // window at most once per frame of the screen.
    if (QScreen* screen = QGuiApplication::primaryScreen())
        if (const qreal hz = screen->refreshRate(); hz >= 1 && hz <= 1000)
            SetCoalescedEventPeriod(std::chrono::microseconds(static_cast<int64_t>(1e6 / hz)));
    FWake = std::make_shared<TWake>();
    FWake->Target = std::make_unique<QObject>();
    TMainThreadQueue& queue = TMainThreadQueue::Instance();
    queue.SetMainThreadID(std::this_thread::get_id());
    std::weak_ptr<TWake> weak = FWake;
    queue.SetWakeMainThread([weak] {
        std::shared_ptr<TWake> wake = weak.lock();
        if (!wake) return;
        std::lock_guard<std::mutex> lock(wake->Lock);
        if (wake->Target)
            QMetaObject::invokeMethod(
                wake->Target.get(), [] { CheckSynchronize(); }, Qt::QueuedConnection);
    });
}

TApplication::~TApplication() {
    TMainThreadQueue::Instance().SetWakeMainThread({});
    {
        std::lock_guard<std::mutex> lock(FWake->Lock);
        FWake->Target.reset();
    }
    TheApplication = nullptr;
}

TApplication* TApplication::Instance() {
    return TheApplication;
}

int TApplication::Run() {
    return QApplication::exec();
}

void TApplication::Terminate() {
    QApplication::quit();
}

void TApplication::ProcessMessages() {
    QApplication::processEvents(QEventLoop::AllEvents);
    CheckSynchronize();
}

void TApplication::ShowException(const std::string& Message) {
    if (FShowException) {
        FShowException(Message);
        return;
    }
    QMessageBox::critical(QApplication::activeWindow(), QString::fromStdString(FTitle),
                          QString::fromStdString(Message));
}

bool TApplication::Guard(const std::function<void()>& Handler) {
    std::string message;
    try {
        Handler();
        return true;
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "Unknown exception";
    }
    if (TheApplication)
        TheApplication->ShowException(message);
    else
        std::fprintf(stderr, "%s\n", message.c_str());
    return false;
}

} // namespace tarvio
