// The native library's side of the web page's benchmark: the time to
// convert a container already in memory, on one thread, into a sink that
// only counts the bytes, as the page converts into Blobs; with "memory",
// into tolvarin::memory_outputs instead, which writes every output into
// memory of its own, new for each run (as a Blob's bytes are). Prints the
// median of the runs in milliseconds, and the output bytes.
//   native_in_memory CONTAINER [RUNS [memory]]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "bench_support.hpp"
#include "tolvarin/tolvarin.hpp"

using bench_support::counting_sink;

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4 || (argc == 4 && std::string_view(argv[3]) != "memory")) {
        std::fprintf(stderr, "usage: native_in_memory CONTAINER [RUNS [memory]]\n");
        return 2;
    }
    const int runs = argc >= 3 ? std::max(1, std::atoi(argv[2])) : 9;
    const bool into_memory = argc == 4;
    std::vector<std::uint8_t> image;
    if (!bench_support::read_container(argv[1], image)) {
        std::fprintf(stderr, "native_in_memory: cannot read %s\n", argv[1]);
        return 1;
    }
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    tolvarin::conversion_options options;
    options.threads = 1;
    std::vector<double> times;
    std::size_t written = 0;
    for (int run = 0; run < runs; ++run) {
        counting_sink counter;
        tolvarin::memory_outputs outputs;
        tolvarin::output_sink& sink = into_memory ? static_cast<tolvarin::output_sink&>(outputs) : counter;
        const auto start = std::chrono::steady_clock::now();
        const tolvarin::conversion_result result = tolvarin::convert(image, plan, sink, options);
        const auto stop = std::chrono::steady_clock::now();
        if (result.status != tolvarin::conversion_status::done) {
            std::fprintf(stderr, "conversion failed\n");
            return 1;
        }
        times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
        written = counter.written;
        for (std::uint32_t index = 0; index < outputs.count(); ++index) written += outputs.output(index).size();
    }
    std::sort(times.begin(), times.end());
    std::printf("{\"median_ms\": %.2f, \"runs\": %d, \"output_bytes\": %zu}\n", times[times.size() / 2], runs, written);
    return 0;
}
