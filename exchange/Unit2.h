#pragma once
// The reader: the one thread that reads the port. Every history line is what one
// read of at most 10 bytes with the 20 ms time-out gives: a burst gives lines of
// 10, bytes arriving slowly give the lines they would give one read at a time.
// While data streams in, the reader naps a few milliseconds and then takes what
// has queued in the driver in one read, cut into lines of 10, which is what back-
// to-back reads of 10 would have found; that saves most of its wake-ups.
// Lines queue for the window's thread, which takes them in batches. Neither
// thread ever waits for the other, except that the window may wait for the reader
// to leave a read that PurgeComm has already aborted.
//
// When the device fails (hung up, gone, I/O error) the reader stops reading that
// handle by itself and reports the loss once, after the lines read before it.

#include "render.h"
#include "win32.h"

#include <QThread>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Looks at every read's bytes on the reader's thread, before they are rendered
// (the file sender waiting for a reply). It must be quick.
class ReceiveTap {
public:
    virtual ~ReceiveTap() = default;
    virtual void Received(const unsigned char* bytes, std::size_t count) = 0;
};

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
    // Blocks until the reader is outside ReadFile and has queued what that read
    // brought. Call after StopReading and PurgeComm, so the wait is at most an
    // aborted read; then nothing more comes from the handle it read.
    void WaitOutOfRead();
    // Ends the loop; returns at once.
    void Terminate();
    // Ends the loop, aborts a pending read and waits for the thread to finish.
    void Shutdown();

    // Everything the reader has for the window, taken at once so that nothing
    // can slip between its parts: the lines queued (concatenated, in order), then
    // the GetLastError value of a device failure that stopped the reading (0 when
    // none; every line read before it is in `lines`), and the received bytes
    // dropped because memory ran out; and when each read returned, which its
    // lines share. Any thread.
    struct ReadTime {
        std::size_t end;     // the read's lines end here in `lines`
        std::int64_t mono;   // microseconds on CLOCK_MONOTONIC
        std::int64_t wall;   // microseconds since the epoch on CLOCK_REALTIME
    };
    struct Batch {
        std::string lines;
        DWORD loss = 0;
        std::uint64_t droppedBytes = 0;
        std::vector<ReadTime> times;
    };
    Batch TakeBatch();
    // True while so many lines wait untaken that the reader reads no more.
    bool WindowIsBehind();

    // Hands each read's bytes to `tap` from now on, once their lines are queued;
    // nullptr stops that. Returns once no call of the tap it replaces is under
    // way. Any thread.
    void SetReceiveTap(ReceiveTap* tap);

signals:
    // Emitted when the reader gets something for the window while it held
    // nothing untaken; connect it queued.
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
    std::vector<ReadTime> times_;     // under queueMutex_
    DWORD lostError_ = 0;             // under queueMutex_
    std::uint64_t droppedBytes_ = 0;  // under queueMutex_

    bool started_ = false;  // under mutex_

    // Looked at once per read, so reading without a tap costs one atomic load.
    std::atomic<bool> tapSet_{false};
    std::mutex tapMutex_;
    ReceiveTap* tap_ = nullptr;  // under tapMutex_

    // The reader thread's own: one read's bytes and count, and the lines rendered
    // from them. A read asks for 10 bytes, or for the whole tens already queued in
    // the driver while data streams; the buffer is zeroed after every read.
    unsigned char RxBuffer[4096] = {};
    DWORD RxCount = 0;
    std::string line_;

    bool NothingUntaken() const;  // under queueMutex_
    DWORD NextReadSize(HANDLE port, bool streaming);
    void Nap(std::chrono::microseconds span);
    void DeliverRead();
    void ReportLoss(HANDLE port, DWORD error);
};
