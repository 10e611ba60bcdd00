#include "signal_ending.h"

#include "emergency_restore.h"

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The first signal's number; once set, the next signal ends the program at once.
std::atomic<int> firstSignal{0};
std::atomic<int> pipeWrite{-1};

void OnEndingSignal(int signo) {
    const int savedErrno = errno;
    int none = 0;
    if (!firstSignal.compare_exchange_strong(none, signo)) {
        RestoreAllPortsNow();
        _exit(128 + signo);
    }
    const unsigned char byte = static_cast<unsigned char>(signo);
    const int fd = pipeWrite.load();
    while (fd >= 0 && write(fd, &byte, 1) < 0 && errno == EINTR) {
    }
    errno = savedErrno;
}

void SetHandler(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signo : kEndingSignals) sigaction(signo, &action, nullptr);
}

int pipeRead = -1;

}  // namespace

SignalEnding::SignalEnding(std::function<void(int)> onSignal, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal)) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;  // signals keep their default action
    pipeRead = ends[0];
    pipeWrite.store(ends[1]);
    firstSignal.store(0);
    notifier_ = new QSocketNotifier(pipeRead, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SignalEnding::TakeSignal);
    SetHandler(OnEndingSignal);
}

SignalEnding::~SignalEnding() {
    if (!notifier_) return;
    SetHandler(SIG_DFL);
    delete notifier_;
    close(pipeWrite.exchange(-1));
    close(pipeRead);
    pipeRead = -1;
}

void SignalEnding::EndSignalsAtOnce() {
    int none = 0;
    // Any signal number marks it; a signal already taken keeps its own.
    firstSignal.compare_exchange_strong(none, -1);
}

void SignalEnding::TakeSignal() {
    unsigned char byte = 0;
    ssize_t got;
    while ((got = read(pipeRead, &byte, 1)) < 0 && errno == EINTR) {
    }
    if (got != 1) return;
    notifier_->setEnabled(false);  // one orderly end; a later signal ends at once
    onSignal_(byte);
}
