// V.80 decode and encode throughput on 64 KiB of mixed data, beside memcpy of
// the same bytes, so the ratio can be read off one run:
//   cmake --preset release && cmake --build --preset release --target v80_bench
//   build/release/bench/v80_bench
#include <host/harness.h>

#include "v80/modem_codec.h"
#include "zyrva_driver.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr size_t kSize = 64 * 1024;

// Text-like data with EM and 0x99 sprinkled in, about 2% each.
std::vector<UCHAR> MixedData()
{
    std::mt19937 random(42);
    std::vector<UCHAR> data(kSize);
    for (auto &b : data) {
        unsigned r = random() % 100;
        b = r < 2 ? 0x19 : r < 4 ? 0x99 : UCHAR(0x20 + random() % 95);
    }
    return data;
}

host::Kernel &Kernel()
{
    static host::Kernel kernel(host::KernelOptions{host::Schedule::Deterministic, 1, false});
    return kernel;
}

PV80_CONTEXT ActiveEngine()
{
    PV80_CONTEXT engine = V80_Create(128, 2 * kSize, 1);
    auto announce = sim::v80::ModemEncoder::Announcement(1);
    V80_FromModemToDte(engine, announce.data(), ULONG(announce.size()), 0);
    return engine;
}

void Memcpy(benchmark::State &state)
{
    std::vector<UCHAR> data = MixedData(), out(kSize);
    for (auto _ : state) {
        std::memcpy(out.data(), data.data(), kSize);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kSize);
}

void Decode(benchmark::State &state)
{
    Kernel();
    std::vector<UCHAR> data = MixedData();
    std::vector<UCHAR> line = sim::v80::ModemEncoder().Data(data);
    std::vector<UCHAR> out(kSize);
    PV80_CONTEXT engine = ActiveEngine();
    for (auto _ : state) {
        // In receive-sized chunks, as the modem's completions deliver them.
        for (size_t at = 0; at < line.size(); at += 4096) {
            size_t n = std::min<size_t>(4096, line.size() - at);
            V80_FromModemToDte(engine, line.data() + at, ULONG(n), 0);
        }
        benchmark::DoNotOptimize(V80_GetModemToDteData(engine, out.data(), ULONG(out.size())));
    }
    V80_Delete(engine);
    state.SetBytesProcessed(int64_t(state.iterations()) * kSize);
}

void Encode(benchmark::State &state)
{
    Kernel();
    std::vector<UCHAR> data = MixedData();
    PV80_CONTEXT engine = ActiveEngine();
    UCHAR out[30];
    for (auto _ : state) {
        // Converted and drained 30 bytes at a time, as the transmit path takes them.
        for (size_t at = 0; at < data.size();) {
            ULONG outLength = sizeof out;
            at += V80_FromDteToModem(engine, V80_DTE_DATA, data.data() + at, ULONG(std::min<size_t>(30, data.size() - at)),
                                     out, &outLength);
            benchmark::DoNotOptimize(out);
        }
        ULONG outLength = sizeof out;
        while (V80_FromDteToModem(engine, V80_DTE_DRAIN_ONLY, nullptr, 0, out, &outLength), outLength)
            outLength = sizeof out;
    }
    V80_Delete(engine);
    state.SetBytesProcessed(int64_t(state.iterations()) * kSize);
}

}  // namespace

BENCHMARK(Memcpy);
BENCHMARK(Decode);
BENCHMARK(Encode);
BENCHMARK_MAIN();
