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

// Reads the command line (see command_line.h) before the application object
// exists, so that --help and --version answer without a display. Returns the exit
// code when the program ends here (0 after --help or --version, 2 with the usage
// on standard error for an argument it refuses), or -1 to go on; a --log FILE is
// kept for RunEntry.
int TakeCommandLine(int argc, char** argv);

// What the toolkit gets of the command line taken: the program's name and Qt's
// own options. Both stay valid for the program's life, as QApplication needs.
int& ToolkitArgc();
char** ToolkitArgv();

// Creates Form1 and runs the message loop until Close, the window's close or a
// signal (SIGTERM, SIGINT, SIGHUP) ends it; then the reader stops, what it had
// read reaches the history, a connected port is put back as found and the log is
// written, synced and closed. Returns 0, or 128 + the signal's number when a
// signal ended it. An exception that reached the loop is shown first. A log the
// command line asked for starts with the window; when it cannot, the reason goes
// to standard error and into the history as its first line.
int RunEntry();
