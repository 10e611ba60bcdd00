#pragma once
// The times of a sealed part's lines, packed: each line's time in microseconds
// less the line's before it, as a zigzag varint, and a run of unchanged times as
// one varint with its length. Lines from one read share their time, so a stream
// of received lines costs a byte or two per read, not per line.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace history_times {

// Throws std::bad_alloc.
std::string pack(const std::int64_t* times, std::size_t count);
// Appends `count` times to `out`; false (and `out` filled up with zeros) when
// the blob does not hold that many.
bool unpack(std::string_view blob, std::size_t count, std::vector<std::int64_t>& out);

}  // namespace history_times
