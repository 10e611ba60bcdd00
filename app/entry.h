#pragma once
// The program's entry, split so the tests can run it under their own application
// object.

#include <QApplication>
#include <exception>

// The application object. An exception escaping an event handler ends the message
// loop and is handed to the entry, which shows it; Qt itself cannot carry
// exceptions through its loop.
class Application : public QApplication {
public:
    Application(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
    std::exception_ptr TakeException();

private:
    std::exception_ptr pending_;
};

// Reads the command line before the application object exists, so that --help
// and --version answer without a display. Returns the exit code when the program
// ends here, or -1 to go on; a --log FILE is kept for RunEntry. Arguments it does
// not know are left to Qt, which takes its own (-platform, -display, ...).
int TakeCommandLine(int argc, char** argv);

// Creates Form1, runs the message loop until the application is terminated,
// shows an exception that reached it, and returns 0 in every case. A log the
// command line asked for starts with the window; when it cannot, one line on
// standard error says why and the program runs without it.
int RunEntry();
