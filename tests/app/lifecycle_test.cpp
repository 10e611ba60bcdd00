// The two ways of ending the program, and what reaches the entry.
#include "window_fixture.h"

#include "entry.h"

#include <QMessageBox>
#include <QTimer>
#include <thread>
#include <unistd.h>

namespace {

// Runs the real entry in a child process; `during` acts on the window once the
// loop runs. The child's exit code is what the entry returned. The death test
// waits for the child without a bound of its own, so the child keeps one: the
// alarm ends it by a signal, which fails the test.
void RunEntryWith(std::function<void()> during) {
    alarm(60);
    QTimer::singleShot(0, std::move(during));
    std::exit(RunEntry());
}

// Connected with data streaming in, either way of ending (the Close button, closing
// the window) is clean.
void EndWhileStreaming(bool closeButton) {
    UseOnlyOverriddenPorts(true);
    // The pty and its feeder are kept to the very end of the child process (which
    // its alarm bounds): nothing may be torn down under the program before it exits.
    static PtyPair* pty = new PtyPair;
    static MappedPort port(3, *pty);
    std::thread([] {
        for (;;) { pty->writeFor("0123456789", 100); std::this_thread::sleep_for(std::chrono::microseconds(200)); }
    }).detach();
    RunEntryWith([closeButton] {
        QTest::mouseClick(Form1->Button3, Qt::LeftButton);
        QTimer::singleShot(300, [closeButton] {
            if (closeButton)
                QTest::mouseClick(Form1->Button5, Qt::LeftButton);
            else
                Form1->close();
        });
    });
}

TEST(Lifecycle, EndingWhileConnectedAndReceivingEndsWithZero) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(EndWhileStreaming(true), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(EndWhileStreaming(false), ::testing::ExitedWithCode(0), "");
}

// An exception escaping an event handler ends the loop; the entry shows it and
// still ends with zero.
TEST(Lifecycle, AnExceptionIsShownAndTheExitCodeIsStillZero) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(RunEntryWith([] {
                    QTimer::singleShot(100, [] {
                        for (QWidget* w : QApplication::topLevelWidgets())
                            if (auto* box = qobject_cast<QMessageBox*>(w)) {
                                std::fprintf(stderr, "shown: %s\n", qPrintable(box->text()));
                                box->accept();
                            }
                    });
                    QTimer::singleShot(0, [] { throw std::runtime_error("boom"); });
                }),
                ::testing::ExitedWithCode(0), "shown: boom");
}

// A --log that cannot be opened is told on standard error and, for a program
// started from a launcher, as the history's first line; the program runs without.
TEST(Lifecycle, ALogThatCannotOpenIsToldAndTheProgramRunsWithout) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto run = [] {
        UseOnlyOverriddenPorts(true);
        const char* argv[] = {"morrelcom", "--log", "/nonexistent/log.txt"};
        if (TakeCommandLine(3, const_cast<char**>(argv)) != -1) std::_Exit(99);
        RunEntryWith([] {
            std::fprintf(stderr, "logging %d, history: %s|\n", int(Form1->Memo1->isLogging()),
                         qPrintable(Form1->Memo1->toPlainText()));
            Form1->Button5->click();
        });
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(0),
                "morrelcom: not logging to /nonexistent/log.txt: No such file or directory\n"
                "logging 0, history: \\[not logging to /nonexistent/log.txt: No such file or directory\\]\n\\|");
}

}  // namespace
