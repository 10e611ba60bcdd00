#include "Unit2.h"

#include <algorithm>
#include <ctime>
#include <chrono>
#include <cstring>
#include <new>
#include <utility>

namespace {

constexpr DWORD kReadSize = 10;

// While data streams in, the reader lets it gather in the driver between reads.
// The nap adapts so that about a quarter to three quarters of the read buffer
// gathers: at most 12 ms, under the 20 ms read time-out, so a line never
// waits longer than one read would have; down to a quarter of a millisecond
// for a flood, so the driver's buffer never fills.
constexpr std::chrono::microseconds kLongestNap{12000};
constexpr std::chrono::microseconds kShortestNap{250};

// When the window falls this far behind (a slow machine, a flood), the reader
// stops taking bytes until it catches up: they wait in the driver, where flow
// control can hold the sender, instead of piling up in memory here.
constexpr std::size_t kMostQueued = std::size_t{4} << 20;

bool IsDeviceFailure(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_DEVICE_NOT_CONNECTED ||
           error == ERROR_GEN_FAILURE;
}

// How long to wait for a read to notice an abort before sending it again. An
// abort sent just before the reader enters ReadFile finds no read to wake and is
// lost, so it is repeated until the reader is out.
constexpr std::chrono::milliseconds kAbortRetry{2};

bool IsOpenHandle(HANDLE port) { return port != nullptr && port != INVALID_HANDLE_VALUE; }

}  // namespace

SimpleThread::SimpleThread(const std::atomic<int>* receiveFormat, QObject* parent)
    : QThread(parent), receiveFormat_(receiveFormat) {
    line_.reserve(sizeof("received:") + sizeof(RxBuffer) * 5 + 2);
}

SimpleThread::~SimpleThread() { Shutdown(); }

void SimpleThread::StartReading(HANDLE port) {
    // A handle that is not open would make every ReadFile fail at once and the
    // loop spin; such a start is not a start.
    if (!IsOpenHandle(port)) return;
    {
        std::lock_guard lock(mutex_);
        if (terminated_) return;
        port_ = port;
        reading_ = true;
        if (!started_) {
            started_ = true;
            start(QThread::IdlePriority);
        }
    }
    changed_.notify_all();
}

void SimpleThread::StopReading() {
    std::lock_guard lock(mutex_);
    reading_ = false;
}

void SimpleThread::WaitOutOfRead() {
    std::unique_lock lock(mutex_);
    while (inRead_) {
        if (changed_.wait_for(lock, kAbortRetry, [this] { return !inRead_; })) break;
        // The caller's own abort may have come before the read began; once reading
        // is off, any read still going is one to abandon.
        if (!reading_ && IsOpenHandle(port_)) PurgeComm(port_, PURGE_RXABORT);
    }
}

void SimpleThread::Terminate() {
    {
        std::lock_guard lock(mutex_);
        terminated_ = true;
    }
    changed_.notify_all();
}

void SimpleThread::Shutdown() {
    bool started = false;
    {
        std::unique_lock lock(mutex_);
        terminated_ = true;
        started = started_;
        changed_.notify_all();
        // While inRead_ is set the owner has not closed the handle: it waits for
        // the reader to leave the read before it closes.
        while (inRead_) {
            if (IsOpenHandle(port_)) PurgeComm(port_, PURGE_RXABORT);
            changed_.wait_for(lock, kAbortRetry, [this] { return !inRead_; });
        }
    }
    if (started) wait();
    // QThread::wait() may return through Qt's own futex alone; taking the lock
    // that run() last released orders its end before this object's destruction
    // for every tool that checks it.
    std::lock_guard lock(mutex_);
}

SimpleThread::Batch SimpleThread::TakeBatch() {
    Batch batch;
    std::lock_guard lock(queueMutex_);
    batch.lines.swap(queue_);
    batch.times.swap(times_);
    batch.loss = std::exchange(lostError_, 0);
    batch.droppedBytes = std::exchange(droppedBytes_, 0);
    return batch;
}

void SimpleThread::SetReceiveTap(ReceiveTap* tap) {
    std::lock_guard lock(tapMutex_);
    tap_ = tap;
    tapSet_.store(tap != nullptr, std::memory_order_release);
}

bool SimpleThread::NothingUntaken() const {
    return queue_.empty() && lostError_ == 0 && droppedBytes_ == 0;
}

void SimpleThread::run() {
    bool streaming = false;  // the last read was full: more is likely queued
    bool napped = false;     // the last read followed a nap, so its size tells the rate
    std::chrono::microseconds nap = kLongestNap;
    for (;;) {
        if (WindowIsBehind()) {
            std::unique_lock lock(mutex_);
            if (terminated_) return;
            changed_.wait_for(lock, kLongestNap, [this] { return terminated_; });
            continue;
        }
        HANDLE port = nullptr;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return reading_ || terminated_; });
            if (terminated_) return;
            // Checked and marked under one lock, so a StopReading either comes
            // before (no read) or finds the read marked and is waited out.
            port = port_;
            inRead_ = true;
        }
        const DWORD size = NextReadSize(port, streaming);
        RxCount = 0;
        // On a failed or hung-up device this still takes its full time-out, which
        // is the loop's only pacing.
        const bool ok = ReadFile(port, RxBuffer, size, &RxCount, nullptr);
        const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        const DWORD got = RxCount;  // DeliverRead clears RxCount
        streaming = got == size;
        // Queued before the read counts as over, so that once the window has waited
        // out the read, nothing of this connection can still come after it.
        if (got > 0) DeliverRead();
        if (!ok && IsDeviceFailure(error)) {
            ReportLoss(port, error);
            streaming = false;
        }
        {
            std::lock_guard lock(mutex_);
            inRead_ = false;
        }
        changed_.notify_all();
        if (!streaming) {
            nap = kLongestNap;
            napped = false;
            continue;
        }
        if (napped && got >= sizeof RxBuffer * 3 / 4)
            nap = std::max(nap / 2, kShortestNap);
        else if (napped && got < sizeof RxBuffer / 4)
            nap = std::min(nap * 2, kLongestNap);
        Nap(nap);
        napped = true;
    }
}

bool SimpleThread::WindowIsBehind() {
    std::lock_guard lock(queueMutex_);
    return queue_.size() > kMostQueued;
}

DWORD SimpleThread::NextReadSize(HANDLE port, bool streaming) {
    if (!streaming) return kReadSize;
    COMSTAT queued;
    if (!ClearCommError(port, nullptr, &queued) || queued.cbInQue < kReadSize) return kReadSize;
    const DWORD whole = std::min<DWORD>(queued.cbInQue, sizeof RxBuffer);
    return whole - whole % kReadSize;
}

void SimpleThread::Nap(std::chrono::microseconds span) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, span, [this] { return !reading_ || terminated_; });
}

void SimpleThread::ReportLoss(HANDLE port, DWORD error) {
    {
        std::lock_guard lock(mutex_);
        // Reading a failed handle again would only fail again; the window closes it.
        if (port_ == port) {
            reading_ = false;
            port_ = nullptr;
        }
    }
    bool wasEmpty = false;
    {
        std::lock_guard lock(queueMutex_);
        wasEmpty = NothingUntaken();
        lostError_ = error;
    }
    if (wasEmpty) emit linesReady();
}

void SimpleThread::DeliverRead() {
    ReceiveFormat format = ReceiveFormat::Ascii;
    if (receiveFormat_ != nullptr) {
        switch (receiveFormat_->load(std::memory_order_relaxed)) {
        case static_cast<int>(ReceiveFormat::Hex): format = ReceiveFormat::Hex; break;
        case static_cast<int>(ReceiveFormat::Dec): format = ReceiveFormat::Dec; break;
        default: break;
        }
    }
    const DWORD count = std::min<DWORD>(RxCount, sizeof RxBuffer);
    timespec mono {}, wall {};
    ::clock_gettime(CLOCK_MONOTONIC, &mono);
    ::clock_gettime(CLOCK_REALTIME, &wall);
    const auto micros = [](const timespec& t) { return std::int64_t(t.tv_sec) * 1'000'000 + t.tv_nsec / 1000; };
    bool wasEmpty = false;
    try {
        line_.clear();
        // Each 10 bytes are the line one read of 10 would have given.
        for (DWORD at = 0; at < count; at += kReadSize)
            RenderReceived(RxBuffer + at, std::min(kReadSize, count - at), format, line_);
        std::lock_guard lock(queueMutex_);
        times_.reserve(times_.size() + 1);  // before the lines go in, so that a failure leaves both as they were
        wasEmpty = NothingUntaken();
        queue_ += line_;
        if (!line_.empty())
            times_.push_back({queue_.size(), micros(mono), micros(wall)});
    } catch (const std::bad_alloc&) {
        // Out of memory: the bytes are lost, but the program and its history stay;
        // the window says how many went.
        std::lock_guard lock(queueMutex_);
        wasEmpty = NothingUntaken();
        droppedBytes_ += count;
    }
    // After the lines are queued: whatever the tap sets off finds them there.
    if (tapSet_.load(std::memory_order_acquire)) {
        std::lock_guard lock(tapMutex_);
        if (tap_ != nullptr) tap_->Received(RxBuffer, count);
    }
    std::memset(RxBuffer, 0, count);
    RxCount = 0;
    // One signal per batch: the window takes everything queued when it runs.
    if (wasEmpty) emit linesReady();
}
