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

// The fast path is a small automaton. What a channel event looks like depends
// only on the class of the running status, not on its channel, so four states
// suffice: no running status, note off / pitch bend (one data byte and a pad),
// two data bytes, one data byte. At each event whose delta time is a single
// byte, the byte behind that delta time decides everything: how many input
// bytes the event takes (delta included), how many it writes, and the next
// state. System and meta statuses (F0-FF) leave the automaton.
enum running_class : std::uint8_t { no_running, one_padded, two_data, one_data, class_count };

constexpr running_class class_of(std::uint8_t status) {
    if (status < 0x80) return no_running;
    const channel_shape shape = channel_shapes[status];
    if (shape.pad != 0) return one_padded;
    return shape.data_bytes == 2 ? two_data : one_data;
}

// A status of each class, to carry the running status between calls.
constexpr std::uint8_t class_status[class_count] = {0x00, 0x80, 0x90, 0xC0};

// One entry per state and byte behind a one-byte delta time. The fields are
// all 64 bits wide so that the loop can add them straight to its registers.
struct step_entry {
    std::uint64_t keep;          // bytes of the 8-byte window that belong to the event;
                                 // the rest are written as zero, which is the pad
    std::uint64_t input_bytes;   // delta time and event; system_step for F0-FF
    std::uint64_t output_bytes;  // input bytes plus the pad, if any
    std::int64_t next_row;       // distance in bytes from this row to the next state's row
};

// Added to the read address for a system or meta status: far beyond any
// span, so the loop's one bound check also catches it, and taken off again
// afterwards. The loop keeps its read address as a 64-bit integer for this
// reason; it never dereferences such an address.
constexpr std::uint64_t system_step = std::uint64_t{1} << 56;

constexpr std::uint64_t keep_bytes(unsigned count) {
    std::array<std::uint8_t, 8> mask{};
    for (unsigned i = 0; i < count && i < 8; ++i) mask[i] = 0xFF;
    return std::bit_cast<std::uint64_t>(mask);
}

constexpr std::int64_t row_bytes = 256 * static_cast<std::int64_t>(sizeof(step_entry));

constexpr std::array<step_entry, class_count * 256> make_step_table() {
    std::array<step_entry, class_count * 256> table{};
    for (unsigned state = 0; state < class_count; ++state) {
        const std::uint8_t running = class_status[state];
        for (unsigned next = 0; next < 256; ++next) {
            step_entry& entry = table[state * 256 + next];
            if (next >= 0xF0) {
                entry = {~std::uint64_t{0}, system_step, 0, 0};
                continue;
            }
            const std::uint8_t status = next >= 0x80 ? static_cast<std::uint8_t>(next) : running;
            const channel_shape shape = channel_shapes[status];
            const unsigned in = 1u + (next >= 0x80 ? 1u : 0u) + shape.data_bytes;
            entry.keep = keep_bytes(in);
            entry.input_bytes = in;
            entry.output_bytes = in + shape.pad;
            entry.next_row = (static_cast<std::int64_t>(class_of(status)) - state) * row_bytes;
        }
    }
    return table;
}
constexpr std::array<step_entry, class_count * 256> step_table = make_step_table();

const std::uint8_t* row_of(running_class state) {
    return reinterpret_cast<const std::uint8_t*>(step_table.data() + state * 256);
}

running_class state_of(const std::uint8_t* row) {
    return static_cast<running_class>((row - reinterpret_cast<const std::uint8_t*>(step_table.data())) / row_bytes);
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

// The widest write of one fast-path turn: an 8-byte store of a channel event.
constexpr std::size_t fast_store_width = 8;

struct fast_result {
    std::uint32_t consumed;
    std::size_t written;
    running_class state;
    bool end_of_track;
};

// Translates whole events from `in` while they can be read and written with
// wide loads and stores: stops before an event that could reach past
// `in_end` or `out_end`, after an end-of-track event, or before anything the
// careful path must handle.
fast_result fast_translate(const std::uint8_t* const in_begin, const std::uint8_t* const in_end,
                           std::uint8_t* const out_begin, std::uint8_t* const out_end, running_class state) {
    using address = std::uint64_t;
    const auto bytes_at = [](address at) { return reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(at)); };
    const address begin = reinterpret_cast<std::uintptr_t>(in_begin);
    const address end = reinterpret_cast<std::uintptr_t>(in_end);
    address at = begin;
    std::uint8_t* out = out_begin;
    const std::uint8_t* row = row_of(state);
    bool ended = false;
    for (;;) {
        // A turn reads at most 8 bytes and writes at most 1.5 bytes per byte
        // read plus the wide store's overhang: within this limit no other
        // check is needed.
        const std::uint64_t in_room = end - at;
        const std::uint64_t out_room = static_cast<std::uint64_t>(out_end - out);
        if (in_room <= fast_store_width || out_room <= 2 * fast_store_width) break;
        std::uint64_t span = in_room - fast_store_width;
        const std::uint64_t out_span = (out_room - 2 * fast_store_width) * 2 / 3;
        if (out_span < span) span = out_span;
        if (span == 0) break;
        const address limit = at + span;
        while (at < limit) {
            if (bytes_at(at)[0] >= 0x80) {  // a delta time of two or more bytes
                *out++ = bytes_at(at)[0];
                ++at;
                if (bytes_at(at)[0] >= 0x80) continue;
            }
            const std::uint8_t* const in = bytes_at(at);
            const auto& entry = *reinterpret_cast<const step_entry*>(row + in[1] * sizeof(step_entry));
            store_u64(out, load_u64(in) & entry.keep);
            at += entry.input_bytes;
            out += entry.output_bytes;
            row += entry.next_row;
        }
        if (at < system_step) continue;
        // A system or meta event behind a one-byte delta time.
        at -= system_step;
        const std::uint8_t* const in = bytes_at(at);
        const std::size_t length = 1 + system_event_length(in + 1);
        if (length > end - at || length > static_cast<std::size_t>(out_end - out)) break;
        std::memcpy(out, in, length);
        at += length;
        out += length;
        if (in[1] < 0xF8) row = row_of(no_running);
        if (meta_kinds[in[2]] == meta_kind::end_of_track) {
            ended = true;
            break;
        }
    }
    return {static_cast<std::uint32_t>(at - begin), static_cast<std::size_t>(out - out_begin), state_of(row), ended};
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
