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

// Creates Form1, runs the message loop until the application is terminated,
// shows an exception that reached it, and returns 0 in every case.
int RunEntry();
