#include "convert/song_run.hpp"

#include <algorithm>
#include <exception>

#include "convert/guarded.hpp"
#include "convert/threads.hpp"
#include "format/container.hpp"

namespace tolvarin {
namespace {

// Ends the run: its workers stopped and joined, its memory released. What a
// worker thread caught from the caller's code is thrown again here.
run_step finish(song_run& run, run_step step, conversion_status failure) {
    run.failure = failure;
    const std::exception_ptr thrown = close_pipeline(run.pipeline);
#if defined(__cpp_exceptions)
    if (thrown) std::rethrow_exception(thrown);
#endif
    return step;
}

}  // namespace

conversion_status start_run(song_run& run, byte_view image, const container_plan& plan, std::uint32_t first,
                            std::uint32_t last, const conversion_options& options, const conversion_tuning& tuning,
                            std::optional<function_ref<bool(std::uint64_t, byte_view)>> placed,
                            std::uint32_t split) {
    run.pipeline.reset();
    run = song_run{};
    if (!plan_fits(plan, image.size()) || first >= last || last > plan.count) return conversion_status::bad_argument;
    run.image = image;
    run.count = last - first;
    std::uint64_t track_bytes = 0;
    for (std::uint32_t index = 0; index < run.count; ++index) {
        const song_place& song = plan.songs[first + index];
        run.songs[index] = song;
        run.tracks[index] = {song.first_event, song.planned_end, split};
        if (song.planned_end > song.first_event) track_bytes += song.planned_end - song.first_event;
    }
    const bool read = run_guarded(options.guard, [&] {
        for (std::uint32_t index = 0; index < run.count; ++index) {
            std::copy_n(image.data() + run.songs[index].position, header_block_size, run.heads[index].begin());
        }
    });
    if (!read) return conversion_status::input_fault;

    pipeline_settings settings;
    settings.threads = threads_to_use(options.threads, track_bytes, tuning.threaded_bytes, usable_processors());
    settings.tuning = tuning;
    settings.guard = options.guard;
    settings.starter = options.starter;
    settings.reader = options.reader;
    settings.memory = tuning.memory;
    settings.placed = placed;
    switch (start_pipeline(image, {run.tracks, run.count}, settings, run.pipeline)) {
        case pipeline_start::started: return conversion_status::done;
        case pipeline_start::no_memory: return conversion_status::no_memory;
        case pipeline_start::input_fault: break;
    }
    return conversion_status::input_fault;
}

bool join_run(song_run& run, bool joined, std::uint64_t added, std::uint32_t end_position) {
    if (!run.pipeline || !answer_join(*run.pipeline, joined, end_position)) return false;
    if (joined) run.track_length += added;
    return true;
}

run_step next_step(song_run& run, track_piece& piece) {
    piece = {};
    if (!run.pipeline) return run.failure == conversion_status::done ? run_step::finished : run_step::failed;
    if (!run.begun) {
        run.begun = true;
        run.track_length = 0;
        return run_step::song_begins;
    }
    switch (next_piece(*run.pipeline, piece)) {
        case pipeline_step::piece:
            // The length field has 32 bits: a longer track cannot be stored.
            run.track_length += piece.size;
            if (run.track_length > max_track_length) {
                piece = {};
                return finish(run, run_step::failed, conversion_status::track_too_long);
            }
            return run_step::piece;
        case pipeline_step::track_end: {
            // A joined track's length was last added to by join_run.
            if (run.track_length > max_track_length) return finish(run, run_step::failed, conversion_status::track_too_long);
            song_output& output = run.ended;
            output.song = run.songs[run.current];
            output.track_length = static_cast<std::uint32_t>(run.track_length);
            output.output_size = header_block_size + run.track_length;
            output.length_field = encode_track_length(output.track_length);
            output.end_position = track_end_position(*run.pipeline, run.current);
            ++run.current;
            run.begun = false;
            if (run.current == run.count) finish(run, run_step::finished, conversion_status::done);
            return run_step::song_ends;
        }
        case pipeline_step::join: return run_step::join;
        case pipeline_step::finished: return finish(run, run_step::finished, conversion_status::done);
        case pipeline_step::input_fault: break;
        case pipeline_step::refused: return finish(run, run_step::failed, conversion_status::stopped);
    }
    return finish(run, run_step::failed, conversion_status::input_fault);
}

}  // namespace tolvarin
