// The scan core alone, each kernel on the same report-like data, in bytes per
// second. Every kernel's counts are checked against the byte machine's before
// it is timed, so a fast wrong kernel cannot win.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "corpus.hpp"
#include "scan_core.hpp"

namespace {

const std::string& data() {
    static const std::string report = report_generator(42).report(
        std::getenv("SCAN_BYTES") ? std::strtoull(std::getenv("SCAN_BYTES"), nullptr, 10) : 1u << 20);
    return report;
}

scan_counts scan_all(const std::string& bytes, std::size_t piece) {
    scan_state state;
    scan_start(state);
    const auto* at = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t from = 0; from < bytes.size(); from += piece)
        scan_piece(state, at + from, std::min(piece, bytes.size() - from));
    return scan_finish(state);
}

void scan(benchmark::State& state, scan_kernel kernel) {
    if (!use_scan_kernel(kernel)) {
        state.SkipWithError("kernel not supported here");
        return;
    }
    const std::size_t piece = static_cast<std::size_t>(state.range(0));
    use_scan_kernel(scan_kernel::plain);
    const scan_counts want = scan_all(data(), piece);
    use_scan_kernel(kernel);
    const scan_counts got = scan_all(data(), piece);
    if (got.connections != want.connections || got.uploads != want.uploads || got.downloads != want.downloads) {
        state.SkipWithError("counts differ from the byte machine's");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(scan_all(data(), piece));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data().size()));
    state.counters["rows"] = static_cast<double>(want.connections);
}

}  // namespace

int main(int argc, char** argv) {
    for (const scan_kernel kernel : every_scan_kernel)
        benchmark::RegisterBenchmark((std::string("scan/") + scan_kernel_name(kernel)).c_str(), scan, kernel)
            ->Arg(1 << 16)
            ->Arg(1 << 18)
            ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
