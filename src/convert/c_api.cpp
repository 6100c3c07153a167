// The C interface: a session over an image, converting one song at a time
// on the calling thread and handing its output out piece by piece.
#include "tolvarin/tolvarin.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "convert/pipeline.hpp"
#include "format/container.hpp"

struct tolvarin_session {
    tolvarin::byte_view image;
    tolvarin::container_plan plan;
    tolvarin::song_description description;
    // The song under way.
    tolvarin::pipeline_track track{};
    tolvarin::pipeline_handle pipeline;
    std::uint32_t song = 0;
    bool head_given = false;
    bool done = false;
    std::uint64_t track_length = 0;
    std::uint8_t head[tolvarin::header_block_size]{};
    const std::uint8_t* piece = nullptr;
    std::size_t piece_size = 0;
};

namespace {

bool has_song(const tolvarin_session* session, std::uint32_t index) {
    return session != nullptr && index < session->plan.count;
}

}  // namespace

extern "C" {

tolvarin_session* tolvarin_open(const std::uint8_t* image, std::size_t size) {
    if (image == nullptr && size > 0) return nullptr;
    if (tolvarin::image_too_large(size)) return nullptr;
    void* const memory = std::malloc(sizeof(tolvarin_session));
    if (memory == nullptr) return nullptr;
    auto* const session = new (memory) tolvarin_session{};
    session->image = {image, size};
    session->plan = tolvarin::plan_container(session->image);
    return session;
}

void tolvarin_close(tolvarin_session* session) {
    if (session == nullptr) return;
    session->~tolvarin_session();
    std::free(session);
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
    if (!has_song(session, index)) return TOLVARIN_BAD_ARGUMENT;
    session->description = tolvarin::describe_song(session->image, session->plan, index);
    return TOLVARIN_OK;
}

int tolvarin_track_ending(const tolvarin_session* session) {
    return session != nullptr ? static_cast<int>(session->description.ending) : TOLVARIN_BAD_ARGUMENT;
}

int tolvarin_ran_past_next_song(const tolvarin_session* session) {
    return session != nullptr && session->description.ran_past_next_song ? 1 : 0;
}

std::uint32_t tolvarin_event_count(const tolvarin_session* session) {
    if (session == nullptr) return 0;
    const std::uint64_t events = session->description.events;
    return events > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(events);
}

int tolvarin_met_unknown_meta_type(const tolvarin_session* session, std::uint32_t type) {
    if (session == nullptr || type > 0xFF) return 0;
    return (session->description.unknown_meta_types[type / 64] >> (type % 64)) & 1 ? 1 : 0;
}

std::uint32_t tolvarin_text_type(const tolvarin_session* session) {
    return session != nullptr && session->description.has_text ? session->description.text_type : 0;
}

std::uint32_t tolvarin_text_position(const tolvarin_session* session) {
    return session != nullptr ? session->description.text_position : 0;
}

std::uint32_t tolvarin_text_length(const tolvarin_session* session) {
    return session != nullptr ? session->description.text_length : 0;
}

int tolvarin_start_song(tolvarin_session* session, std::uint32_t index) {
    if (!has_song(session, index)) return TOLVARIN_BAD_ARGUMENT;
    session->pipeline.reset();
    const tolvarin::song_place& song = session->plan.songs[index];
    session->song = index;
    session->track = {song.first_event, song.planned_end};
    session->head_given = false;
    session->done = false;
    session->track_length = 0;
    session->piece = nullptr;
    session->piece_size = 0;
    std::memcpy(session->head, session->image.data() + song.position, tolvarin::header_block_size);
    const tolvarin::pipeline_settings settings;  // one thread
    if (tolvarin::start_pipeline(session->image, {&session->track, 1}, settings, session->pipeline) !=
        tolvarin::pipeline_start::started) {
        return TOLVARIN_NO_MEMORY;
    }
    return TOLVARIN_OK;
}

int tolvarin_next_piece(tolvarin_session* session) {
    if (session == nullptr || (!session->pipeline && !session->head_given)) return TOLVARIN_BAD_ARGUMENT;
    session->piece = nullptr;
    session->piece_size = 0;
    if (session->head_given) {
        session->done = true;
        return TOLVARIN_DONE;
    }
    tolvarin::track_piece piece;
    if (tolvarin::next_piece(*session->pipeline, piece) == tolvarin::pipeline_step::piece) {
        session->track_length += piece.size;
        if (session->track_length > tolvarin::max_track_length) {
            session->pipeline.reset();
            return TOLVARIN_TRACK_TOO_LONG;
        }
        session->piece = piece.data;
        session->piece_size = piece.size;
        return TOLVARIN_TRACK_PIECE;
    }
    // The track is complete (the image is in memory and cannot fault): the
    // head, its length filled in, is the last piece.
    session->pipeline.reset();
    const auto length = tolvarin::encode_track_length(static_cast<std::uint32_t>(session->track_length));
    std::memcpy(session->head + tolvarin::track_length_offset, length.data(), length.size());
    session->head_given = true;
    session->piece = session->head;
    session->piece_size = tolvarin::header_block_size;
    return TOLVARIN_HEAD_PIECE;
}

const std::uint8_t* tolvarin_piece_data(const tolvarin_session* session) {
    return session != nullptr ? session->piece : nullptr;
}

std::size_t tolvarin_piece_size(const tolvarin_session* session) {
    return session != nullptr ? session->piece_size : 0;
}

std::uint64_t tolvarin_output_size(const tolvarin_session* session) {
    return session != nullptr && session->done ? tolvarin::header_block_size + session->track_length : 0;
}

}  // extern "C"
