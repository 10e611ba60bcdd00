#include "entry.h"

#include "Unit1.h"

#include "history_view.h"

#include <QMessageBox>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

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

QString gLogPath;

constexpr char kUsage[] =
    "Usage: morrelcom [--log FILE]\n"
    "Morrel COM Port Tool ver 1.1: a serial terminal with one window.\n"
    "\n"
    "  --log FILE   log the history to FILE from the start, appending if it exists\n"
    "  --help       show this help and exit\n"
    "  --version    show the version and exit\n"
    "\n"
    "Other arguments go to the Qt toolkit, such as -platform or -display.\n";

void ShowException(const QString& text) {
    QMessageBox::critical(nullptr, QCoreApplication::applicationName(), text);
}

}  // namespace

int TakeCommandLine(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(arg, "--version") == 0) {
            std::printf("morrelcom %s\n", MORREL_VERSION);
            return 0;
        }
        if (std::strcmp(arg, "--log") == 0) {
            if (i + 1 == argc) {
                std::fputs("morrelcom: --log needs a file name (see morrelcom --help)\n", stderr);
                return 2;
            }
            gLogPath = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strncmp(arg, "--log=", 6) == 0) {
            gLogPath = QString::fromLocal8Bit(arg + 6);
        }
    }
    return -1;
}

int RunEntry() {
    try {
        auto form = std::make_unique<TForm1>();
        Form1 = form.get();
        form->FormCreate();
        form->show();
        if (!gLogPath.isEmpty()) {
            const QString error = form->Memo1->startLog(gLogPath);
            if (!error.isEmpty())
                std::fprintf(stderr, "morrelcom: not logging to %s: %s\n", qPrintable(gLogPath), qPrintable(error));
        }
        QApplication::exec();
        if (auto* app = dynamic_cast<Application*>(QCoreApplication::instance()))
            if (std::exception_ptr pending = app->TakeException())
                std::rethrow_exception(pending);
    } catch (const std::exception& e) {
        ShowException(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ShowException(QString());
    }
    return 0;
}
