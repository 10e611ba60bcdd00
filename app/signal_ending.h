#pragma once
// SIGTERM, SIGINT and SIGHUP end the program as Close does, through the event
// loop. The handler only writes the signal's number to a pipe; a QSocketNotifier
// hands it to the window's thread, where the orderly end runs.
//
// A signal that comes while the program is already ending (a second one, or any
// after EndSignalsAtOnce) ends it at once: the handler puts every open port's
// settings back (RestoreAllPortsNow) and calls _exit(128 + signo).

#include <QObject>
#include <csignal>
#include <functional>

class QSocketNotifier;

class SignalEnding : public QObject {
public:
    // Installs the handlers; `onSignal` runs once, on the calling thread's event
    // loop, with the first signal's number.
    explicit SignalEnding(std::function<void(int signo)> onSignal, QObject* parent = nullptr);
    // The default actions come back.
    ~SignalEnding() override;
    SignalEnding(const SignalEnding&) = delete;
    SignalEnding& operator=(const SignalEnding&) = delete;

    // From now on the program is ending without the event loop: any signal ends it at once.
    static void EndSignalsAtOnce();

private:
    void TakeSignal();

    std::function<void(int)> onSignal_;
    QSocketNotifier* notifier_ = nullptr;
};

// The signals that end the program in order.
inline constexpr int kEndingSignals[] = {SIGHUP, SIGINT, SIGTERM};
