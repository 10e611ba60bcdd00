// How the program ends. Each way runs the program's own entry in a process of its
// own (ending_child), connected to a pseudo-terminal as the kernel makes it; the
// port must come back exactly as found and the log end with the last line
// received. And in the window: a save running when the program is asked to end.
#include "window_fixture.h"

#include "child_process.h"
#include "history_save.h"
#include "signal_ending.h"

#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

// A pseudo-terminal as the kernel makes it: canonical, echoing, CR to NL. Only
// its leader is held: the program refuses a port another process has open. The
// follower's settings read through the leader are the follower's own.
struct FreshPty {
    FreshPty() {
        int follower = -1;
        char name[256];
        if (openpty(&leader, &follower, name, nullptr, nullptr) != 0) return;
        path = name;
        close(follower);
    }
    ~FreshPty() {
        if (leader >= 0) close(leader);
    }
    termios Settings() const {
        termios t{};
        tcgetattr(leader, &t);
        return t;
    }
    int leader = -1;
    std::string path;
};

// An X server of the test's own, for the display going away; stopped when done.
struct OwnXServer {
    OwnXServer() {
        if (access("/usr/bin/Xvfb", X_OK) != 0) return;
        const int number = 200 + getpid() % 500;
        display = ":" + std::to_string(number);
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
        pid = Spawn({"/usr/bin/Xvfb", display, "-nolisten", "tcp"}, {});
        if (pid > 0 && !QTest::qWaitFor([&] { return access(socket.c_str(), F_OK) == 0; }, 10000)) Stop();
    }
    ~OwnXServer() { Stop(); }
    void Stop() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        WaitForExit(pid, 5000);
        pid = -1;
    }
    bool running() const { return pid > 0; }
    pid_t pid = -1;
    std::string display;
};

enum class Ending { Signal, SecondSignal, DisplayGone };

struct EndingCase {
    const char* name;
    Ending ending;
    int signo;  // the signal sent (twice for SecondSignal)
};

void PrintTo(const EndingCase& c, std::ostream* out) { *out << c.name; }

class ProgramEnding : public ::testing::TestWithParam<EndingCase> {};

TEST_P(ProgramEnding, PutsThePortBackAsFoundAndEndsTheLog) {
    const EndingCase& c = GetParam();
    FreshPty pty;
    ASSERT_FALSE(pty.path.empty()) << "openpty failed: " << errno;
    const termios found = pty.Settings();
    QTemporaryDir dir;
    // A name that is not UTF-8 must reach the file system as given.
    const std::string log = dir.path().toStdString() + "/log\xe9.txt";
    const std::string marker = dir.path().toStdString() + "/closing";

    const std::string go = dir.path().toStdString() + "/go";
    std::vector<std::string> arguments = {MORREL_ENDING_CHILD, pty.path, go};
    if (c.ending == Ending::SecondSignal) arguments.insert(arguments.end(), {"--slow-close", marker});
    arguments.insert(arguments.end(), {"--log", log});
    std::vector<std::string> environment = {"LANG=C.UTF-8", "LC_ALL=C.UTF-8"};
    std::optional<OwnXServer> x;
    if (c.ending == Ending::DisplayGone) {
        if (!x.emplace().running()) GTEST_SKIP() << "no Xvfb to take away";
        environment.insert(environment.end(), {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + x->display});
    }
    const pid_t child = Spawn(arguments, environment);
    ASSERT_GT(child, 0);
    const bool connected = QTest::qWaitFor([&] { return !(pty.Settings().c_lflag & ICANON); }, 20000);
    // Read ten bytes at a time, one history record each.
    const std::string lines = "first one!second one";
    const bool sent = connected && write(pty.leader, lines.data(), lines.size()) == ssize_t(lines.size());
    // The program reads nothing until `go`: all the bytes are queued first, and
    // the signal comes the moment it has taken the last of them.
    // The follower's input queue, seen through a descriptor opened once the program
    // holds the port (root passes its TIOCEXCL).
    const int follower = connected ? open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) : -1;
    const auto queued = [&] {
        int count = -1;
        ioctl(follower, TIOCINQ, &count);
        return count;
    };
    const bool all = sent && follower >= 0 && QTest::qWaitFor([&] { return queued() == int(lines.size()); }, 10000);
    const bool read = all && std::ofstream(go) && QTest::qWaitFor([&] { return queued() == 0; }, 10000);
    if (follower >= 0) close(follower);
    if (!read) {
        WaitForExit(child, 0);
        if (connected && follower < 0) GTEST_SKIP() << "cannot look at the port the program holds: " << errno;
        FAIL() << "the program did not connect and read (connected " << connected << ")";
    }

    if (c.ending == Ending::DisplayGone) {
        x->Stop();
    } else {
        kill(child, c.signo);
        if (c.ending == Ending::SecondSignal) {
            EXPECT_TRUE(QTest::qWaitFor([&] { return access(marker.c_str(), F_OK) == 0; }, 10000));
            kill(child, c.signo);
        }
    }
    // The slow close stalls for 30 s: only the second signal ends it within this bound.
    const int status = WaitForExit(child, 15000);
    ASSERT_NE(status, -1) << "the program did not end";
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), c.ending == Ending::DisplayGone ? 1 : 128 + c.signo);
    EXPECT_EQ(Describe(pty.Settings()), Describe(found)) << "the port is not left as found";
    if (c.ending != Ending::SecondSignal) {
        const std::string text = LoggedText(log);
        EXPECT_TRUE(text.ends_with("received:first one!\nreceived:second one\n")) << "the log: " << text;
    }
    unlink(log.c_str());  // QTemporaryDir cannot name it
}

INSTANTIATE_TEST_SUITE_P(
    Ways, ProgramEnding,
    ::testing::Values(EndingCase{"Term", Ending::Signal, SIGTERM}, EndingCase{"Interrupt", Ending::Signal, SIGINT},
                      EndingCase{"HangUp", Ending::Signal, SIGHUP},
                      EndingCase{"SecondSignalWhileSlowToEnd", Ending::SecondSignal, SIGTERM},
                      EndingCase{"DisplayGone", Ending::DisplayGone, 0}),
    [](const ::testing::TestParamInfo<EndingCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- a save running at the end

std::atomic<int> syncDelayMs{0};
int SlowSync(int fd) {
    std::this_thread::sleep_for(std::chrono::milliseconds(syncDelayMs.load()));
    return fdatasync(fd);
}

class EndingWhileSaving : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        Open();
        form->AppendHistory(QStringLiteral("kept\r\n"));
        HistorySave::setSyncFunction(SlowSync);
        path = dir.filePath(QStringLiteral("saved.txt"));
    }
    void TearDown() override {
        HistorySave::setSyncFunction(nullptr);
        WindowTest::TearDown();
    }
    // A save into a folder of its own, none there yet.
    void StartSave(int syncMs) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return !form->Memo1->isSaving(); }, 5000));
        QFile::remove(path);
        syncDelayMs = syncMs;
        ASSERT_TRUE(form->Memo1->saveHistory(path));
    }
    // Runs the application's loop until the program is told to end (its code) or
    // `ms` pass (-1). Only the application's own exec() clears the end it was
    // told, so that later loops (the question's) run again.
    int LoopUntilEnd(int ms) {
        QObject bound;  // its timer goes with it
        QTimer::singleShot(ms, &bound, [] { QCoreApplication::exit(-1); });
        return QApplication::exec();
    }
    // Answers the question about the running save with the button `caption`, or Escape.
    void Answer(const QString& caption) {
        QTimer::singleShot(50, [this, caption] {
            QMessageBox* box = nullptr;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* shown = qobject_cast<QMessageBox*>(w); shown && shown->isVisible()) box = shown;
            if (!box) return;
            asked = box->text();
            for (QAbstractButton* button : box->buttons())
                if (button->text() == caption) return button->click();
            QTest::keyClick(box, Qt::Key_Escape);
        });
    }
    bool Saved() const { return QFile::exists(path); }

    QTemporaryDir dir;
    QString path;
    QString asked;
};

TEST_F(EndingWhileSaving, ASignalWaitsForTheSaveThenStopsItAtTheBound) {
    ASSERT_NO_FATAL_FAILURE(StartSave(300));
    form->EndBySignal(SIGTERM);
    EXPECT_EQ(LoopUntilEnd(10000), 128 + SIGTERM);
    EXPECT_TRUE(Saved()) << "a save that ends within the bound is waited for";

    ASSERT_NO_FATAL_FAILURE(StartSave(1500));
    form->SignalSaveWaitMs = 100;
    ::testing::internal::CaptureStderr();
    form->EndBySignal(SIGTERM);
    const int code = LoopUntilEnd(10000);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, 128 + SIGTERM);
    EXPECT_FALSE(Saved()) << "a stopped save leaves no partial file";
    EXPECT_EQ(said, "morrelcom: the save to " + path.toStdString() +
                        " was stopped: the program was ended by a signal\n");
}

TEST_F(EndingWhileSaving, ClosingAsksAndDoesWhatIsChosen) {
    // Wait for It: the window closes once the save is done.
    ASSERT_NO_FATAL_FAILURE(StartSave(300));
    Answer(QStringLiteral("Wait for It"));
    EXPECT_FALSE(form->close());
    EXPECT_EQ(asked, QStringLiteral("A save of 5 bytes is running."));
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form->isVisible(); }, 10000)) << "closed after the save";
    EXPECT_TRUE(Saved());

    // Escape: back to the window, the save goes on and nothing ends.
    form->show();
    ASSERT_NO_FATAL_FAILURE(StartSave(300));
    Answer(QString());
    EXPECT_FALSE(form->RequestQuit(false));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form->Memo1->isSaving(); }, 10000));
    EXPECT_TRUE(Saved());
    EXPECT_TRUE(form->isVisible());

    // Stop It and Quit: the Close button ends the loop, without a partial file.
    ASSERT_NO_FATAL_FAILURE(StartSave(1500));
    Answer(QStringLiteral("Stop It and Quit"));
    QTimer::singleShot(0, [this] { QTest::mouseClick(form->Button5, Qt::LeftButton); });
    EXPECT_EQ(LoopUntilEnd(10000), 0);
    EXPECT_FALSE(form->Memo1->isSaving());
    EXPECT_FALSE(Saved());
}

}  // namespace
