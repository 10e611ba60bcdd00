#pragma once
// Where the history's oldest parts go when its memory budget is spent: one
// temporary file that has no name (O_TMPFILE), so no other user can open it and
// it goes when the program does, on a disk-backed file system ($TMPDIR or /tmp,
// else /var/tmp; never tmpfs or ramfs, which would spend the memory it saves).
// Every record is sealed with XChaCha20-Poly1305 under a key made at random when
// the file is first needed and kept only in locked memory, with a fresh nonce per
// write and the record's offset as associated data, so nothing readable reaches
// the disk and a damaged or moved record fails to read instead of reading wrong.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class HistorySpill {
public:
    enum class Status { Unused, OnDisk, MemoryOnly };
    struct Extent {
        std::uint64_t offset = 0;
        std::uint32_t length = 0;
    };

    explicit HistorySpill(std::vector<std::string> directories = defaultDirectories());
    ~HistorySpill();
    HistorySpill(const HistorySpill&) = delete;
    HistorySpill& operator=(const HistorySpill&) = delete;

    // $TMPDIR, or /tmp when it is unset, then /var/tmp.
    static std::vector<std::string> defaultDirectories();

    // Writes to `fd` from now on instead of a file of its own, and owns it. A seam
    // for tests: /dev/full stands for a full disk, a file of theirs can be damaged.
    void adopt(int fd);

    // Opens the file on first use. False when no directory gives one; status()
    // then says so until clear().
    bool available();
    // Seals `plain` and writes it after the last record. 0 or an errno value.
    int write(std::string_view plain, Extent& where);
    // What write() stored at `where`; false if it cannot be read or authenticated.
    bool read(Extent where, std::string& plain);
    // Gives the record's space back to the file system.
    void release(Extent where);
    void clear();

    // Reads records on another thread, with a descriptor and a key of its own, so
    // it outlives the spill. While one is alive no record's space is given back or
    // written over: release() and clear() leave that until it has gone.
    class Reader {
    public:
        Reader(int fd, const unsigned char* key);
        ~Reader();
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;
        bool read(Extent where, std::string& plain) const;
        bool valid() const { return fd_ >= 0 && key_; }

    private:
        int fd_;
        unsigned char* key_;
    };
    // Null while nothing is on disk.
    std::shared_ptr<const Reader> reader();
    // Gives back what was left while a reader was alive, once none is. Writes,
    // releases and clear() do it too.
    void settle();

    Status status() const { return status_; }
    const std::string& directory() const { return directory_; }
    std::uint64_t liveBytes() const { return live_; }

private:
    bool makeKey();
    void punch(std::uint64_t offset, std::uint64_t length);
    bool held() const { return !reader_.expired(); }

    std::vector<std::string> directories_;
    std::string directory_;
    int fd_ = -1;
    Status status_ = Status::Unused;
    unsigned char* key_ = nullptr;  // sodium_malloc'd: locked, guarded, wiped when freed
    std::uint64_t end_ = 0;         // where the next record goes
    std::uint64_t live_ = 0;        // bytes of records not yet released
    std::weak_ptr<const Reader> reader_;
    std::vector<Extent> released_;  // left while a reader was alive
    std::uint64_t clearedEnd_ = 0;  // everything before it was cleared while one was
};
