#include "entry.h"

#include "Unit1.h"

#include <QMessageBox>
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

void ShowException(const QString& text) {
    QMessageBox::critical(nullptr, QCoreApplication::applicationName(), text);
}

}  // namespace

int RunEntry() {
    try {
        auto form = std::make_unique<TForm1>();
        Form1 = form.get();
        form->FormCreate();
        form->show();
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
