#include "entry.h"

#include "Unit1.h"
#include "command_line.h"
#include "display_check.h"
#include "signal_ending.h"

#include "history_view.h"

#include <QMessageBox>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {}

bool Application::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        if (!pending_) pending_ = std::current_exception();
        quit();
        return false;
    }
}

std::exception_ptr Application::TakeException() {
    return std::exchange(pending_, nullptr);
}

namespace {

bool gLogAsked = false;
TimestampMode gTimestamps = TimestampMode::None;
std::string gLogPath;  // bytes, as given
std::vector<std::string> gToolkitArguments;
std::vector<char*> gToolkitArgv;
int gToolkitArgc = 0;

// How long the end waits for the log to reach the disk: a stalled disk must not
// keep the program from ending.
constexpr int kFinishLogMs = 5000;

void ShowException(const QString& text) {
    QMessageBox::critical(nullptr, QCoreApplication::applicationName(), text);
}

void StartLog(TForm1& form) {
    const QString error = form.Memo1->startLogByName(QByteArray::fromStdString(gLogPath));
    if (error.isEmpty()) return;
    std::fprintf(stderr, "morrelcom: not logging to %s: %s\n", gLogPath.c_str(), qPrintable(error));
    // Started from a desktop launcher, nobody reads standard error.
    form.AppendHistory(QStringLiteral("[not logging to %1: %2]\r\n")
                           .arg(QString::fromLocal8Bit(gLogPath), error));
}

}  // namespace

int TakeCommandLine(int argc, char** argv) {
    const CommandLine line = ParseCommandLine(argc, argv);
    switch (line.action) {
    case CommandLine::Action::Help:
        std::fputs(kUsage, stdout);
        return 0;
    case CommandLine::Action::Version:
        std::printf("morrelcom %s\n", MORREL_VERSION);
        return 0;
    case CommandLine::Action::Refuse:
        std::fprintf(stderr, "morrelcom: %s\n%s", line.error.c_str(), kUsageLine);
        return kUsageExitCode;
    case CommandLine::Action::Run:
        break;
    }
    gLogAsked = line.log;
    gTimestamps = line.timestamps;
    gLogPath = line.logPath;
    gToolkitArguments = line.toolkitArguments;
    gToolkitArgv.clear();
    for (std::string& argument : gToolkitArguments) gToolkitArgv.push_back(argument.data());
    gToolkitArgv.push_back(nullptr);
    gToolkitArgc = static_cast<int>(gToolkitArguments.size());
    return -1;
}

int& ToolkitArgc() { return gToolkitArgc; }
char** ToolkitArgv() { return gToolkitArgv.data(); }

int RunEntry() {
    int code = 0;
    try {
        auto form = std::make_unique<TForm1>();
        Form1 = form.get();
        form->FormCreate();
        form->show();
        form->SetTimestampMode(gTimestamps);  // before the log starts: its first line says how times show
        if (gLogAsked) StartLog(*form);
        WatchDisplayLoss([] {
            SignalEnding::EndSignalsAtOnce();
            if (!Form1) return;
            Form1->EndSession();
            Form1->Memo1->finishLog(kFinishLogMs);
        });
        // Kept to the end: a signal while the window goes still puts the ports back.
        SignalEnding endingSignals([&form](int signo) { form->EndBySignal(signo); });
        code = QApplication::exec();
        SignalEnding::EndSignalsAtOnce();
        form->EndSession();
        form->Memo1->finishLog(kFinishLogMs);
        form.reset();
        if (auto* app = dynamic_cast<Application*>(QCoreApplication::instance()))
            if (std::exception_ptr pending = app->TakeException())
                std::rethrow_exception(pending);
    } catch (const std::exception& e) {
        ShowException(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ShowException(QString());
    }
    return code;
}
