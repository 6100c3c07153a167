// The shuffle level's engine with 16-byte vectors (see vector_machine.hpp
// and stretch_walk.hpp): on 64-bit Arm with NEON, and in WebAssembly with its
// 128-bit vectors. The state machine of state_machine.hpp runs over 16 units
// to a vector, its table lookups done with the 16-entry byte shuffles of
// shuffle_tables.hpp (NEON's tbl, WebAssembly's swizzle); it is the x86 AVX2
// engine (shuffle_machine.cpp) at half the width. The two instruction sets
// are met through a handful of functions on one vector type, so that the
// engine is written once; they agree on what matters here: a lookup whose
// index is 16 or more gives a zero, and a mask is a whole byte of ones.
#include "fast/shuffle_tables.hpp"
#include "fast/stretch_walk.hpp"

#include <bit>
#include <cstring>

#ifdef TOLVARIN_SHUFFLE_16_ENGINE

#if defined(__aarch64__)
#include <arm_neon.h>
#else
#include <wasm_simd128.h>
#endif

namespace tolvarin::machine {

namespace {

using namespace shuffle;

#if defined(__aarch64__)

using vec = uint8x16_t;

inline vec load(const std::uint8_t* from) { return vld1q_u8(from); }
inline vec load_8(const std::uint8_t* from) { return vcombine_u8(vld1_u8(from), vdup_n_u8(0)); }
inline void store(std::uint8_t* to, vec value) { vst1q_u8(to, value); }
inline vec splat(unsigned value) { return vdupq_n_u8(static_cast<std::uint8_t>(value)); }
inline vec lookup(vec table, vec index) { return vqtbl1q_u8(table, index); }
inline vec both(vec a, vec b) { return vandq_u8(a, b); }
inline vec either(vec a, vec b) { return vorrq_u8(a, b); }
inline vec flip(vec a, vec b) { return veorq_u8(a, b); }
inline vec but_not(vec a, vec b) { return vbicq_u8(a, b); }
inline vec equal(vec a, vec b) { return vceqq_u8(a, b); }
inline vec pick(vec mask, vec if_set, vec if_clear) { return vbslq_u8(mask, if_set, if_clear); }
inline vec least(vec a, vec b) { return vminq_u8(a, b); }
inline vec minus(vec a, vec b) { return vsubq_u8(a, b); }
inline vec doubled(vec a) { return vaddq_u8(a, a); }
inline vec high_nibble(vec a) { return vshrq_n_u8(a, 4); }
inline vec top_bit_mask(vec a) { return vreinterpretq_u8_s8(vshrq_n_s8(vreinterpretq_s8_u8(a), 7)); }
inline vec zip_low_8(vec a, vec b) { return vzip1q_u8(a, b); }
inline vec zip_high_8(vec a, vec b) { return vzip2q_u8(a, b); }
inline vec zip_low_16(vec a, vec b) {
    return vreinterpretq_u8_u16(vzip1q_u16(vreinterpretq_u16_u8(a), vreinterpretq_u16_u8(b)));
}
inline vec zip_high_16(vec a, vec b) {
    return vreinterpretq_u8_u16(vzip2q_u16(vreinterpretq_u16_u8(a), vreinterpretq_u16_u8(b)));
}
inline vec zip_low_32(vec a, vec b) {
    return vreinterpretq_u8_u32(vzip1q_u32(vreinterpretq_u32_u8(a), vreinterpretq_u32_u8(b)));
}
inline vec zip_high_32(vec a, vec b) {
    return vreinterpretq_u8_u32(vzip2q_u32(vreinterpretq_u32_u8(a), vreinterpretq_u32_u8(b)));
}
inline vec zip_low_64(vec a, vec b) {
    return vreinterpretq_u8_u64(vzip1q_u64(vreinterpretq_u64_u8(a), vreinterpretq_u64_u8(b)));
}
inline vec zip_high_64(vec a, vec b) {
    return vreinterpretq_u8_u64(vzip2q_u64(vreinterpretq_u64_u8(a), vreinterpretq_u64_u8(b)));
}
// Bit i: byte i's top bit. NEON has no such gather: each byte keeps its own
// bit of a byte, and each half's bytes are summed.
inline unsigned top_bits(vec a) {
    static constexpr std::uint8_t weights[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const vec bits = vandq_u8(top_bit_mask(a), vld1q_u8(weights));
    return vaddv_u8(vget_low_u8(bits)) | static_cast<unsigned>(vaddv_u8(vget_high_u8(bits))) << 8;
}
// Units stepped together, for their latencies to overlap: NEON has 32 registers.
constexpr unsigned paired = 4;

#else

using vec = v128_t;

inline vec load(const std::uint8_t* from) { return wasm_v128_load(from); }
inline vec load_8(const std::uint8_t* from) { return wasm_v128_load64_zero(from); }
inline void store(std::uint8_t* to, vec value) { wasm_v128_store(to, value); }
inline vec splat(unsigned value) { return wasm_i8x16_splat(static_cast<std::int8_t>(value)); }
inline vec lookup(vec table, vec index) { return wasm_i8x16_swizzle(table, index); }
inline vec both(vec a, vec b) { return wasm_v128_and(a, b); }
inline vec either(vec a, vec b) { return wasm_v128_or(a, b); }
inline vec flip(vec a, vec b) { return wasm_v128_xor(a, b); }
inline vec but_not(vec a, vec b) { return wasm_v128_andnot(a, b); }
inline vec equal(vec a, vec b) { return wasm_i8x16_eq(a, b); }
inline vec pick(vec mask, vec if_set, vec if_clear) { return wasm_v128_bitselect(if_set, if_clear, mask); }
inline vec least(vec a, vec b) { return wasm_u8x16_min(a, b); }
inline vec minus(vec a, vec b) { return wasm_i8x16_sub(a, b); }
inline vec doubled(vec a) { return wasm_i8x16_add(a, a); }
inline vec high_nibble(vec a) { return wasm_u8x16_shr(a, 4); }
inline vec top_bit_mask(vec a) { return wasm_i8x16_shr(a, 7); }
inline vec zip_low_8(vec a, vec b) {
    return wasm_i8x16_shuffle(a, b, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
}
inline vec zip_high_8(vec a, vec b) {
    return wasm_i8x16_shuffle(a, b, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
}
inline vec zip_low_16(vec a, vec b) { return wasm_i16x8_shuffle(a, b, 0, 8, 1, 9, 2, 10, 3, 11); }
inline vec zip_high_16(vec a, vec b) { return wasm_i16x8_shuffle(a, b, 4, 12, 5, 13, 6, 14, 7, 15); }
inline vec zip_low_32(vec a, vec b) { return wasm_i32x4_shuffle(a, b, 0, 4, 1, 5); }
inline vec zip_high_32(vec a, vec b) { return wasm_i32x4_shuffle(a, b, 2, 6, 3, 7); }
inline vec zip_low_64(vec a, vec b) { return wasm_i64x2_shuffle(a, b, 0, 2); }
inline vec zip_high_64(vec a, vec b) { return wasm_i64x2_shuffle(a, b, 1, 3); }
inline unsigned top_bits(vec a) { return wasm_i8x16_bitmask(a); }
// The engine that runs the module on x86 has 16 vector registers.
constexpr unsigned paired = 2;

#endif

constexpr unsigned units_per_vector = 16;  // units side by side in one vector
constexpr unsigned blocks = 8;  // vectors to a stretch
// Three passes, as at the AVX2 width.
constexpr unsigned passes = 3;
static_assert(blocks * units_per_vector == stretch_units && blocks % paired == 0);

inline vec table(const std::array<std::uint8_t, 16>& entries) { return load(entries.data()); }

// One stretch: its bytes transposed (one row per byte of a unit, one column
// per unit), what a step needs of each, and the last pass's entries.
struct shuffle_stretch : stretch_guesses {
    alignas(16) std::uint8_t bytes[blocks][unit_bytes][units_per_vector];
    alignas(16) std::uint8_t highs[blocks][unit_bytes][units_per_vector];     // 0x80 where the byte is 0x80 or more
    alignas(16) std::uint8_t by_class[blocks][unit_bytes][units_per_vector];  // the entry by the byte's category
    alignas(16) std::uint8_t keeps[blocks][unit_bytes][units_per_vector];     // 3, or 0 for F0-F7 (see class_keeps)
    alignas(16) std::uint8_t entries[blocks][unit_bytes][units_per_vector];   // the last pass's step entries
    std::uint32_t escape_masks[stretch_units];                     // bit j: the last pass escaped at byte j
};

// A 16 x 16 byte transpose: row r's byte c becomes out[c]'s byte r.
inline void transpose_16(const vec (&rows)[16], vec (&out)[16]) {
    vec pairs[8][2];  // rows 2k, 2k+1; columns 8h-8h+7
    for (unsigned k = 0; k < 8; ++k) {
        pairs[k][0] = zip_low_8(rows[2 * k], rows[2 * k + 1]);
        pairs[k][1] = zip_high_8(rows[2 * k], rows[2 * k + 1]);
    }
    vec quads[4][4];  // rows 4m-4m+3; columns 4g-4g+3
    for (unsigned m = 0; m < 4; ++m) {
        for (unsigned h = 0; h < 2; ++h) {
            quads[m][2 * h] = zip_low_16(pairs[2 * m][h], pairs[2 * m + 1][h]);
            quads[m][2 * h + 1] = zip_high_16(pairs[2 * m][h], pairs[2 * m + 1][h]);
        }
    }
    vec octets[2][8];  // rows 8n-8n+7; columns 2g, 2g+1
    for (unsigned n = 0; n < 2; ++n) {
        for (unsigned g = 0; g < 4; ++g) {
            octets[n][2 * g] = zip_low_32(quads[2 * n][g], quads[2 * n + 1][g]);
            octets[n][2 * g + 1] = zip_high_32(quads[2 * n][g], quads[2 * n + 1][g]);
        }
    }
    for (unsigned g = 0; g < 8; ++g) {
        out[2 * g] = zip_low_64(octets[0][g], octets[1][g]);
        out[2 * g + 1] = zip_high_64(octets[0][g], octets[1][g]);
    }
}

// 16 rows of 32 bytes transposed: out[i] holds byte i of each row. Row r's
// first 16 bytes are at `from` + r * `stride`, its last 16 `second` bytes on.
inline void transpose_rows(const std::uint8_t* from, std::size_t stride, std::size_t second, vec (&out)[32]) {
    for (unsigned half = 0; half < 2; ++half) {
        vec rows[16];
        for (unsigned r = 0; r < 16; ++r) rows[r] = load(from + stride * r + second * half);
        vec columns[16];
        transpose_16(rows, columns);
        for (unsigned c = 0; c < 16; ++c) out[16 * half + c] = columns[c];
    }
}

// A stretch's 4 KiB transposed into 128 units of 32 bytes, with what each
// byte gives a step.
void load_stretch(const std::uint8_t* from, shuffle_stretch& work) {
    const vec by_high = table(nibbles.by_high);
    const vec by_low = table(nibbles.by_low);
    const vec entry_of_bits = table(nibbles.entry_of_bits);
    const vec status_entry = table(nibbles.status_entry);
    for (unsigned block = 0; block < blocks; ++block) {
        vec rows[32];
        transpose_rows(from + units_per_vector * unit_bytes * block, unit_bytes, 16, rows);
        vec any_high = splat(0);
        for (unsigned i = 0; i < unit_bytes; ++i) {
            const vec byte = rows[i];
            any_high = either(any_high, byte);
            const vec high = high_nibble(byte);
            const vec bits = both(lookup(by_high, high), lookup(by_low, both(byte, splat(0x0F))));
            const vec low_entry = lookup(entry_of_bits, least(bits, splat(4)));
            const vec entry = pick(top_bit_mask(byte), lookup(status_entry, high), low_entry);
            // F0-F7 cancel the running class of the meta event they begin.
            const vec cancels = equal(both(byte, splat(0xF8)), splat(0xF0));
            store(work.bytes[block][i], byte);
            store(work.highs[block][i], both(byte, splat(0x80)));
            store(work.by_class[block][i], entry);
            store(work.keeps[block][i], but_not(splat(3), cancels));
        }
        const unsigned shift = (block * units_per_vector) % mask_units;
        if (shift == 0) work.high_units[block * units_per_vector / mask_units] = 0;
        work.high_units[block * units_per_vector / mask_units] |= std::uint64_t{top_bits(any_high)} << shift;
    }
}

struct shuffle_tables {
    vec low_steps, high_steps;
    vec at_status;  // by state: 0xFF for the status states
    vec in_header;  // by state: 0xFF for the meta type and length states
    vec in_meta;    // by state: 0xFF inside a meta event
};

shuffle_tables load_tables() {
    std::array<std::uint8_t, 16> at_status{};
    std::array<std::uint8_t, 16> in_header{};
    std::array<std::uint8_t, 16> in_meta{};
    for (unsigned from = status_none; from <= status_one; ++from) at_status[from] = 0xFF;
    in_header[meta_type] = in_header[meta_length] = 0xFF;
    in_meta[meta_type] = in_meta[meta_length] = in_meta[meta_counted] = 0xFF;
    return {table(low_steps), table(high_steps), table(at_status), table(in_header), table(in_meta)};
}

struct unit_states {
    vec at, count, return_class;
};

// One byte of every unit of one vector, as the AVX2 engine's step_units
// does it: the entry by state for the byte's half (the other lookup's index
// is 16 or more, so it gives a zero), or by the byte's category where that
// says so; the count by the state alone; at a meta event's end, the delta
// state of its return class.
template <bool record>
[[gnu::always_inline]] inline void step_units(const shuffle_tables& tables, shuffle_stretch& work, unsigned block,
                                              unsigned i, unit_states& units) {
    const vec byte = load(work.bytes[block][i]);
    const vec low_index = either(units.at, load(work.highs[block][i]));
    const vec high_index = flip(low_index, splat(0x80));
    const vec by_state = either(lookup(tables.low_steps, low_index), lookup(tables.high_steps, high_index));
    const vec entry = pick(equal(by_state, splat(by_category)), load(work.by_class[block][i]), by_state);
    if constexpr (record) store(work.entries[block][i], entry);
    // At a status position, the running class a meta event will return to.
    units.return_class =
        pick(lookup(tables.at_status, units.at), both(units.at, load(work.keeps[block][i])), units.return_class);
    const vec header_count = pick(equal(units.at, splat(meta_length)), byte, splat(4));
    units.count = pick(lookup(tables.in_header, units.at), header_count, minus(units.count, splat(1)));
    const vec next = both(entry, splat(0x0F));
    const vec returns =
        either(equal(next, splat(returning)), both(equal(next, splat(meta_counted)), equal(units.count, splat(0))));
    units.at = pick(returns, units.return_class, next);
}

// One pass over every unit from the guesses in work.guess_*, leaving the
// end states in work.end_*.
template <bool record>
void run_pass(const shuffle_tables& tables, shuffle_stretch& work) {
    for (unsigned first = 0; first < blocks; first += paired) {
        unit_states states[paired];
        for (unsigned k = 0; k < paired; ++k) {
            const unsigned at = units_per_vector * (first + k);
            states[k] = {load(work.guess_at + at), load(work.guess_count + at), load(work.guess_class + at)};
        }
        for (unsigned i = 0; i < unit_bytes; ++i) {
            for (unsigned k = 0; k < paired; ++k) step_units<record>(tables, work, first + k, i, states[k]);
        }
        for (unsigned k = 0; k < paired; ++k) {
            const unsigned at = units_per_vector * (first + k);
            store(work.end_at + at, states[k].at);
            store(work.end_count + at, states[k].count);
            store(work.end_class + at, states[k].return_class);
        }
    }
}

// Each unit's state at the end of the unit before; the first unit's, `start`.
void shift_ends(const shuffle_stretch& work, std::uint8_t (&at)[stretch_units], std::uint8_t (&count)[stretch_units],
                std::uint8_t (&return_class)[stretch_units], const machine_state& start) {
    std::memmove(at + 1, work.end_at, stretch_units - 1);
    std::memmove(count + 1, work.end_count, stretch_units - 1);
    std::memmove(return_class + 1, work.end_class, stretch_units - 1);
    at[0] = start.at;
    count[0] = start.count;
    return_class[0] = start.return_class;
}

// Which units' guesses agree with the end the last pass left in the unit
// before (states compared as same_as does), and each unit's pads and
// escapes from the last pass's entries.
void record_results(const shuffle_tables& tables, shuffle_stretch& work, const machine_state& start) {
    alignas(16) std::uint8_t before_at[stretch_units];
    alignas(16) std::uint8_t before_count[stretch_units];
    alignas(16) std::uint8_t before_class[stretch_units];
    shift_ends(work, before_at, before_count, before_class, start);
    for (unsigned word = 0; word < mask_words; ++word) {
        work.guessed_in_step[word] = 0;
        work.escapes[word] = 0;
    }
    const vec all = splat(0xFF);
    for (unsigned block = 0; block < blocks; ++block) {
        const unsigned first = units_per_vector * block;
        const vec at = load(work.guess_at + first);
        const vec same_count = either(but_not(all, equal(at, splat(meta_counted))),
                                      equal(load(work.guess_count + first), load(before_count + first)));
        const vec same_class = either(but_not(all, lookup(tables.in_meta, at)),
                                      equal(load(work.guess_class + first), load(before_class + first)));
        const vec same = both(equal(at, load(before_at + first)), both(same_count, same_class));
        std::uint64_t agree = top_bits(same);
        if (block == 0) agree |= 1;  // the true start
        // Each unit's entries in a row of its own: bit 7 the pad, bit 6 an escape.
        vec units[32];
        transpose_rows(work.entries[block][0], units_per_vector, 16 * units_per_vector, units);
        std::uint64_t escapes = 0;
        for (unsigned column = 0; column < units_per_vector; ++column) {
            const vec first_half = units[column];
            const vec second_half = units[16 + column];
            work.pad_masks[first + column] = top_bits(first_half) | top_bits(second_half) << 16;
            const std::uint32_t escape = top_bits(doubled(first_half)) | top_bits(doubled(second_half)) << 16;
            work.escape_masks[first + column] = escape;
            escapes |= std::uint64_t{escape != 0} << column;
        }
        const unsigned shift = first % mask_units;
        work.guessed_in_step[first / mask_units] |= agree << shift;
        work.escapes[first / mask_units] |= escapes << shift;
    }
}

void guess_units(const shuffle_tables& tables, shuffle_stretch& work, const machine_state& start) {
    const std::uint8_t boundary = at_boundary(static_cast<running_class>(start.at <= delta_one ? start.at : 0)).at;
    for (unsigned block = 0; block < blocks; ++block) {
        for (unsigned unit = 0; unit < units_per_vector; ++unit) {
            const auto high = [&](unsigned row) { return work.highs[block][row][unit] != 0; };
            work.guess_at[units_per_vector * block + unit] = first_guess(high(0), high(1), high(2), high(3), boundary);
        }
    }
    std::memset(work.guess_count, 0, stretch_units);
    std::memset(work.guess_class, 0, stretch_units);
    work.guess_at[0] = start.at;
    work.guess_count[0] = start.count;
    work.guess_class[0] = start.return_class;
    for (unsigned pass = 0; pass + 1 < passes; ++pass) {
        run_pass<false>(tables, work);
        shift_ends(work, work.guess_at, work.guess_count, work.guess_class, start);
    }
    run_pass<true>(tables, work);
    record_results(tables, work, start);
}

// A unit's output, eight bytes at a time: at most 16 bytes written for each.
inline std::uint8_t* expand_unit(std::uint8_t* out, const std::uint8_t* in, std::uint32_t pads) {
    for (unsigned eighth = 0; eighth < unit_bytes / 8; ++eighth) {
        const unsigned these = (pads >> (8 * eighth)) & 0xFF;
        store(out, lookup(load_8(in + 8 * eighth), table(expansions[these])));
        out += 8 + std::popcount(these);
    }
    return out;
}

struct shuffle_engine {
    shuffle_tables tables;
    shuffle_stretch work;

    void load(const std::uint8_t* from) { load_stretch(from, work); }
    const stretch_guesses& guess(const machine_state& start) {
        guess_units(tables, work, start);
        return work;
    }
    static std::uint8_t* expand(std::uint8_t* out, const std::uint8_t* in, std::uint32_t pads) {
        return expand_unit(out, in, pads);
    }
    // As the AVX2 engine's: the pass's state behind byte i is its entry's
    // next state, unless the entry returns or is inside a meta event.
    bool joins_pass(unsigned unit, unsigned i, const machine_state& truth) const {
        const unsigned next = work.entries[unit / units_per_vector][i][unit % units_per_vector] & 0x0F;
        return next == truth.at && (next < meta_type || next > meta_counted);
    }
    std::uint32_t escape_mask(unsigned unit) const { return work.escape_masks[unit]; }
};

}  // namespace

// Every processor of these targets has the vectors.
bool shuffle_engine_available() { return true; }

std::size_t shuffle_engine_translate(byte_view image, event_cursor& cursor, std::uint32_t stop,
                                     std::span<std::uint8_t> room, bool& poor) {
    // The stretch's work is left as it is: each stretch fills what it reads.
    shuffle_engine machine;
    machine.tables = load_tables();
    return walk_stretches(machine, image, cursor, stop, room, poor);
}

}  // namespace tolvarin::machine

#endif
