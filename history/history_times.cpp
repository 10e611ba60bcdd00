#include "history_times.h"

namespace history_times {
namespace {

void putVarint(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(char(v | 0x80));
        v >>= 7;
    }
    out.push_back(char(v));
}

bool getVarint(std::string_view blob, std::size_t& at, std::uint64_t& v) {
    v = 0;
    for (int shift = 0; shift < 64 && at < blob.size(); shift += 7) {
        const auto byte = std::uint8_t(blob[at++]);
        v |= std::uint64_t(byte & 0x7F) << shift;
        if (byte < 0x80)
            return true;
    }
    return false;
}

std::uint64_t zigzag(std::int64_t v) { return (std::uint64_t(v) << 1) ^ std::uint64_t(v >> 63); }
std::int64_t unzigzag(std::uint64_t v) { return std::int64_t(v >> 1) ^ -std::int64_t(v & 1); }

}  // namespace

// Each item is a varint: even, one delta (zigzag, shifted up one); odd, a run of
// (value >> 1) + 2 lines with the time before them.
std::string pack(const std::int64_t* times, std::size_t count) {
    std::string out;
    std::int64_t previous = 0;
    for (std::size_t i = 0; i < count;) {
        std::size_t run = 0;
        while (i + run < count && times[i + run] == previous)
            ++run;
        if (run >= 2) {
            putVarint(out, (std::uint64_t(run - 2) << 1) | 1);
            i += run;
            continue;
        }
        putVarint(out, zigzag(times[i] - previous) << 1);
        previous = times[i++];
    }
    out.shrink_to_fit();  // kept for as long as the history: no room left over from growing
    return out;
}

bool unpack(std::string_view blob, std::size_t count, std::vector<std::int64_t>& out) {
    const std::size_t end = out.size() + count;
    std::int64_t previous = 0;
    std::size_t at = 0;
    std::uint64_t item = 0;
    while (out.size() < end && getVarint(blob, at, item)) {
        if (item & 1) {
            const std::uint64_t run = (item >> 1) + 2;
            if (run > end - out.size())
                break;
            out.insert(out.end(), std::size_t(run), previous);
        } else {
            previous += unzigzag(item >> 1);
            out.push_back(previous);
        }
    }
    const bool whole = out.size() == end && at == blob.size();
    out.resize(end, 0);
    return whole;
}

}  // namespace history_times
