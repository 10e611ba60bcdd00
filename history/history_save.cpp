#include "history_save.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Below the window's thread, so that on a busy machine the window gets a processor first.
constexpr int kSaveNice = 5;

// Writing back starts every so often instead of all at the commit's sync, so the
// disk works while the rest is decoded.
constexpr qint64 kWriteBackBytes = qint64{32} << 20;

std::atomic<HistorySave::SyncFunction> syncFunction{::fdatasync};

// 0, or the errno value of the sync's failure.
int syncFile(int fd) {
    const HistorySave::SyncFunction sync = syncFunction.load();
    for (;;) {
        if (sync(fd) == 0)
            return 0;
        if (errno != EINTR)
            return errno;
    }
}

}  // namespace

void HistorySave::setSyncFunction(SyncFunction sync) { syncFunction = sync ? sync : ::fdatasync; }

// Followed through symbolic links, as QSaveFile follows them to the file it replaces.
QString HistorySave::refusal(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};  // none yet, or the open tells why not
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("not a regular file");
    if (st.st_nlink > 1)
        return QStringLiteral("the file has other names (hard links); saving would separate them");
    return {};
}

HistorySave::Result HistorySave::write(const HistoryShown& snapshot, const QString& path,
                                       const Progress& carryOn) {
    if (const QString why = refusal(path); !why.isEmpty())
        return {Outcome::Failed, why};
    QSaveFile file(path);
    // Unbuffered: a full disk is then told by the write that met it, with its
    // reason; Qt's buffer would fail later at a flush that says "Unknown error".
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return {Outcome::Failed, file.errorString()};
    try {
        HistoryCodec codec;
        std::string part;
        qint64 written = 0;
        qint64 writtenBack = 0;
        for (std::size_t i = 0; i < snapshot.parts(); ++i) {
            if (!carryOn(written, Stage::Writing)) {
                file.cancelWriting();
                return {Outcome::Cancelled, {}};
            }
            snapshot.read(i, codec, part);
            // A short write says nothing; the next one gives the reason.
            for (qint64 done = 0; done < qint64(part.size());) {
                const qint64 n = file.write(part.data() + done, qint64(part.size()) - done);
                if (n <= 0) {
                    const QString error = file.errorString();
                    file.cancelWriting();
                    return {Outcome::Failed, error};
                }
                done += n;
            }
            written += qint64(part.size());
            if (written - writtenBack >= kWriteBackBytes) {
                (void)::sync_file_range(file.handle(), writtenBack, written - writtenBack, SYNC_FILE_RANGE_WRITE);
                writtenBack = written;
            }
        }
        // Synced before the rename, and asked again after the sync, which may take long.
        if (!carryOn(written, Stage::Syncing)) {
            file.cancelWriting();
            return {Outcome::Cancelled, {}};
        }
        if (const int error = syncFile(file.handle()); error != 0) {
            file.cancelWriting();
            return {Outcome::Failed, QString::fromLocal8Bit(std::strerror(error))};
        }
        if (!carryOn(written, Stage::Syncing)) {
            file.cancelWriting();
            return {Outcome::Cancelled, {}};
        }
    } catch (const std::bad_alloc&) {
        file.cancelWriting();
        return {Outcome::Failed, QStringLiteral("Not enough memory")};
    }
    if (!file.commit())
        return {Outcome::Failed, file.errorString()};
    // The rename lives in the folder: until the folder is synced too, a crash can
    // bring back the old file, or none.
    const QByteArray folder = QFile::encodeName(QFileInfo(QFileInfo(path).canonicalFilePath()).path());
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int error = dir < 0 ? errno : syncFile(dir);
    if (dir >= 0)
        ::close(dir);
    // A file system that cannot sync a folder (EINVAL) keeps its own promises.
    if (error != 0 && error != EINVAL)
        return {Outcome::Failed, QStringLiteral("saved, but its folder could not be synced: ") +
                                     QString::fromLocal8Bit(std::strerror(error))};
    return {};
}

HistorySave::HistorySave(HistoryShown snapshot, const QString& path)
    : path_(path), total_(snapshot.size()) {
    thread_ = std::thread([this, path, snapshot = std::move(snapshot)]() mutable {
        (void)::setpriority(PRIO_PROCESS, ::gettid(), kSaveNice);  // this thread only
        Result result;
        {
            // Gone before the end is announced, so that the store may reuse what it held.
            const HistoryShown mine = std::move(snapshot);
            result = write(mine, path, [this](qint64 written, Stage stage) {
                written_ = written;
                syncing_ = stage == Stage::Syncing;
                return !cancel_;
            });
        }
        std::lock_guard lock(mutex_);
        result_ = result;
        finished_ = true;
        ended_.notify_all();
    });
}

HistorySave::~HistorySave() {
    cancel();
    thread_.join();
}

bool HistorySave::isFinished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

bool HistorySave::waitFinished(int ms) {
    std::unique_lock lock(mutex_);
    return ended_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return finished_; });
}

HistorySave::Result HistorySave::result() const {
    std::lock_guard lock(mutex_);
    return result_;
}
