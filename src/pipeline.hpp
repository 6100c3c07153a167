// Converting the tracks of a container with every processor the process may
// use. Each track is cut into chunks, and groups of chunks are translated
// speculatively (guessed_chunks.hpp) by worker threads and by the calling thread
// alike, each taking the next group in order as soon as it is free: no thread
// waits for another's turn, so a busy machine falls back to one processor's
// speed, never below it. The calling thread alone stitches the groups in
// order and hands the output to the sink, track after track, so the sink
// sees exactly what a one-at-a-time translation would give it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "guessed_chunks.hpp"

namespace tolvarin {

struct pipeline_track {
    std::uint32_t first_event;  // the track's first byte behind its header block
    // Chunks are planned up to here (where the next sequence record starts,
    // or the end of the image); a track that runs on past it, having no end
    // of track, is finished in order.
    std::uint32_t planned_end;
};

// Where the output goes, always on the thread that runs the pipeline.
struct pipeline_sink {
    void* context = nullptr;
    // The next output bytes of track `index`. False stops the conversion.
    bool (*append)(void* context, std::size_t index, const std::uint8_t* data, std::size_t size) = nullptr;
    // Track `index` is complete. False stops the conversion.
    bool (*finish)(void* context, std::size_t index) = nullptr;
};

struct pipeline_settings {
    unsigned threads = 1;  // the calling thread included
    std::uint32_t chunk_bytes = std::uint32_t{64} << 10;
    unsigned lanes = 4;  // chunks interleaved by one thread
    // The stitching thread speculates groups itself while it waits. Only
    // tests turn this off, to make it take groups over all the time.
    bool stitcher_speculates = true;
};

struct pipeline_stats {
    std::uint64_t chunks_kept = 0;    // stitched to their speculation
    std::uint64_t chunks_again = 0;   // speculated, then translated again from the true boundary
    std::uint64_t chunks_serial = 0;  // translated in order, without speculation
    std::uint64_t groups_taken_over = 0;  // translated in order rather than waited for
    unsigned threads = 0;             // threads that ran, the calling one included
};

enum class pipeline_result { done, stopped, input_fault, no_memory };

// Converts the tracks in order. Returns done, stopped (the sink refused),
// input_fault (reading the input faulted: it changed under the run) or
// no_memory (nothing was handed to the sink then).
pipeline_result run_pipeline(byte_view image, std::span<const pipeline_track> tracks, const pipeline_sink& sink,
                             const pipeline_settings& settings, pipeline_stats* stats = nullptr);

// The threads worth using for tracks of `bytes` in all: one for the small
// containers people mostly have, which must not pay for threads.
unsigned threads_for(std::uint64_t bytes, unsigned processors);

}  // namespace tolvarin
