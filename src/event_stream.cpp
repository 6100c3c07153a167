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

// Number of bytes in the delta time that starts the 8 bytes of `word` (in
// memory order), or 0 when all eight have their top bit set.
unsigned delta_length(std::uint64_t word) {
    const std::uint64_t enders = ~word & 0x8080808080808080u;
    if (enders == 0) return 0;
    if constexpr (std::endian::native == std::endian::little) {
        return static_cast<unsigned>(std::countr_zero(enders) >> 3) + 1;
    } else {
        return static_cast<unsigned>(std::countl_zero(enders) >> 3) + 1;
    }
}

// The fast path reads 16 bytes at a time, so it runs only while that many
// input bytes remain; it may write up to a 8-byte delta time plus a 259-byte
// event, or 16 bytes through its wide stores.
constexpr std::size_t fast_input_margin = 16;
constexpr std::size_t fast_output_margin = 8 + 3 + 255 + 8;

// Bytes that the event starting at `in` (its status at in[0], at least 16
// readable bytes) occupies in the input, for a system or meta status.
std::size_t system_event_length(const std::uint8_t* in) {
    switch (meta_kinds[in[1]]) {
        case meta_kind::bare: return 2;
        case meta_kind::length_prefixed: return 3u + in[2];
        case meta_kind::end_of_track: return 3;
        case meta_kind::tempo: return 6;
    }
    return 2;
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
        // Fast path: one delta time and one event per turn, copied with wide
        // loads and stores; a pad byte is written unconditionally behind the
        // event and kept only for note off and pitch bend.
        while (size - pos >= fast_input_margin &&
               static_cast<std::size_t>(out_end - out) >= fast_output_margin) {
            const std::uint8_t* const in = base + pos;
            const std::uint64_t head = load_u64(in);
            store_u64(out, head);
            const unsigned delta = delta_length(head);
            if (delta == 0) {  // a long delta time: its first eight bytes
                out += 8;
                pos += 8;
                continue;
            }
            const std::uint8_t status = in[delta];
            if (status < 0xF0) {
                std::size_t length = delta;
                std::uint8_t acting = remembered;
                if (status >= 0x80) {
                    acting = status;
                    length += 1;
                }
                const channel_shape shape = channel_shapes[acting];
                length += shape.data_bytes;
                store_u64(out + 8, load_u64(in + 8));
                out[length] = 0x00;
                out += length + shape.pad;
                pos += static_cast<std::uint32_t>(length);
                remembered = acting;
                continue;
            }
            const std::size_t length = delta + system_event_length(in + delta);
            if (length > size - pos) break;  // cut short by the end of the image
            std::memcpy(out, in, length);
            out += length;
            pos += static_cast<std::uint32_t>(length);
            remembered = next_remembered_status(remembered, status);
            if (meta_kinds[in[delta + 1]] == meta_kind::end_of_track) {
                state.finished = true;
                break;
            }
        }
        if (state.finished) break;
        if (pos >= size) {
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
