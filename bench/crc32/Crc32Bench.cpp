// Throughput of the checksum service (crc32.so, called through its table as
// the card tool does) next to zlib's crc32 on the same buffers.
#include "Interfaces.h"
#include "PluginCenter.h"
#include "ServiceTables.h"

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <zlib.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

const ChecksumTable* Service() {
    static const ChecksumTable* table = [] {
        const char* dir = std::getenv("VORLANE_MODULE_DIR");
        const std::string path =
            std::string(dir && *dir ? dir : CRC32_BENCH_MODULE_DIR) + "/crc32.so";
        void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        auto get =
            library ? reinterpret_cast<GetInterfaceFn>(dlsym(library, "GetInterface")) : nullptr;
        return get ? static_cast<const ChecksumTable*>(get(VORLANE_IID_CHECKSUM)) : nullptr;
    }();
    return table;
}

std::vector<uint8_t> Buffer(size_t size) {
    std::vector<uint8_t> data(size);
    uint32_t x = 12345;
    for (auto& b : data)
        b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
    return data;
}

void BM_Service(benchmark::State& state) {
    const ChecksumTable* crc = Service();
    if (!crc) {
        state.SkipWithError("crc32.so not found");
        return;
    }
    const auto data = Buffer(size_t(state.range(0)));
    for (auto _ : state) {
        void* c = crc->CrcBegin();
        crc->CrcUpdate(c, data.data(), uint32_t(data.size()));
        uint32_t value = 0;
        crc->CrcFinish(c, &value);
        crc->CrcRelease(c);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void BM_Zlib(benchmark::State& state) {
    const auto data = Buffer(size_t(state.range(0)));
    for (auto _ : state) {
        uLong value = crc32(0, data.data(), uInt(data.size()));
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

BENCHMARK(BM_Service)->Arg(64 << 10)->Arg(16 << 20);
BENCHMARK(BM_Zlib)->Arg(64 << 10)->Arg(16 << 20);

} // namespace

BENCHMARK_MAIN();
