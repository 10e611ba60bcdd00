// Rendering speed of one read (10 bytes, the reader's largest) in each format.
#include "render.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

void RenderTenBytes(benchmark::State& state) {
    const auto format = static_cast<ReceiveFormat>(state.range(0));
    const unsigned char bytes[10] = {0x48, 0x00, 0x6c, 0xff, 0x0a, 0x80, 0x7f, 0x20, 0x09, 0xc8};
    std::string line;
    line.reserve(128);
    for (auto _ : state) {
        line.clear();
        RenderReceived(bytes, sizeof bytes, format, line);
        benchmark::DoNotOptimize(line.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * sizeof bytes);
    state.SetLabel(format == ReceiveFormat::Ascii ? "ASCII"
                   : format == ReceiveFormat::Hex ? "HEX"
                                                  : "DEC");
}

BENCHMARK(RenderTenBytes)
    ->Arg(static_cast<int>(ReceiveFormat::Ascii))
    ->Arg(static_cast<int>(ReceiveFormat::Hex))
    ->Arg(static_cast<int>(ReceiveFormat::Dec));

}  // namespace
