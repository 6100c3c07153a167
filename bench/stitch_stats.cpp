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
#include "tolvarin/tolvarin.hpp"

namespace {

struct counting_sink final : tolvarin::output_sink {
    std::size_t written = 0;
    bool begin_output(const tolvarin::song_place&) override { return true; }
    bool write(tolvarin::byte_view bytes) override {
        written += bytes.size();
        return true;
    }
    bool end_output(const tolvarin::song_output&) override { return true; }
};

// The command line's choice of threads: one under 4 MiB of tracks.
unsigned threads_for(std::uint64_t bytes) {
    return bytes < (std::uint64_t{4} << 20) ? 1 : std::min(tolvarin::usable_processors(), 8u);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: stitch_stats CONTAINER [THREADS]\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary | std::ios::ate);
    std::vector<std::uint8_t> image(static_cast<std::size_t>(file.tellg()));
    file.seekg(0);
    file.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
    if (!file) {
        std::fprintf(stderr, "stitch_stats: cannot read %s\n", argv[1]);
        return 1;
    }
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    counting_sink sink;
    tolvarin::pipeline_stats stats;
    tolvarin::conversion_tuning tuning;
    tuning.stats = &stats;
    tolvarin::conversion_options options;
    options.threads = argc == 3 ? static_cast<unsigned>(std::atoi(argv[2])) : threads_for(plan.track_bytes);
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
