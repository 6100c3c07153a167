// The C interface: a session over an image, converting one song at a time
// and handing its output out piece by piece, the head last.
#include "tolvarin/tolvarin.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "convert/song_run.hpp"
#include "convert/threads.hpp"
#include "format/container.hpp"

struct tolvarin_session {
    tolvarin::byte_view image;
    tolvarin::container_plan plan;
    tolvarin::song_description description;  // no_such_song until a description succeeds
    unsigned threads = 1;
    // The song under way: its run, and the head handed out last.
    tolvarin::song_run run;
    bool started = false;
    bool head_given = false;
    bool done = false;
    std::uint8_t head[tolvarin::header_block_size]{};
    const std::uint8_t* piece = nullptr;
    std::size_t piece_size = 0;
    // A split song: where its part begins.
    std::uint32_t split = tolvarin::no_split;
    // A session over a part (tolvarin_open_part): the part's one track, its
    // pipeline once started, and where its translation stopped.
    bool part = false;
    tolvarin::pipeline_track part_track{};
    tolvarin::pipeline_handle part_pipeline;
    std::uint32_t part_end = 0;
};

namespace {

bool has_song(const tolvarin_session* session, std::uint32_t index) {
    return session != nullptr && index < session->plan.count;
}

bool described(const tolvarin_session* session) {
    return session != nullptr && session->description.ending != tolvarin::track_ending::no_such_song;
}

int status_of(tolvarin::conversion_status status) {
    switch (status) {
        case tolvarin::conversion_status::done: return TOLVARIN_OK;
        case tolvarin::conversion_status::no_memory: return TOLVARIN_NO_MEMORY;
        case tolvarin::conversion_status::track_too_long: return TOLVARIN_TRACK_TOO_LONG;
        case tolvarin::conversion_status::bad_argument:
        case tolvarin::conversion_status::stopped:
        case tolvarin::conversion_status::input_fault: break;  // no sink, no guard here
    }
    return TOLVARIN_BAD_ARGUMENT;
}

// The next piece of a part's translation: started at the first call, and
// closed when it is done.
int next_part_piece(tolvarin_session* session) {
    if (session->done) return TOLVARIN_DONE;
    if (!session->part_pipeline) {
        tolvarin::pipeline_settings settings;
        const tolvarin::pipeline_track& track = session->part_track;
        settings.threads = tolvarin::threads_to_use(session->threads, track.planned_end, tolvarin::threaded_track_bytes,
                                                    tolvarin::usable_processors());
        switch (tolvarin::start_pipeline(session->image, {&session->part_track, 1}, settings, session->part_pipeline)) {
            case tolvarin::pipeline_start::started: break;
            case tolvarin::pipeline_start::no_memory: return TOLVARIN_NO_MEMORY;
            case tolvarin::pipeline_start::input_fault: return TOLVARIN_BAD_ARGUMENT;
        }
    }
    for (;;) {
        tolvarin::track_piece piece;
        switch (tolvarin::next_piece(*session->part_pipeline, piece)) {
            case tolvarin::pipeline_step::piece:
                session->piece = piece.data;
                session->piece_size = piece.size;
                return TOLVARIN_TRACK_PIECE;
            case tolvarin::pipeline_step::track_end:
                session->part_end = tolvarin::track_end_position(*session->part_pipeline, 0);
                continue;
            case tolvarin::pipeline_step::finished:
                tolvarin::close_pipeline(session->part_pipeline);
                session->done = true;
                return TOLVARIN_DONE;
            case tolvarin::pipeline_step::join:
            case tolvarin::pipeline_step::input_fault:
            case tolvarin::pipeline_step::refused: break;
        }
        tolvarin::close_pipeline(session->part_pipeline);
        return TOLVARIN_BAD_ARGUMENT;
    }
}

}  // namespace

extern "C" {

const char* tolvarin_version(void) { return TOLVARIN_VERSION_STRING; }

const char* tolvarin_status_text(int status) {
    switch (status) {
        case TOLVARIN_OK: return "success";
        case TOLVARIN_TRACK_PIECE: return "a piece of the track";
        case TOLVARIN_HEAD_PIECE: return "the head of the output, its track length filled in";
        case TOLVARIN_DONE: return "the song's output is complete";
        case TOLVARIN_JOIN: return "the song's track meets its part: answer with tolvarin_join";
        case TOLVARIN_NO_MEMORY: return "not enough memory";
        case TOLVARIN_TRACK_TOO_LONG: return "the track is longer than a MIDI file can hold (4 GiB - 1 bytes)";
        case TOLVARIN_BAD_ARGUMENT: return "no such song, no song under way, or an argument out of range";
        case TOLVARIN_IMAGE_TOO_LARGE: return "the container is 4 GiB or more";
        default: return "unknown status";
    }
}

tolvarin_session* tolvarin_open_with_status(const std::uint8_t* image, std::size_t size, int* status) {
    int ignored = 0;
    int& answer = status != nullptr ? *status : ignored;
    answer = TOLVARIN_BAD_ARGUMENT;
    if (image == nullptr && size > 0) return nullptr;
    answer = TOLVARIN_IMAGE_TOO_LARGE;
    if (tolvarin::image_too_large(size)) return nullptr;
    answer = TOLVARIN_NO_MEMORY;
    void* const memory = std::malloc(sizeof(tolvarin_session));
    if (memory == nullptr) return nullptr;
    auto* const session = new (memory) tolvarin_session{};
    session->image = {image, size};
    session->plan = tolvarin::plan_container(session->image);
    answer = TOLVARIN_OK;
    return session;
}

tolvarin_session* tolvarin_open(const std::uint8_t* image, std::size_t size) {
    return tolvarin_open_with_status(image, size, nullptr);
}

void tolvarin_close(tolvarin_session* session) {
    if (session == nullptr) return;
    session->~tolvarin_session();
    std::free(session);
}

int tolvarin_set_threads(tolvarin_session* session, std::uint32_t threads) {
    if (session == nullptr) return TOLVARIN_BAD_ARGUMENT;
    session->threads = threads;
    return TOLVARIN_OK;
}

std::uint32_t tolvarin_song_count(const tolvarin_session* session) {
    return session != nullptr ? session->plan.count : 0;
}

int tolvarin_walk_end(const tolvarin_session* session) {
    return session != nullptr ? static_cast<int>(session->plan.stopped) : TOLVARIN_BAD_ARGUMENT;
}

std::uint32_t tolvarin_walk_stopped_at(const tolvarin_session* session) {
    return session != nullptr ? static_cast<std::uint32_t>(session->plan.stopped_at) : 0;
}

std::uint32_t tolvarin_song_number(const tolvarin_session* session, std::uint32_t index) {
    return has_song(session, index) ? session->plan.songs[index].number : 0;
}

std::uint32_t tolvarin_song_position(const tolvarin_session* session, std::uint32_t index) {
    return has_song(session, index) ? session->plan.songs[index].position : 0;
}

std::uint64_t tolvarin_output_bound(const tolvarin_session* session, std::uint32_t index) {
    return has_song(session, index) ? tolvarin::output_size_bound(session->plan, index, session->image.size()) : 0;
}

int tolvarin_describe_song(tolvarin_session* session, std::uint32_t index) {
    if (session == nullptr) return TOLVARIN_BAD_ARGUMENT;
    session->description = tolvarin::describe_song(session->image, session->plan, index);
    return described(session) ? TOLVARIN_OK : TOLVARIN_BAD_ARGUMENT;
}

int tolvarin_track_ending(const tolvarin_session* session) {
    return described(session) ? static_cast<int>(session->description.ending) : TOLVARIN_BAD_ARGUMENT;
}

int tolvarin_ran_past_next_song(const tolvarin_session* session) {
    return described(session) && session->description.ran_past_next_song ? 1 : 0;
}

std::uint32_t tolvarin_event_count(const tolvarin_session* session) {
    if (!described(session)) return 0;
    const std::uint64_t events = session->description.events;
    return events > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(events);
}

int tolvarin_met_unknown_meta_type(const tolvarin_session* session, std::uint32_t type) {
    if (!described(session) || type > 0xFF) return 0;
    return (session->description.unknown_meta_types[type / 64] >> (type % 64)) & 1 ? 1 : 0;
}

std::uint32_t tolvarin_text_type(const tolvarin_session* session) {
    return described(session) && session->description.has_text ? session->description.text_type : 0;
}

std::uint32_t tolvarin_text_position(const tolvarin_session* session) {
    return described(session) && session->description.has_text ? session->description.text_position : 0;
}

std::uint32_t tolvarin_text_length(const tolvarin_session* session) {
    return described(session) && session->description.has_text ? session->description.text_length : 0;
}

int tolvarin_start_song(tolvarin_session* session, std::uint32_t index) {
    return tolvarin_start_song_split(session, index, tolvarin::no_split);
}

int tolvarin_start_song_split(tolvarin_session* session, std::uint32_t index, std::uint32_t split) {
    if (!has_song(session, index)) return TOLVARIN_BAD_ARGUMENT;
    if (split != tolvarin::no_split &&
        (split < session->plan.songs[index].first_event || split >= session->image.size())) {
        return TOLVARIN_BAD_ARGUMENT;
    }
    session->split = split;
    session->started = false;
    session->head_given = false;
    session->done = false;
    session->piece = nullptr;
    session->piece_size = 0;
    tolvarin::conversion_options options;
    options.threads = session->threads;
    const tolvarin::conversion_status status =
        tolvarin::start_run(session->run, session->image, session->plan, index, index + 1, options,
                            tolvarin::conversion_tuning{}, std::nullopt, split);
    if (status != tolvarin::conversion_status::done) return status_of(status);
    session->started = true;
    return TOLVARIN_OK;
}

int tolvarin_next_piece(tolvarin_session* session) {
    if (session == nullptr) return TOLVARIN_BAD_ARGUMENT;
    session->piece = nullptr;
    session->piece_size = 0;
    if (session->part) return next_part_piece(session);
    if (!session->started) return TOLVARIN_BAD_ARGUMENT;
    if (session->head_given) {
        session->done = true;
        return TOLVARIN_DONE;
    }
    for (;;) {
        tolvarin::track_piece piece;
        switch (tolvarin::next_step(session->run, piece)) {
            case tolvarin::run_step::song_begins:
                std::memcpy(session->head, session->run.heads[0].data(), tolvarin::header_block_size);
                continue;
            case tolvarin::run_step::piece:
                session->piece = piece.data;
                session->piece_size = piece.size;
                return TOLVARIN_TRACK_PIECE;
            case tolvarin::run_step::song_ends: {
                // The track is complete: the head, its length filled in, is
                // the last piece.
                const auto& length = session->run.ended.length_field;
                std::memcpy(session->head + tolvarin::track_length_offset, length.data(), length.size());
                session->head_given = true;
                session->piece = session->head;
                session->piece_size = tolvarin::header_block_size;
                return TOLVARIN_HEAD_PIECE;
            }
            case tolvarin::run_step::join: return TOLVARIN_JOIN;
            case tolvarin::run_step::finished: break;
            case tolvarin::run_step::failed:
                session->started = false;
                return status_of(session->run.failure);
        }
        session->started = false;
        return TOLVARIN_BAD_ARGUMENT;
    }
}

const std::uint8_t* tolvarin_piece_data(const tolvarin_session* session) {
    return session != nullptr ? session->piece : nullptr;
}

std::size_t tolvarin_piece_size(const tolvarin_session* session) {
    return session != nullptr ? session->piece_size : 0;
}

std::uint64_t tolvarin_output_size(const tolvarin_session* session) {
    return session != nullptr && session->done && !session->part ? session->run.ended.output_size : 0;
}

std::uint64_t tolvarin_join_offset(const tolvarin_session* session) {
    if (session == nullptr || !session->started || !session->run.pipeline) return 0;
    return tolvarin::join_offset(*session->run.pipeline);
}

int tolvarin_join(tolvarin_session* session, std::uint64_t part_size, std::uint64_t part_output,
                  std::uint32_t part_end) {
    if (session == nullptr || !session->started || session->split == tolvarin::no_split) return TOLVARIN_BAD_ARGUMENT;
    const std::uint64_t offset = tolvarin_join_offset(session);
    const std::uint64_t part_begin = session->split;
    const std::uint64_t image_end = session->image.size();
    // The part's translation is this side's only where it read the image's
    // bytes: to the image's end, or stopping (at an end of track) before the
    // part's end. Running into the end of a shorter part, it may have cut
    // an event short that the image holds whole.
    const bool fits = part_begin + part_size <= image_end && part_end <= part_size && offset <= part_output;
    const bool usable = fits && (part_begin + part_size == image_end || part_end < part_size);
    if (!tolvarin::join_run(session->run, usable, usable ? part_output - offset : 0,
                            static_cast<std::uint32_t>(part_begin + (usable ? part_end : 0)))) {
        return TOLVARIN_BAD_ARGUMENT;
    }
    return usable ? 1 : 0;
}

tolvarin_session* tolvarin_open_part(const std::uint8_t* part, std::size_t size, std::uint32_t track_end) {
    if ((part == nullptr && size > 0) || tolvarin::image_too_large(size)) return nullptr;
    void* const memory = std::malloc(sizeof(tolvarin_session));
    if (memory == nullptr) return nullptr;
    auto* const session = new (memory) tolvarin_session{};
    session->image = {part, size};
    session->part = true;
    session->part_track = {0, static_cast<std::uint32_t>(std::min<std::size_t>(track_end, size)), tolvarin::no_split,
                           false};
    return session;
}

std::uint32_t tolvarin_part_end(const tolvarin_session* session) {
    return session != nullptr && session->part && session->done ? session->part_end : 0;
}

}  // extern "C"
