// How the program's conversion went on a container: chunks stitched to their
// speculation, translated again, translated in order, threads used, and the
// time the core took.
//   stitch_stats CONTAINER [THREADS]
// Runs the conversion as the program does (same plan and settings), on a
// container read into memory beforehand, into a sink that counts the bytes:
// its time is the core's alone, what the whole program can at best come to
// on the same threads. THREADS: as the program chooses when absent (the
// processors this process may use: `taskset -c 0` gives one).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "convert/convert.hpp"
#include "convert/pipeline.hpp"
#include "bench_support.hpp"
#include "tolvarin/tolvarin.hpp"

using bench_support::counting_sink;

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: stitch_stats CONTAINER [THREADS]\n");
        return 2;
    }
    std::vector<std::uint8_t> image;
    if (!bench_support::read_container(argv[1], image)) {
        std::fprintf(stderr, "stitch_stats: cannot read %s\n", argv[1]);
        return 1;
    }
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    counting_sink sink;
    tolvarin::pipeline_stats stats;
    tolvarin::conversion_tuning tuning;
    tuning.stats = &stats;
    tolvarin::conversion_options options;
    // No count given: 0, every processor, as the command line asks, and the
    // library takes one for small containers.
    options.threads = argc == 3 ? static_cast<unsigned>(std::atoi(argv[2])) : 0;
    const auto start = std::chrono::steady_clock::now();
    tolvarin::convert_tuned(image, plan, sink, options, tuning);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    std::printf("{\"chunks_kept\": %llu, \"chunks_again\": %llu, \"chunks_serial\": %llu, \"taken_over\": %llu, "
                "\"threads\": %u, \"output_bytes\": %zu, \"core_ms\": %.3f}\n",
                static_cast<unsigned long long>(stats.chunks_kept), static_cast<unsigned long long>(stats.chunks_again),
                static_cast<unsigned long long>(stats.chunks_serial),
                static_cast<unsigned long long>(stats.groups_taken_over), stats.threads, sink.written, took.count());
    return 0;
}
