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

// The fast path is a small automaton whose state is the running class. At an
// event behind a one-byte delta time, the byte after the delta time decides
// everything: how many input bytes the event takes (delta time included), how
// many it writes (plus the pad), and the next state. The choice is a table
// lookup rather than a branch: real event streams mix running and explicit
// statuses too irregularly for branch prediction.
struct step {
    std::uint8_t input_bytes;   // delta time and event; 0 for a system or meta status
    std::uint8_t output_bytes;  // input bytes plus the pad, if any
    std::uint16_t next_row;     // first entry of the next state's row
};

constexpr std::array<step, class_count * 256> steps = [] {
    std::array<step, class_count * 256> table{};
    for (unsigned state = 0; state < class_count; ++state) {
        for (unsigned next = 0; next < 0xF0; ++next) {
            const bool explicit_status = next >= 0x80;
            const std::uint8_t status = explicit_status ? static_cast<std::uint8_t>(next) : class_status[state];
            const channel_shape shape = channel_shapes[status];
            const unsigned in = 1u + (explicit_status ? 1u : 0u) + shape.data_bytes;
            table[state * 256 + next] = {static_cast<std::uint8_t>(in), static_cast<std::uint8_t>(in + shape.pad),
                                         static_cast<std::uint16_t>(class_of(status) * 256)};
        }
    }
    return table;
}();

// An event is copied as one 8-byte load and store; the bytes behind the event
// are stored as zero, which gives the pad of a note off or pitch bend (and is
// overwritten by the next event otherwise). The mask for an event of n bytes:
constexpr std::array<std::uint64_t, 8> keep_first = [] {
    std::array<std::uint64_t, 8> masks{};
    for (unsigned n = 0; n < 8; ++n) {
        std::array<std::uint8_t, 8> bytes{};
        for (unsigned i = 0; i < n; ++i) bytes[i] = 0xFF;
        masks[n] = std::bit_cast<std::uint64_t>(bytes);
    }
    return masks;
}();

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
// careful path must handle.
fast_result fast_translate(const std::uint8_t* const in_begin, const std::uint8_t* const in_end,
                           std::uint8_t* const out_begin, std::uint8_t* const out_end, running_class state) {
    const std::uint8_t* in = in_begin;
    std::uint8_t* out = out_begin;
    const step* row = steps.data() + state * 256;
    const auto result = [&](bool end_of_track) {
        return fast_result{static_cast<std::uint32_t>(in - in_begin), static_cast<std::size_t>(out - out_begin),
                           static_cast<running_class>((row - steps.data()) / 256), end_of_track};
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
            if (in[0] >= 0x80) {  // a delta time of two or more bytes
                *out++ = *in++;
                if (in[0] >= 0x80) continue;
            }
            const step next = row[in[1]];
            if (next.input_bytes != 0) {
                store_u64(out, load_u64(in) & keep_first[next.input_bytes]);
                in += next.input_bytes;
                out += next.output_bytes;
                row = steps.data() + next.next_row;
                continue;
            }
            // A system or meta event, checked against the ends on its own.
            const std::size_t length = 1 + system_event_length(in + 1);
            if (length > static_cast<std::size_t>(in_end - in) || length > static_cast<std::size_t>(out_end - out)) {
                return result(false);
            }
            std::memcpy(out, in, length);
            if (in[1] < 0xF8) row = steps.data();
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
