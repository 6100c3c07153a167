// How the program's conversion went on a container: chunks stitched to their
// speculation, translated again, translated in order, and threads used.
//   stitch_stats CONTAINER
// Runs the conversion as the program does (same plan and settings), in memory.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "container.hpp"
#include "pipeline.hpp"
#include "platform.hpp"

namespace {

bool count(void* context, std::size_t, const std::uint8_t*, std::size_t size) {
    *static_cast<std::size_t*>(context) += size;
    return true;
}

bool done(void*, std::size_t) { return true; }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: stitch_stats CONTAINER\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const tolvarin::sequence_list sequences = tolvarin::find_sequences(image);
    std::vector<tolvarin::pipeline_track> tracks;
    std::uint64_t bytes = 0;
    for (std::uint32_t index = 0; index < sequences.count; ++index) {
        std::uint32_t end = static_cast<std::uint32_t>(image.size());
        for (std::uint32_t other = 0; other < sequences.count; ++other) {
            if (sequences.positions[other] > sequences.positions[index] && sequences.positions[other] < end) {
                end = sequences.positions[other];
            }
        }
        tracks.push_back({sequences.positions[index] + 22, end});
        bytes += end - tracks.back().first_event;
    }
    std::size_t written = 0;
    const tolvarin::pipeline_sink sink{&written, count, done};
    tolvarin::pipeline_settings settings;
    settings.threads = tolvarin::threads_for(bytes, tolvarin::processor_count());
    tolvarin::pipeline_stats stats;
    tolvarin::run_pipeline(image, tracks, sink, settings, &stats);
    std::printf("{\"chunks_kept\": %llu, \"chunks_again\": %llu, \"chunks_serial\": %llu, \"taken_over\": %llu, "
                "\"threads\": %u, \"output_bytes\": %zu}\n",
                static_cast<unsigned long long>(stats.chunks_kept), static_cast<unsigned long long>(stats.chunks_again),
                static_cast<unsigned long long>(stats.chunks_serial),
                static_cast<unsigned long long>(stats.groups_taken_over), stats.threads, written);
    return 0;
}
