#include "event_stream.hpp"

#include <array>
#include <bit>
#include <cstring>

namespace tolvarin {
namespace {

// Channel events by status byte: how many data bytes follow the status in the
// compact stream, and whether a 0x00 is added behind them. Note off (8n) and
// pitch bend (En) keep only their first data byte in the container; the
// second is always zero. Bytes below 0x80 (no status) have no data bytes, so a
// data byte met without a remembered status is read as the next delta time.
struct channel_shape {
    std::uint8_t data_bytes;
    std::uint8_t pad;
};

constexpr std::array<channel_shape, 256> make_channel_shapes() {
    std::array<channel_shape, 256> shapes{};
    for (unsigned status = 0x80; status < 0xF0; ++status) {
        switch (status >> 4) {
            case 0x8: case 0xE: shapes[status] = {1, 1}; break;
            case 0x9: case 0xA: case 0xB: shapes[status] = {2, 0}; break;
            default: shapes[status] = {1, 0}; break;  // Cn, Dn
        }
    }
    return shapes;
}
constexpr std::array<channel_shape, 256> channel_shapes = make_channel_shapes();

// System and meta events (status F0-FF) by their type byte: what follows it.
enum class meta_kind : std::uint8_t {
    bare,             // nothing: the next byte starts a delta time
    length_prefixed,  // a one-byte length L, then L bytes
    end_of_track,     // exactly one byte (the length, 0); the track ends
    tempo             // exactly four bytes: a length byte and three tempo bytes
};

constexpr std::array<meta_kind, 256> make_meta_kinds() {
    std::array<meta_kind, 256> kinds{};
    for (unsigned type = 0x00; type <= 0x07; ++type) kinds[type] = meta_kind::length_prefixed;
    for (unsigned type : {0x20u, 0x21u, 0x54u, 0x58u, 0x59u, 0x7Fu}) {
        kinds[type] = meta_kind::length_prefixed;
    }
    kinds[0x2F] = meta_kind::end_of_track;
    kinds[0x51] = meta_kind::tempo;
    return kinds;
}
constexpr std::array<meta_kind, 256> meta_kinds = make_meta_kinds();

// An explicit channel status becomes the running status; a system-common
// status (F0-F7) cancels it; real-time and meta statuses (F8-FF) leave it.
std::uint8_t next_remembered_status(std::uint8_t remembered, std::uint8_t status) {
    if (status < 0xF0) return status;
    if (status < 0xF8) return 0;
    return remembered;
}

std::uint64_t load_u64(const std::uint8_t* from) {
    std::uint64_t value;
    std::memcpy(&value, from, sizeof value);
    return value;
}

void store_u64(std::uint8_t* to, std::uint64_t value) { std::memcpy(to, &value, sizeof value); }

// What a channel event looks like depends only on the class of its status,
// not on its channel: no running status, note off / pitch bend (one data byte
// and a pad), two data bytes, one data byte.
enum running_class : std::uint8_t { no_running, one_padded, two_data, one_data, class_count };

constexpr running_class class_of(std::uint8_t status) {
    if (status < 0x80) return no_running;
    const channel_shape shape = channel_shapes[status];
    if (shape.pad != 0) return one_padded;
    return shape.data_bytes == 2 ? two_data : one_data;
}

// A status of each class, to carry the running status between calls.
constexpr std::uint8_t class_status[class_count] = {0x00, 0x80, 0x90, 0xC0};

// How the fast path copies one event that follows a one-byte delta time: it
// loads 8 bytes, keeps those of the event (the rest become zero, which gives
// the pad) and stores them, then moves on by the input and output lengths.
struct event_copy {
    std::uint64_t keep;
    std::size_t input_bytes;   // delta time and event
    std::size_t output_bytes;  // input bytes plus the pad, if any
};

constexpr std::uint64_t keep_bytes(unsigned count) {
    std::array<std::uint8_t, 8> mask{};
    for (unsigned i = 0; i < count && i < 8; ++i) mask[i] = 0xFF;
    return std::bit_cast<std::uint64_t>(mask);
}

constexpr event_copy make_event_copy(std::uint8_t status, bool explicit_status) {
    const channel_shape shape = channel_shapes[status];
    const unsigned in = 1u + (explicit_status ? 1u : 0u) + shape.data_bytes;
    return {keep_bytes(in), in, in + shape.pad};
}

// Events under running status, by class: a one-byte delta time and the data
// bytes. With no running status the byte behind the delta time is the next
// delta time, so the event is the delta time alone.
constexpr std::array<event_copy, class_count> running_copies = [] {
    std::array<event_copy, class_count> copies{};
    for (unsigned c = 0; c < class_count; ++c) copies[c] = make_event_copy(class_status[c], false);
    return copies;
}();

// Events with an explicit channel status (80-EF), by status, and the running
// copy that applies to the events behind them.
struct explicit_copy {
    event_copy event;
    event_copy then;
};

constexpr std::array<explicit_copy, 256> explicit_copies = [] {
    std::array<explicit_copy, 256> copies{};
    for (unsigned status = 0x80; status < 0xF0; ++status) {
        copies[status] = {make_event_copy(static_cast<std::uint8_t>(status), true),
                          make_event_copy(static_cast<std::uint8_t>(status), false)};
    }
    return copies;
}();

// The class whose running copy `copy` is.
running_class class_of_copy(const event_copy& copy) {
    for (unsigned c = 0; c < class_count; ++c) {
        const event_copy& known = running_copies[c];
        if (known.input_bytes == copy.input_bytes && known.output_bytes == copy.output_bytes) {
            return static_cast<running_class>(c);
        }
    }
    return no_running;
}

// Bytes that the system or meta event starting at `in` (its status at in[0])
// occupies in the input; `in[1]` and `in[2]` must be readable.
std::size_t system_event_length(const std::uint8_t* in) {
    switch (meta_kinds[in[1]]) {
        case meta_kind::bare: return 2;
        case meta_kind::length_prefixed: return 3u + in[2];
        case meta_kind::end_of_track: return 3;
        case meta_kind::tempo: return 6;
    }
    return 2;
}

// The top bits of the first two bytes of a loaded 8-byte word, in memory
// order: both clear means a one-byte delta time followed by a data byte.
constexpr std::uint64_t top_bits_of_two =
    std::bit_cast<std::uint64_t>(std::array<std::uint8_t, 8>{0x80, 0x80, 0, 0, 0, 0, 0, 0});

// The widest access of one fast-path turn: 8 bytes loaded and stored.
constexpr std::size_t fast_access_width = 8;

struct fast_result {
    std::uint32_t consumed;
    std::size_t written;
    running_class state;
    bool end_of_track;
};

// Translates whole events from `in_begin` while they can be read and written
// with wide loads and stores: stops before an event that could reach past
// `in_end` or `out_end`, after an end-of-track event, or before anything the
// careful path must handle. Running-status events behind a one-byte delta time
// take the first branch, with their lengths already in registers: it is the
// common case, and it keeps the next event's address off any chain of
// dependent loads.
fast_result fast_translate(const std::uint8_t* const in_begin, const std::uint8_t* const in_end,
                           std::uint8_t* const out_begin, std::uint8_t* const out_end, running_class state) {
    const std::uint8_t* in = in_begin;
    std::uint8_t* out = out_begin;
    event_copy running = running_copies[state];
    const auto result = [&](bool end_of_track) {
        return fast_result{static_cast<std::uint32_t>(in - in_begin), static_cast<std::size_t>(out - out_begin),
                           class_of_copy(running), end_of_track};
    };
    for (;;) {
        // A channel event reads at most 8 bytes and writes at most 1.5 bytes
        // per byte read plus the wide store's overhang; every other step
        // writes as many bytes as it reads. Within this limit, then, a
        // channel event needs no other check.
        const auto in_room = static_cast<std::size_t>(in_end - in);
        const auto out_room = static_cast<std::size_t>(out_end - out);
        if (in_room <= fast_access_width || out_room <= 2 * fast_access_width) break;
        std::size_t span = in_room - fast_access_width;
        const std::size_t out_span = (out_room - 2 * fast_access_width) * 2 / 3;
        if (out_span < span) span = out_span;
        if (span == 0) break;
        const std::uint8_t* const limit = in + span;
        while (in < limit) {
            const std::uint64_t word = load_u64(in);
            if ((word & top_bits_of_two) == 0) {  // a one-byte delta time, running status
                store_u64(out, word & running.keep);
                in += running.input_bytes;
                out += running.output_bytes;
                continue;
            }
            if (in[0] >= 0x80) {  // a delta time of two or more bytes
                *out++ = *in++;
                continue;
            }
            const std::uint8_t status = in[1];
            if (status < 0xF0) {
                const explicit_copy& copy = explicit_copies[status];
                store_u64(out, word & copy.event.keep);
                in += copy.event.input_bytes;
                out += copy.event.output_bytes;
                running = copy.then;
                continue;
            }
            // A system or meta event, checked against the ends on its own.
            const std::size_t length = 1 + system_event_length(in + 1);
            if (length > static_cast<std::size_t>(in_end - in) || length > static_cast<std::size_t>(out_end - out)) {
                return result(false);
            }
            std::memcpy(out, in, length);
            if (status < 0xF8) running = running_copies[no_running];
            const bool end_of_track = meta_kinds[in[2]] == meta_kind::end_of_track;
            in += length;
            out += length;
            if (end_of_track) return result(true);
        }
    }
    return result(false);
}

// One step of the byte-at-a-time translation: a delta-time byte and, when it
// completes the delta time, the event behind it. Returns false when the track
// has ended. Used near the end of the input and of the output room, where the
// wide reads and writes of the fast path are not allowed.
bool careful_step(byte_view image, std::uint32_t& read_position, std::uint8_t& remembered,
                  std::uint8_t*& out) {
    std::uint8_t delta_byte = 0;
    if (!copy_byte(image, read_position, out, delta_byte)) return false;
    if (delta_byte >= 0x80) return true;
    if (read_position >= image.size()) return false;
    const std::uint8_t status = image[read_position];
    event_result result;
    if (status < 0x80) {
        result = copy_event(remembered, false, image, read_position, out);
    } else {
        remembered = next_remembered_status(remembered, status);
        result = copy_event(status, true, image, read_position, out);
    }
    return result == event_result::next_event;
}

}  // namespace

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
            if (!copy_byte(image, read_position, out, byte)) return event_result::input_exhausted;
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

std::size_t translate_track(byte_view image, track_state& state, std::span<std::uint8_t> room) {
    std::uint8_t* const out_begin = room.data();
    std::uint8_t* const out_end = out_begin + room.size();
    std::uint8_t* out = out_begin;
    if (state.finished || room.size() < max_step_output) return 0;

    const std::uint8_t* const base = image.data();
    const std::size_t size = image.size();
    std::uint32_t pos = state.read_position;
    // Only the class of the running status matters to the translation; the
    // fast path carries a status of the same class.
    std::uint8_t remembered = state.remembered_status;

    if (state.offer_pending) {
        // The opening offer: the first byte is tried as an explicit status. It
        // normally is a delta time (below 0x80) and nothing happens; a stream
        // that starts with a status has that event copied with no delta time in
        // front. Its result is not consulted, and it does not set the running
        // status, except that a stream cut short ends the track.
        state.offer_pending = false;
        if (pos >= size ||
            copy_event(base[pos], true, image, pos, out) == event_result::input_exhausted) {
            state.finished = true;
        }
    }

    while (!state.finished) {
        const fast_result fast = fast_translate(base + pos, base + size, out, out_end, class_of(remembered));
        pos += fast.consumed;
        out += fast.written;
        remembered = class_status[fast.state];
        if (fast.end_of_track || pos >= size) {
            state.finished = true;
            break;
        }
        if (static_cast<std::size_t>(out_end - out) < max_step_output) break;
        if (!careful_step(image, pos, remembered, out)) state.finished = true;
    }

    state.read_position = pos;
    state.remembered_status = remembered;
    return static_cast<std::size_t>(out - out_begin);
}

}  // namespace tolvarin
