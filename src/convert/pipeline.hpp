// Converting the tracks of a container with every processor the caller
// allows. Each track is cut into chunks, and groups of chunks are translated
// speculatively (fast/guessed_chunks.hpp) by worker threads and by the
// reading thread alike, each taking the next group in order as soon as it is
// free: no thread waits for another's turn, so a busy machine falls back to
// one processor's speed, never below it. The reading thread alone stitches
// the groups in order and hands their output out, piece by piece, track
// after track, exactly as a one-at-a-time translation would give it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>

#include "fast/guessed_chunks.hpp"
#include "tolvarin/tolvarin.hpp"

namespace tolvarin {

struct pipeline_stats {
    std::uint64_t chunks_kept = 0;        // stitched to their speculation
    std::uint64_t chunks_again = 0;       // speculated, then translated again from the true boundary
    std::uint64_t chunks_serial = 0;      // translated in order, without speculation
    std::uint64_t groups_taken_over = 0;  // translated in order rather than waited for
    unsigned threads = 0;                 // threads that ran, the reading one included
};

// What the project's tests and benchmarks may change.
struct conversion_tuning {
    // Chunks this large keep a group's copy and outputs (about 1.3 MiB) near
    // the processor, and hand the output out in few enough pieces that the
    // writes' cost per call stays small.
    std::uint32_t chunk_bytes = std::uint32_t{128} << 10;
    unsigned lanes = 4;  // chunks interleaved by one thread
    // The reading thread speculates groups itself while it waits. Only tests
    // turn this off, to make it take groups over all the time.
    bool stitcher_speculates = true;
    // The wide steps every processor has, even where wider ones would serve.
    bool force_portable = false;
    // The widest level taken where the processor has it (tests and
    // benchmarks force each level with this).
    wide_level widest = wide_level::vector;
    // With an image_reader, the bytes read beyond a group's end (or beyond
    // where a step in order may stop), so that the events that start before
    // it and end past it are in the copy. An event is a few hundred bytes at
    // most (but for delta times of many bytes, which only hostile files
    // have). A chunk whose translation reaches the end of the copy before the
    // image's end is not trusted: it is translated again in order; a step in
    // order that does is done again on the image.
    std::uint32_t read_beyond = std::uint32_t{4} << 10;
    // With a placed sink, the stitched chunks' own output is written by
    // whichever thread is free (convert/shared_writes.hpp) rather than by the
    // stitching thread. Off by default: on this project's benchmark machine
    // (a virtual machine with 2 processors, outputs on a tmpfs) it measured
    // slower than writing on the stitching thread alone, as two writers to one
    // file take turns in the kernel; tests turn it on.
    bool share_writes = false;
    // Fewer bytes of tracks than this are converted on one thread.
    std::uint64_t threaded_bytes = threaded_track_bytes;
    pipeline_stats* stats = nullptr;  // filled in when the conversion ends
    // Gives the working memory; malloc when none (the placed overloads of
    // convert take it from their caller).
    memory_source* memory = nullptr;
};

inline constexpr std::uint32_t no_split = UINT32_MAX;

struct pipeline_track {
    std::uint32_t first_event;  // the track's first byte behind its head
    // Chunks are planned up to here (where the next song record starts, or
    // the end of the image); a track that runs on past it, having no end of
    // track, is finished in order.
    std::uint32_t planned_end;
    // Where the track is split between two converters that share no memory
    // (two web workers): this one translates up to here, the other
    // translates from here on, taking this position for a boundary with no
    // running status. Once this side's true translation meets that reading
    // of the events, the rest of the track is the other side's output from
    // there on (see pipeline_step::join).
    std::uint32_t split = no_split;
    // The other side of a split: the track starts at first_event with no
    // running status and no opening offer.
    bool opening_offer = true;
};

struct pipeline_settings {
    unsigned threads = 1;  // the reading thread included; 1 to 8
    conversion_tuning tuning;
    const input_guard* guard = nullptr;
    worker_starter* starter = nullptr;  // none: the library's own threads
    const image_reader* reader = nullptr;  // none: the translation reads the image
    memory_source* memory = nullptr;       // none: malloc
    // Writes a stretch of the current track's output at its offset in the
    // track, on any thread (see convert/shared_writes.hpp). None: every
    // piece is handed out in order.
    std::optional<function_ref<bool(std::uint64_t, byte_view)>> placed;
};

// A piece of a track's output, valid until the next call for a piece. One
// with no data was handed to the placed writes: it only counts.
struct track_piece {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

enum class pipeline_step : std::uint8_t {
    piece,       // the current track's next bytes
    track_end,   // the current track is complete; the next call starts the next one
    finished,    // every track is complete
    input_fault,  // reading the image faulted; nothing more can be had
    refused,      // a placed write was refused; nothing more can be had
    // The true translation of a split track met the other side's reading of
    // it: join_offset says how much of the other side's output has been
    // handed out here; answer_join says whether the rest is taken from it.
    join
};

// The state of one conversion, in one block of memory.
struct pipeline;
struct pipeline_closer {
    // Stops the workers, waits for them and releases the block.
    void operator()(pipeline* state) const;
};
using pipeline_handle = std::unique_ptr<pipeline, pipeline_closer>;

// Stops the workers, waits for them and releases the block, like the
// handle's closer; gives what a caller's guard or reader threw on a worker
// thread (the run faulted then), if anything.
std::exception_ptr close_pipeline(pipeline_handle& handle);

enum class pipeline_start : std::uint8_t { started, no_memory, input_fault };

// Plans the tracks' chunks, makes each track's opening offer and starts the
// workers. `image` and `tracks` must outlive the pipeline.
pipeline_start start_pipeline(byte_view image, std::span<const pipeline_track> tracks,
                              const pipeline_settings& settings, pipeline_handle& handle);

pipeline_step next_piece(pipeline& state, track_piece& piece);

// A placed write on the calling thread was refused: no other starts.
void refuse_placed_writes(pipeline& state);

// At a join: the bytes of the other side's output that this side's pieces
// already hold (the other side's output from here on is the rest of the
// track).
std::uint64_t join_offset(const pipeline& state);

// Answers a join: with `joined`, the current track ended where the other
// side's translation stopped, `end_position` in the image, and its next step
// is track_end; without, this side translates the rest in order. False when
// no join is waiting.
bool answer_join(pipeline& state, bool joined, std::uint32_t end_position);

// Where the translation of a complete track stopped in the image.
std::uint32_t track_end_position(const pipeline& state, std::size_t track);

}  // namespace tolvarin
