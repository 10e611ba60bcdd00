// The only file that includes the kernel's termios header (see termios2_io.h).
#include "termios2_io.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>

static_assert(sizeof(termios2{}.c_cc) == kLineCcCount, "kernel NCCS changed");
static_assert(sizeof(termios2) <= sizeof(SavedTermios::bytes));

namespace {

struct StandardSpeed {
    std::uint32_t rate;
    unsigned int code;
};

constexpr StandardSpeed kStandardSpeeds[] = {
    {50, B50},          {75, B75},          {110, B110},        {134, B134},
    {150, B150},        {200, B200},        {300, B300},        {600, B600},
    {1200, B1200},      {1800, B1800},      {2400, B2400},      {4800, B4800},
    {9600, B9600},      {19200, B19200},    {38400, B38400},    {57600, B57600},
    {115200, B115200},  {230400, B230400},  {460800, B460800},  {500000, B500000},
    {576000, B576000},  {921600, B921600},  {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

unsigned int SpeedCode(std::uint32_t rate) {
    for (const auto& s : kStandardSpeeds)
        if (s.rate == rate) return s.code;
    return BOTHER;
}

int Ioctl(int fd, unsigned long request, void* arg) {
    int r;
    do r = ioctl(fd, request, arg);
    while (r < 0 && errno == EINTR);
    return r;
}

}  // namespace

bool ReadLineTermios(int fd, LineTermios* out, SavedTermios* asFound) {
    termios2 t{};
    if (Ioctl(fd, TCGETS2, &t) != 0) return false;
    if (asFound) std::memcpy(asFound->bytes, &t, sizeof t);
    out->iflag = t.c_iflag;
    out->oflag = t.c_oflag;
    out->cflag = t.c_cflag & ~static_cast<tcflag_t>(CBAUD | CIBAUD);
    out->lflag = t.c_lflag;
    out->line = t.c_line;
    std::memcpy(out->cc, t.c_cc, kLineCcCount);
    // The kernel fills c_ospeed with the real rate whether it was set by B constant
    // or by BOTHER.
    out->speed = t.c_ospeed;
    return true;
}

bool WriteLineTermios(int fd, const LineTermios& settings) {
    termios2 t{};
    t.c_iflag = settings.iflag;
    t.c_oflag = settings.oflag;
    // CIBAUD left zero: input speed follows output speed.
    t.c_cflag = (settings.cflag & ~static_cast<tcflag_t>(CBAUD | CIBAUD)) | SpeedCode(settings.speed);
    t.c_lflag = settings.lflag;
    t.c_line = settings.line;
    std::memcpy(t.c_cc, settings.cc, kLineCcCount);
    t.c_ispeed = settings.speed;
    t.c_ospeed = settings.speed;
    return Ioctl(fd, TCSETS2, &t) == 0;
}

bool RestoreTermios(int fd, const SavedTermios& saved) {
    termios2 t{};
    std::memcpy(&t, saved.bytes, sizeof t);
    return Ioctl(fd, TCSETS2, &t) == 0;
}
