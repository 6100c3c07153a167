#include "format/event_stream.hpp"

#include "format/event_tables.hpp"

namespace tolvarin {

track_state start_track(std::uint32_t first_event_position) {
    track_state state;
    state.read_position = first_event_position;
    return state;
}

bool copy_byte(byte_view image, std::uint32_t& read_position, std::uint8_t*& out,
               std::uint8_t& byte) {
    if (read_position >= image.size()) return false;
    byte = image[read_position++];
    *out++ = byte;
    return true;
}

// A meta or system event's length is one plain byte (0-255) in the compact
// stream, but a variable-length quantity in a standard track, where a byte of
// 0x80 or more says that more length bytes follow (write_length). Below 0x80
// the two are the same byte; from 0x80 on the output grows by one. False, writing nothing, when
// the image has ended.
bool copy_length(byte_view image, std::uint32_t& read_position, std::uint8_t*& out, std::uint8_t& length) {
    if (read_position >= image.size()) return false;
    length = image[read_position++];
    out += write_length(length, out);
    return true;
}

event_result copy_event(std::uint8_t status, bool explicit_status, byte_view image,
                        std::uint32_t& read_position, std::uint8_t*& out) {
    std::uint8_t byte = 0;
    if (status < 0x80) return event_result::next_event;
    if (status < 0xF0) {
        if (explicit_status && !copy_byte(image, read_position, out, byte)) {
            return event_result::input_exhausted;
        }
        const channel_shape shape = channel_shapes[status];
        for (unsigned i = 0; i < shape.data_bytes; ++i) {
            if (!copy_byte(image, read_position, out, byte)) return event_result::input_exhausted;
        }
        if (shape.pad != 0) *out++ = 0x00;
        return event_result::next_event;
    }
    // System and meta events: the status is copied in every case, then the type.
    std::uint8_t type = 0;
    if (!copy_byte(image, read_position, out, byte) || !copy_byte(image, read_position, out, type)) {
        return event_result::input_exhausted;
    }
    unsigned following = 0;
    switch (meta_kinds[type]) {
        case meta_kind::bare: return event_result::next_event;
        case meta_kind::length_prefixed:
            if (!copy_length(image, read_position, out, byte)) return event_result::input_exhausted;
            following = byte;
            break;
        case meta_kind::end_of_track:
            return copy_byte(image, read_position, out, byte) ? event_result::end_of_track
                                                               : event_result::input_exhausted;
        case meta_kind::tempo: following = 4; break;
    }
    for (unsigned i = 0; i < following; ++i) {
        if (!copy_byte(image, read_position, out, byte)) return event_result::input_exhausted;
    }
    return event_result::next_event;
}

std::uint8_t next_remembered_status(std::uint8_t remembered, std::uint8_t status) {
    if (status < 0xF0) return status;
    if (status < 0xF8) return 0;
    return remembered;
}

bool make_opening_offer(byte_view image, std::uint32_t& read_position, std::uint8_t*& out, step_note* note) {
    if (read_position >= image.size()) return false;
    const std::uint8_t status = image[read_position];
    if (note != nullptr) *note = {status >= 0x80, status, read_position, event_result::next_event};
    const event_result result = copy_event(status, true, image, read_position, out);
    if (note != nullptr) note->result = result;
    return result != event_result::input_exhausted;
}

bool translate_step(byte_view image, std::uint32_t& read_position, std::uint8_t& remembered, std::uint8_t*& out,
                    step_note* note) {
    std::uint8_t delta_byte = 0;
    if (note != nullptr) *note = {};
    if (!copy_byte(image, read_position, out, delta_byte)) return false;
    if (delta_byte >= 0x80) return true;
    if (read_position >= image.size()) return false;
    const std::uint8_t next = image[read_position];
    const bool explicit_status = next >= 0x80;
    if (explicit_status) remembered = next_remembered_status(remembered, next);
    const std::uint8_t status = explicit_status ? next : remembered;
    const std::uint32_t at = read_position;
    const event_result result = copy_event(status, explicit_status, image, read_position, out);
    if (note != nullptr) *note = {status >= 0x80, status, at, result};
    return result == event_result::next_event;
}

std::size_t translate_track(byte_view image, track_state& state, std::span<std::uint8_t> room) {
    std::uint8_t* const out_begin = room.data();
    std::uint8_t* out = out_begin;
    if (state.finished || room.size() < max_step_output) return 0;
    std::uint32_t position = state.read_position;
    if (state.offer_pending) {
        state.offer_pending = false;
        if (!make_opening_offer(image, position, out)) state.finished = true;
    }
    while (!state.finished && room.size() - static_cast<std::size_t>(out - out_begin) >= max_step_output) {
        if (!translate_step(image, position, state.remembered_status, out)) state.finished = true;
    }
    state.read_position = position;
    return static_cast<std::size_t>(out - out_begin);
}

}  // namespace tolvarin
