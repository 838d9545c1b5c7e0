// The remote control on a session bus of the test's own: methods called and properties
// read by another process (dbus-send), signals seen by dbus-monitor, and the keys.
#include "PlayerFixture.h"

#include "app/TMprisService.h"

#include <QKeyEvent>
#include <QProcess>
#include <cmath>
#include <csignal>
#include <sys/wait.h>

namespace {

// A dbus-daemon for this test program, named in DBUS_SESSION_BUS_ADDRESS before Qt first
// connects to a session bus.
class TSessionBus {
public:
    TSessionBus() {
        int fds[2];
        if (pipe(fds) != 0) return;
        FPid = fork();
        if (FPid == 0) {
            close(fds[0]);
            const std::string fd = "--print-address=" + std::to_string(fds[1]);
            execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", fd.c_str(), nullptr);
            _exit(127);
        }
        close(fds[1]);
        char buf[512];
        ssize_t n;
        while (FAddress.find('\n') == std::string::npos && (n = read(fds[0], buf, sizeof buf)) > 0)
            FAddress.append(buf, static_cast<size_t>(n));
        close(fds[0]);
        if (!FAddress.empty() && FAddress.back() == '\n') FAddress.pop_back();
        if (!FAddress.empty()) setenv("DBUS_SESSION_BUS_ADDRESS", FAddress.c_str(), 1);
    }
    ~TSessionBus() {
        if (FPid <= 0) return;
        kill(FPid, SIGTERM);
        waitpid(FPid, nullptr, 0);
    }
    bool Running() const { return !FAddress.empty(); }

private:
    pid_t FPid = -1;
    std::string FAddress;
};

TSessionBus& Bus() {
    static TSessionBus bus;
    return bus;
}

// Runs a program while the event loop goes on (the player answers from this thread);
// returns what it printed.
std::string RunWhilePumping(const QString& Program, const QStringList& Arguments) {
    QProcess process;
    process.start(Program, Arguments);
    WaitUntil([&] { return process.state() == QProcess::NotRunning; }, 15000);
    return process.readAllStandardOutput().toStdString() + process.readAllStandardError().toStdString();
}

// Calls a method of the player's interface, or reads a property (Method "Get", Argument the
// property's name), as another program would.
std::string Send(const QString& Method, const QStringList& Arguments = {}) {
    QStringList args{"--session", "--print-reply", "--dest=org.mpris.MediaPlayer2.tarvio",
                     "/org/mpris/MediaPlayer2"};
    if (Method == "Get")
        args << "org.freedesktop.DBus.Properties.Get"
             << "string:org.mpris.MediaPlayer2.Player";
    else
        args << Method;
    return RunWhilePumping("dbus-send", args + Arguments);
}

std::string Property(const char* Name) {
    return Send("Get", {QString("string:") + Name});
}

class Remote : public Player {
protected:
    std::unique_ptr<TMprisService> Service;
    void SetUp() override {
        Player::SetUp();
        if (!Bus().Running()) GTEST_SKIP() << "dbus-daemon could not be started";
        if (!Media().HaveFlac) GTEST_SKIP() << "the flac tool is missing";
    }
    void TearDown() override {
        if (Form) Form->OnPlayerChanged = nullptr;
        Service.reset();
        Player::TearDown();
    }
    void StartRemote() {
        PlayList({Flac("long.flac"), Flac("short.flac"), Flac("long.flac")});
        Start();
        bool dts;
        if (!Form->DecoderFor("x.flac", dts)) GTEST_SKIP() << "no FLAC decoder in this build";
        Service = std::make_unique<TMprisService>(*Form);
        ASSERT_TRUE(Service->Registered()) << Service->Error();
        Form->OnPlayerChanged = [this](TComponent*) { Service->PlayerChanged(); };
    }
};

// Each method does what the skin's button does, with its rules; the properties follow.
TEST_F(Remote, MethodsActAsTheButtons) {
    StartRemote();
    EXPECT_NE(
        RunWhilePumping("dbus-send", {"--session", "--print-reply", "--dest=org.mpris.MediaPlayer2.tarvio",
                                      "/org/mpris/MediaPlayer2", "org.freedesktop.DBus.Properties.Get",
                                      "string:org.mpris.MediaPlayer2", "string:Identity"})
            .find("\"Tarvio\""),
        std::string::npos);
    EXPECT_NE(Property("PlaybackStatus").find("\"Stopped\""), std::string::npos);
    EXPECT_NE(Property("CanGoNext").find("boolean false"), std::string::npos);
    Send("org.mpris.MediaPlayer2.Player.Next");
    EXPECT_EQ(Form->PlayState, "") << "next does nothing before the first start";

    Send("org.mpris.MediaPlayer2.Player.Play");
    EXPECT_EQ(Form->PlayState, "play");
    EXPECT_EQ(Form->LabelError->Caption(), "Играет: long.flac");
    EXPECT_TRUE(Shows(Form->PicPause));
    EXPECT_NE(Property("PlaybackStatus").find("\"Playing\""), std::string::npos);
    const std::string metadata = Property("Metadata");
    for (const char* part :
         {"\"Песня\"", "\"Исполнитель\"", "int64 185000000", "/org/tarvio/Track/0", "long.flac"})
        EXPECT_NE(metadata.find(part), std::string::npos) << part << " in " << metadata;

    Send("org.mpris.MediaPlayer2.Player.Next");
    EXPECT_EQ(Form->PlayingIndex, 1);
    Send("org.mpris.MediaPlayer2.Player.Previous");
    Send("org.mpris.MediaPlayer2.Player.Previous");
    EXPECT_EQ(Form->PlayingIndex, 2) << "before the first, the last";

    Send("org.mpris.MediaPlayer2.Player.Pause");
    EXPECT_EQ(Form->PlayState, "pause");
    EXPECT_TRUE(Shows(Form->PicPlay));
    EXPECT_NE(Property("PlaybackStatus").find("\"Paused\""), std::string::npos);
    Send("org.mpris.MediaPlayer2.Player.Next");
    EXPECT_EQ(Form->PlayingIndex, 2) << "next does nothing while paused";
    Send("org.mpris.MediaPlayer2.Player.PlayPause");
    EXPECT_EQ(Form->PlayState, "play");

    Send("org.mpris.MediaPlayer2.Player.OpenUri",
         {QString::fromStdString("string:file://" + (Media().Dir / "short.flac").string())});
    EXPECT_EQ(Form->AudioPlayList1->Files(), std::vector<std::string>{(Media().Dir / "short.flac").string()});
    EXPECT_EQ(Form->LabelError->Caption(), "Играет: short.flac");

    Send("org.mpris.MediaPlayer2.Quit");
    EXPECT_FALSE(Form->Showing());
}

// A seek moves what plays; past the end it is next.
TEST_F(Remote, SeekMovesThePosition) {
    StartRemote();
    Send("org.mpris.MediaPlayer2.Player.Play");
    ASSERT_TRUE(WaitUntil([&] { return Service->Position() > 0; })) << "nothing played";
    EXPECT_NE(Property("CanSeek").find("boolean true"), std::string::npos);
    // The output starts again at the new place; its first bytes count from there.
    auto near = [&](double Seconds) {
        return WaitUntil([&] { return std::abs(Service->Position() / 1e6 - Seconds) < 1.5; }, 5000);
    };
    Send("org.mpris.MediaPlayer2.Player.Seek", {"int64:60000000"});
    EXPECT_TRUE(near(60)) << Service->Position();
    EXPECT_NEAR(Form->CurrentDecoder->StartSample() / 8000.0, 60, 1.5);
    Send("org.mpris.MediaPlayer2.Player.SetPosition", {"objpath:/org/tarvio/Track/0", "int64:120000000"});
    EXPECT_TRUE(near(120)) << Service->Position();
    EXPECT_NE(Property("Metadata").find("int64 185000000"), std::string::npos)
        << "the length stays the track's";
    Pump(300);
    EXPECT_EQ(Form->PlayingIndex, 0) << "the restart is no end of the track";
    EXPECT_EQ(Form->PlayingIndex, 0);
    Send("org.mpris.MediaPlayer2.Player.Seek", {"int64:100000000"});
    EXPECT_EQ(Form->PlayingIndex, 1) << "past the end: the next entry";
    Send("org.mpris.MediaPlayer2.Player.Previous");
    EXPECT_EQ(Form->CurrentDecoder->StartSample(), 0) << "a new start begins at the beginning";
}

// Track changes and pauses are announced with PropertiesChanged.
TEST_F(Remote, ChangesAreSignalled) {
    StartRemote();
    QProcess monitor;
    monitor.start("dbus-monitor",
                  {"--session",
                   "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'"});
    ASSERT_TRUE(monitor.waitForStarted());
    Pump(300); // the monitor's match is in place
    Send("org.mpris.MediaPlayer2.Player.Play");
    Send("org.mpris.MediaPlayer2.Player.Next");
    Send("org.mpris.MediaPlayer2.Player.Pause");
    std::string seen;
    WaitUntil(
        [&] {
            seen += monitor.readAllStandardOutput().toStdString();
            return seen.find("\"Paused\"") != std::string::npos;
        },
        5000);
    monitor.kill();
    monitor.waitForFinished();
    for (const char* part :
         {"org.mpris.MediaPlayer2.Player", "\"Playing\"", "/org/tarvio/Track/1", "\"Paused\""})
        EXPECT_NE(seen.find(part), std::string::npos) << part << " in " << seen;
}

// With MediaKeys=1 the media keys, space, left and right act as the buttons; without it
// the keys do nothing.
TEST_F(Player, KeysActAsTheButtonsWhenAskedFor) {
    if (!Media().HaveFlac) GTEST_SKIP() << "the flac tool is missing";
    for (const bool on : {false, true}) {
        SCOPED_TRACE(on);
        Config(on ? "[player]\nMediaKeys=1\n" : "");
        PlayList({Flac("long.flac"), Flac("short.flac"), Flac("long.flac")});
        Start();
        bool dts;
        if (!Form->DecoderFor("x.flac", dts)) GTEST_SKIP() << "no FLAC decoder in this build";
        auto key = [&](int Key) {
            QKeyEvent press(QEvent::KeyPress, Key, Qt::NoModifier);
            QApplication::sendEvent(W(), &press);
        };
        key(Qt::Key_MediaPlay);
        EXPECT_EQ(Form->PlayState, on ? "play" : "");
        if (!on) {
            Form.reset();
            continue;
        }
        struct TStep {
            int Key;
            int Index;
            const char* State;
        };
        for (const TStep& step :
             {TStep{Qt::Key_MediaNext, 1, "play"}, TStep{Qt::Key_Right, 2, "play"},
              TStep{Qt::Key_Left, 1, "play"}, TStep{Qt::Key_MediaPrevious, 0, "play"},
              TStep{Qt::Key_Space, 0, "pause"}, TStep{Qt::Key_MediaNext, 0, "pause"},
              TStep{Qt::Key_MediaTogglePlayPause, 0, "play"}, TStep{Qt::Key_MediaStop, 0, "pause"},
              TStep{Qt::Key_MediaPause, 0, "pause"}}) {
            key(step.Key);
            EXPECT_EQ(Form->PlayingIndex, step.Index) << step.Key;
            EXPECT_EQ(Form->PlayState, step.State) << step.Key;
        }
        EXPECT_TRUE(Shows(Form->PicPlay));
        Form.reset();
    }
}

} // namespace
