#include "history_spill.h"

#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace {

constexpr std::size_t kNonce = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr std::size_t kTag = crypto_aead_xchacha20poly1305_ietf_ABYTES;

bool inMemory(int fd) {
    struct statfs fs {};
    if (fstatfs(fd, &fs) != 0)
        return true;  // unknown counts as unsuitable
    return fs.f_type == TMPFS_MAGIC || fs.f_type == RAMFS_MAGIC;
}

// The offset, little-endian: a record read from anywhere else fails to authenticate.
void offsetBytes(std::uint64_t offset, unsigned char out[8]) {
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<unsigned char>(offset >> (8 * i));
}

// Thread-safe: pread() and the key, which nothing changes while it is in use.
bool readRecord(int fd, const unsigned char* key, HistorySpill::Extent where, std::string& plain) {
    if (fd < 0 || where.length < kNonce + kTag)
        return false;
    std::string record(where.length, '\0');
    std::size_t done = 0;
    while (done < record.size()) {
        const ssize_t n = ::pread(fd, record.data() + done, record.size() - done, off_t(where.offset + done));
        if (n > 0)
            done += std::size_t(n);
        else if (!(n < 0 && errno == EINTR))
            return false;
    }
    plain.resize(record.size() - kNonce - kTag);
    const auto* in = reinterpret_cast<const unsigned char*>(record.data());
    unsigned char ad[8];
    offsetBytes(where.offset, ad);
    return crypto_aead_xchacha20poly1305_ietf_decrypt(reinterpret_cast<unsigned char*>(plain.data()), nullptr,
                                                      nullptr, in + kNonce, record.size() - kNonce, ad, sizeof ad,
                                                      in, key) == 0;
}

}  // namespace

HistorySpill::HistorySpill(std::vector<std::string> directories) : directories_(std::move(directories)) {}

HistorySpill::~HistorySpill() {
    if (fd_ >= 0)
        ::close(fd_);
    if (key_)
        sodium_free(key_);
}

std::vector<std::string> HistorySpill::defaultDirectories() {
    const char* tmp = std::getenv("TMPDIR");
    std::vector<std::string> dirs{tmp && *tmp ? tmp : "/tmp"};
    if (dirs.front() != "/var/tmp")
        dirs.emplace_back("/var/tmp");
    return dirs;
}

bool HistorySpill::makeKey() {
    if (key_)
        return true;
    if (sodium_init() < 0)
        return false;
    key_ = static_cast<unsigned char*>(sodium_malloc(crypto_aead_xchacha20poly1305_ietf_KEYBYTES));
    if (!key_)
        return false;
    crypto_aead_xchacha20poly1305_ietf_keygen(key_);
    sodium_mprotect_readonly(key_);
    return true;
}

void HistorySpill::adopt(int fd) {
    clear();
    if (fd_ >= 0)
        ::close(fd_);
    released_.clear();  // a reader keeps its own descriptor to the old file
    clearedEnd_ = end_ = live_ = 0;
    fd_ = fd;
    directory_.clear();
    status_ = fd_ >= 0 && makeKey() ? Status::OnDisk : Status::MemoryOnly;
}

bool HistorySpill::available() {
    if (status_ != Status::Unused)
        return status_ == Status::OnDisk;
    status_ = Status::MemoryOnly;
    if (!makeKey())
        return false;
    for (const std::string& dir : directories_) {
        const int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0)
            continue;
        if (inMemory(fd)) {
            ::close(fd);
            continue;
        }
        fd_ = fd;
        directory_ = dir;
        status_ = Status::OnDisk;
        return true;
    }
    return false;
}

int HistorySpill::write(std::string_view plain, Extent& where) {
    settle();
    if (!available())
        return ENOENT;
    const std::uint64_t length = kNonce + plain.size() + kTag;
    if (length > UINT32_MAX)
        return EFBIG;
    std::string record(std::size_t(length), '\0');
    auto* out = reinterpret_cast<unsigned char*>(record.data());
    randombytes_buf(out, kNonce);
    unsigned char ad[8];
    offsetBytes(end_, ad);
    crypto_aead_xchacha20poly1305_ietf_encrypt(out + kNonce, nullptr,
                                               reinterpret_cast<const unsigned char*>(plain.data()), plain.size(),
                                               ad, sizeof ad, nullptr, out, key_);
    std::size_t done = 0;
    while (done < record.size()) {
        const ssize_t n = ::pwrite(fd_, record.data() + done, record.size() - done, off_t(end_ + done));
        if (n > 0) {
            done += std::size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            const int error = n < 0 ? errno : ENOSPC;
            punch(end_, done);  // what part of it landed
            return error;
        }
    }
    where = {end_, std::uint32_t(length)};
    end_ += length;
    live_ += length;
    return 0;
}

bool HistorySpill::read(Extent where, std::string& plain) { return readRecord(fd_, key_, where, plain); }

HistorySpill::Reader::Reader(int fd, const unsigned char* key) : fd_(fd), key_(nullptr) {
    key_ = static_cast<unsigned char*>(sodium_malloc(crypto_aead_xchacha20poly1305_ietf_KEYBYTES));
    if (key_) {
        std::memcpy(key_, key, crypto_aead_xchacha20poly1305_ietf_KEYBYTES);
        sodium_mprotect_readonly(key_);
    }
}

HistorySpill::Reader::~Reader() {
    if (fd_ >= 0)
        ::close(fd_);
    if (key_)
        sodium_free(key_);
}

bool HistorySpill::Reader::read(Extent where, std::string& plain) const {
    return valid() && readRecord(fd_, key_, where, plain);
}

std::shared_ptr<const HistorySpill::Reader> HistorySpill::reader() {
    if (fd_ < 0 || !key_)
        return nullptr;
    if (auto alive = reader_.lock())
        return alive;
    const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    auto made = std::make_shared<const Reader>(fd, key_);
    if (!made->valid())
        return nullptr;
    reader_ = made;
    return made;
}

void HistorySpill::release(Extent where) {
    if (fd_ < 0 || where.length == 0)
        return;
    live_ -= std::min<std::uint64_t>(live_, where.length);
    if (held()) {
        released_.push_back(where);
        return;
    }
    settle();
    punch(where.offset, where.length);
    if (live_ == 0)
        clear();  // nothing left to keep: start again at the front
}

void HistorySpill::clear() {
    if (held()) {
        // A reader still reads these records: new ones go after them.
        clearedEnd_ = end_;
        released_.clear();
        live_ = 0;
        return;
    }
    released_.clear();
    clearedEnd_ = 0;
    if (fd_ >= 0 && end_ > 0) {
        // One hole over all of it, past the end so that its last block goes too.
        // The file keeps its size, as a seam's descriptor may not be allowed to
        // grow again, unless holes cannot be made.
        if (::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, off_t(end_ + (1 << 20))) != 0)
            (void)::ftruncate(fd_, 0);
    }
    end_ = 0;
    live_ = 0;
    if (status_ == Status::MemoryOnly && fd_ < 0)
        status_ = Status::Unused;  // a later spill looks for a directory again
}

void HistorySpill::settle() {
    if (held() || (released_.empty() && clearedEnd_ == 0))
        return;
    if (live_ == 0) {
        clear();
        return;
    }
    punch(0, clearedEnd_);
    for (const Extent& e : released_)
        punch(e.offset, e.length);
    released_.clear();
    clearedEnd_ = 0;
}

void HistorySpill::punch(std::uint64_t offset, std::uint64_t length) {
    if (length > 0)
        (void)::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(offset), off_t(length));
}
