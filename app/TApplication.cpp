#include "app/TApplication.h"

#include "app/TFont.h"
#include "pipeline/TMainThreadQueue.h"

#include <QApplication>
#include <QMessageBox>
#include <QObject>
#include <QWidget>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>

namespace tarvio {

namespace {
TApplication* TheApplication = nullptr;
} // namespace

// The queue's wake-up hook runs on pipeline threads; it posts a queued call to Target,
// an object of the GUI thread. The lock keeps Target alive while a post is in progress.
struct TApplication::TWake {
    std::mutex Lock;
    std::unique_ptr<QObject> Target;
};

TApplication::TApplication(int& Argc, char** Argv) : FQtApp(std::make_unique<QApplication>(Argc, Argv)) {
    TheApplication = this;
    TFont::AddSubstituteFaces();
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
