#pragma once
// The reader: the one thread that reads the port. It renders each read that
// brought data into a whole history line and queues it; the window's thread takes
// queued lines in batches. Neither thread ever waits for the other, except that
// the window may wait for the reader to leave a read that PurgeComm has already
// aborted.

#include "render.h"
#include "win32.h"

#include <QThread>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

class SimpleThread : public QThread {
    Q_OBJECT
public:
    // Created suspended: constructed, not started. Idle priority once started.
    explicit SimpleThread(const std::atomic<int>* receiveFormat, QObject* parent = nullptr);
    ~SimpleThread() override;  // Shutdown()

    // Reads from `port` from now on. The first call starts the thread.
    void StartReading(HANDLE port);
    // No read starts after this returns; a read in progress may finish. Returns
    // at once.
    void StopReading();
    // Blocks until the reader is outside ReadFile. Call after StopReading and
    // PurgeComm, so the wait is at most an aborted read.
    void WaitOutOfRead();
    // Ends the loop; returns at once.
    void Terminate();
    // Ends the loop, aborts a pending read and waits for the thread to finish.
    void Shutdown();

    // Every line queued since the last call, concatenated, in order. Any thread.
    std::string TakeLines();

signals:
    // Emitted when the queue goes from empty to non-empty; connect it queued.
    void linesReady();

protected:
    void run() override;

private:
    const std::atomic<int>* receiveFormat_;
    std::mutex mutex_;
    std::condition_variable changed_;
    HANDLE port_ = nullptr;
    bool reading_ = false;
    bool inRead_ = false;
    bool terminated_ = false;

    std::mutex queueMutex_;
    std::string queue_;

    bool started_ = false;  // under mutex_

    // The reader thread's own: one read's bytes and count, and the line rendered
    // from them. Reads ask for 10 bytes; the buffer is zeroed after every line.
    unsigned char RxBuffer[50] = {};
    DWORD RxCount = 0;
    std::string line_;

    void DeliverRead();
};
