// The steps the fast translations are made of, inline so that the
// single-cursor translation (fast_translate.cpp) and the interleaved one
// (guessed_chunks.cpp) compile them into their own loops. Each step moves a
// `lane` (input position, output position, running-status class) over whole
// events with wide loads and stores; the caller guarantees the room they need.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "format/event_tables.hpp"
#include "tolvarin/tolvarin.hpp"

namespace tolvarin::fast {

// Room the wide steps need: input readable from an event's start (the widest
// read is 64 bytes from a short meta event's start), and output room from the
// output position (a meta event of up to 261 bytes behind a two-byte delta
// time, its length grown to two bytes, or a 64-byte store).
inline constexpr std::size_t input_margin = 80;
inline constexpr std::size_t output_margin = 320;

// A class's row in the step table, as a lane keeps it: 256 entries a
// class, one for each byte.
constexpr std::uint32_t class_row(running_class running) { return static_cast<std::uint32_t>(running) * 256; }

// At an event behind a one-byte delta time, the byte after the delta time
// decides everything: how many input bytes the event takes (delta time
// included), how many it writes (plus the pad), and the next class. A system
// or meta status takes 0 input bytes here: it is handled apart.
struct step {
    std::uint8_t input_bytes;
    std::uint8_t output_bytes;
    std::uint16_t next_row;  // the next class's row (class_row)
};

// A fifth row serves the unknown class of a speculative chunk: explicit
// statuses as in any row, while a running event (a byte below 0x80 where the
// status would stand) takes 0 input bytes: the class has to be guessed first.
inline constexpr std::array<step, (running_class_count + 1) * 256> steps = [] {
    std::array<step, (running_class_count + 1) * 256> table{};
    for (unsigned klass = 0; klass <= unknown_running; ++klass) {
        for (unsigned next = 0; next < 0xF0; ++next) {
            const bool explicit_status = next >= 0x80;
            if (klass == unknown_running && !explicit_status) continue;
            const std::uint8_t status = explicit_status ? static_cast<std::uint8_t>(next) : class_status[klass];
            const channel_shape shape = channel_shapes[status];
            const unsigned in = 1u + (explicit_status ? 1u : 0u) + shape.data_bytes;
            table[klass * 256 + next] = {static_cast<std::uint8_t>(in), static_cast<std::uint8_t>(in + shape.pad),
                                         static_cast<std::uint16_t>(class_row(class_of_status(status)))};
        }
    }
    return table;
}();

// An event is copied as one 8-byte load and store, masked to its length; the
// bytes behind it are stored as zero, which gives the pad of a note off or
// pitch bend (and is overwritten by the next event otherwise).
inline constexpr std::array<std::uint64_t, 8> keep_first = [] {
    // The first n bytes in memory are the low bytes of the loaded word on a
    // little-endian machine, the high ones on a big-endian one.
    std::array<std::uint64_t, 8> masks{};
    for (unsigned n = 1; n < 8; ++n) {
        const std::uint64_t low = (std::uint64_t{1} << (8 * n)) - 1;
        masks[n] = std::endian::native == std::endian::little ? low : ~(~std::uint64_t{0} >> (8 * n));
    }
    return masks;
}();

// Bytes of whole running events within the first q (0-16) bytes of a stretch
// of bytes below 0x80, by class, and what they become: a byte per byte (a
// delta time alone, whose status position holds the next byte, so the last
// byte is not one), delta and data byte plus the pad, delta and two data
// bytes, delta and one data byte.
inline constexpr std::array<std::uint8_t, running_class_count * 17> run_input = [] {
    std::array<std::uint8_t, running_class_count * 17> table{};
    for (unsigned q = 0; q <= 16; ++q) {
        table[no_running * 17 + q] = static_cast<std::uint8_t>(q == 0 ? 0 : q - 1);
        table[one_padded * 17 + q] = static_cast<std::uint8_t>(q / 2 * 2);
        table[two_data * 17 + q] = static_cast<std::uint8_t>(q / 3 * 3);
        table[one_data * 17 + q] = static_cast<std::uint8_t>(q / 2 * 2);
    }
    return table;
}();

inline constexpr std::array<std::uint8_t, running_class_count * 17> run_output = [] {
    std::array<std::uint8_t, running_class_count * 17> table = run_input;
    for (unsigned q = 0; q <= 16; ++q) table[one_padded * 17 + q] = static_cast<std::uint8_t>(q / 2 * 3);
    return table;
}();

inline std::uint64_t load_u64(const std::uint8_t* from) {
    std::uint64_t value;
    std::memcpy(&value, from, sizeof value);
    return value;
}

inline void store_u64(std::uint8_t* to, std::uint64_t value) { std::memcpy(to, &value, sizeof value); }

inline void copy_16(std::uint8_t* to, const std::uint8_t* from) {
    std::uint8_t bytes[16];
    std::memcpy(bytes, from, 16);
    std::memcpy(to, bytes, 16);
}

// Where the first byte of 0x80 or more lies among the 16 at `at`: 0-15, or 16.
inline unsigned first_high_byte(const std::uint8_t* at) {
#if defined(__SSE2__) || defined(_M_X64)
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return static_cast<unsigned>(std::countr_zero(static_cast<unsigned>(_mm_movemask_epi8(bytes)) | 0x10000u));
#else
    constexpr std::uint64_t high_bits = 0x8080808080808080u;
    for (unsigned half = 0; half < 2; ++half) {
        const std::uint64_t high = load_u64(at + 8 * half) & high_bits;
        if (high != 0) {
            const int bit = std::endian::native == std::endian::little ? std::countr_zero(high) : std::countl_zero(high);
            return 8 * half + static_cast<unsigned>(bit) / 8;
        }
    }
    return 16;
#endif
}

struct lane {
    const std::uint8_t* in;
    std::uint8_t* out;
    std::uint32_t row;        // the running class's row (class_row)
    std::uint32_t guess_row;  // unknown class: the row to take at the first running event
    bool guessed;             // unknown class: that running event was met
};

inline running_class lane_class(const lane& at) { return static_cast<running_class>(at.row >> 8); }

// Wide steps may start up to here: each reads input_margin bytes ahead, so
// the image's last bytes are left to the careful step.
inline const std::uint8_t* wide_limit(byte_view image) {
    return image.size() > input_margin ? image.data() + image.size() - input_margin : image.data();
}

enum class wide_result : std::uint8_t { next, end_of_track, careful };

// A system or meta event behind its delta time, one byte of a delta time of
// three or more bytes, or the first running event met in the unknown class
// (which takes the guessed class and moves nothing): everything the table
// does not take. Kept out of the loops that call it, which stay small.
wide_result wide_system_event(lane& at, const std::uint8_t* end);

// One event at `at.in` (or one byte of a long delta time). Needs input_margin
// bytes of input and output_margin bytes of room; a system or meta event that
// would run past `end` is left untouched and reported as careful.
inline wide_result wide_event(lane& at, const std::uint8_t* end) {
    const unsigned b0 = at.in[0];
    const unsigned b1 = at.in[1];
    const unsigned b2 = at.in[2];
    const unsigned two = b0 >> 7;  // a two-byte delta time: the status follows it
    const unsigned status = two != 0 ? b2 : b1;
    const step next = steps[at.row + status];
    // A system or meta status, or a delta time of three or more bytes. The
    // `|` is meant, not `||`: both sides are known by now, and one branch
    // that is almost never taken costs less than two.
    if ((next.input_bytes == 0) | (two & (b1 >> 7))) return wide_system_event(at, end);
    const unsigned taken = next.input_bytes + two;
    store_u64(at.out, load_u64(at.in) & keep_first[taken]);
    at.in += taken;
    at.out += next.output_bytes + two;
    at.row = next.next_row;
    return wide_result::next;
}

// Note offs and pitch bends under running status: delta and data byte pairs
// gain a zero each, eight bytes becoming twelve.
inline void expand_padded(std::uint8_t* out, const std::uint8_t* in, unsigned pairs) {
    if constexpr (std::endian::native == std::endian::little) {
        for (unsigned half = 0; half < 2; ++half) {
            const std::uint64_t x = load_u64(in + 8 * half);
            store_u64(out + 12 * half, (x & 0xFFFFu) | ((x & 0xFFFF0000u) << 8) | ((x & 0xFFFF00000000u) << 16));
            store_u64(out + 12 * half + 8, (x >> 48) << 8);
        }
    } else {
        for (unsigned pair = 0; pair < pairs; ++pair) {
            out[3 * pair] = in[2 * pair];
            out[3 * pair + 1] = in[2 * pair + 1];
            out[3 * pair + 2] = 0;
        }
    }
}

// The stretch of running events at `at.in`, up to the first byte of 0x80 or
// more and within `limit` bytes, 16 bytes at a time. The first 16 need the
// room wide_event needs; every further 16 are taken only while the input
// (to `in_end`) and the output (to `out_end`) have that margin left.
inline void wide_run(lane& at, std::size_t limit, const std::uint8_t* in_end, const std::uint8_t* out_end) {
    const unsigned klass = lane_class(at);
    if (klass == unknown_running) return;
    for (;;) {
        unsigned span = first_high_byte(at.in);
        if (limit < span) span = static_cast<unsigned>(limit);
        const unsigned index = klass * 17 + span;
        if (klass == one_padded) {
            expand_padded(at.out, at.in, run_input[index] / 2);
        } else {
            copy_16(at.out, at.in);
        }
        const unsigned taken = run_input[index];
        at.in += taken;
        at.out += run_output[index];
        limit -= taken;
        // 16 bytes without a byte of 0x80 or more: the stretch goes on.
        if (span < 16 || static_cast<std::size_t>(in_end - at.in) < input_margin ||
            static_cast<std::size_t>(out_end - at.out) < output_margin) {
            return;
        }
    }
}

}  // namespace tolvarin::fast
