#pragma once
// The application object of the window layer: owns the Qt application, makes its thread
// the GUI thread of the pipeline's call queue and pumps that queue from the Qt event
// loop, and shows the error box for exceptions that escape an event handler.

#include <functional>
#include <memory>
#include <string>

class QApplication;

namespace tarvio {

class TApplication {
public:
    // Called on the thread that runs the GUI. Argc and Argv must outlive the object.
    TApplication(int& Argc, char** Argv);
    ~TApplication();
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;

    // The one application object, or null before it is made and after it is destroyed.
    static TApplication* Instance();

    // Runs the event loop until the last window closes or Terminate is called.
    int Run();
    void Terminate();
    // Handles every pending window event and every queued pipeline call, then returns.
    void ProcessMessages();

    const std::string& Title() const { return FTitle; }
    void SetTitle(const std::string& Value) { FTitle = Value; }

    // Shows Message the way an unhandled error is shown: by default a modal error box
    // titled with Title; a hook set here replaces the box (tests record the text instead).
    using TShowExceptionHook = std::function<void(const std::string& Message)>;
    void SetShowExceptionHook(TShowExceptionHook Hook) { FShowException = std::move(Hook); }
    void ShowException(const std::string& Message);

    // Runs one event handler: an exception it throws ends the handler there and is shown
    // by ShowException. Returns false when the handler threw. Works without an
    // application object too (the message then goes to standard error).
    static bool Guard(const std::function<void()>& Handler);

private:
    struct TWake;
    std::string FTitle = "Tarvio";
    TShowExceptionHook FShowException;
    std::unique_ptr<QApplication> FQtApp;
    std::shared_ptr<TWake> FWake; // shared with the pipeline queue's wake-up hook
};

} // namespace tarvio
