// How the program's conversion went on a container: chunks stitched to their
// speculation, translated again, translated in order, and threads used.
//   stitch_stats CONTAINER
// Runs the conversion as the program does (same plan and settings), in memory.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

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
    if (argc != 2) {
        std::fprintf(stderr, "usage: stitch_stats CONTAINER\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    counting_sink sink;
    tolvarin::pipeline_stats stats;
    tolvarin::conversion_tuning tuning;
    tuning.stats = &stats;
    tolvarin::conversion_options options;
    options.threads = threads_for(plan.track_bytes);
    options.tuning = &tuning;
    tolvarin::convert(image, plan, sink, options);
    std::printf("{\"chunks_kept\": %llu, \"chunks_again\": %llu, \"chunks_serial\": %llu, \"taken_over\": %llu, "
                "\"threads\": %u, \"output_bytes\": %zu}\n",
                static_cast<unsigned long long>(stats.chunks_kept), static_cast<unsigned long long>(stats.chunks_again),
                static_cast<unsigned long long>(stats.chunks_serial),
                static_cast<unsigned long long>(stats.groups_taken_over), stats.threads, sink.written);
    return 0;
}
