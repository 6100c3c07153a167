#include "fast/vector_machine.hpp"

#include "fast/state_machine.hpp"
#include "fast/stretch_walk.hpp"

#include <bit>
#include <utility>

// The path needs 64-bit bit deposits (pdep, pext), so 64-bit x86 alone.
#ifdef TOLVARIN_X86_ENGINES
// GCC 12 takes the intrinsics' own idiom for a vector whose value does not
// matter (an operand the instruction ignores) for an uninitialized read.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>
#endif

namespace tolvarin::machine {

bool stretch_level_available([[maybe_unused]] wide_level level) {
#ifdef TOLVARIN_STRETCH_ENGINES
    if (level == wide_level::shuffle) return shuffle_engine_available();
#endif
#ifdef TOLVARIN_X86_ENGINES
    if (level == wide_level::vector) return vector_engine_available();
#endif
    return false;
}

std::size_t translate_stretches([[maybe_unused]] byte_view image, [[maybe_unused]] event_cursor& cursor,
                                [[maybe_unused]] std::uint32_t stop, [[maybe_unused]] std::span<std::uint8_t> room,
                                bool& poor, [[maybe_unused]] wide_level level) {
#ifdef TOLVARIN_STRETCH_ENGINES
#ifdef TOLVARIN_X86_ENGINES
    if (level == wide_level::vector) return vector_engine_translate(image, cursor, stop, room, poor);
#endif
    if (level == wide_level::shuffle) return shuffle_engine_translate(image, cursor, stop, room, poor);
#endif
    poor = true;
    return 0;
}

#ifdef TOLVARIN_X86_ENGINES

#define TOLVARIN_VECTOR_TARGET \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,bmi,bmi2,popcnt")))

namespace {

constexpr unsigned lanes = 64;                  // units side by side in one vector
constexpr unsigned blocks = 2;                  // vectors moved on together, for their latencies to overlap
constexpr unsigned units = blocks * lanes;      // 128 units of 32 bytes: 4 KiB
constexpr unsigned passes = 4;
static_assert(units == stretch_units);

// One stretch: its bytes transposed (one row per byte of a unit, one column
// per unit), their categories and class masks, and the last pass's results.
struct stretch : stretch_guesses {
    alignas(64) std::uint8_t bytes[blocks][unit_bytes][lanes];
    alignas(64) std::uint8_t categories[blocks][unit_bytes][lanes];
    alignas(64) std::uint8_t class_keeps[blocks][unit_bytes][lanes];
    std::uint64_t zero_bytes[blocks][unit_bytes];  // bit u: unit u's byte is 0 (a length of nothing)
    std::uint64_t bare_types[blocks][unit_bytes];  // bit u: as a meta type, unit u's byte has nothing behind it
    alignas(64) std::uint8_t flags[units];         // the OR of every entry met: bit 6, an escape
};
static_assert(lanes == mask_units && blocks == mask_words);

struct vector_tables {
    __m512i steps_low, steps_high;
    __m512i categories[4];
    __m512i count_keep, count_take, count_add;
};

TOLVARIN_VECTOR_TARGET vector_tables load_tables() {
    vector_tables tables;
    tables.steps_low = _mm512_loadu_si512(steps.data());
    tables.steps_high = _mm512_loadu_si512(steps.data() + 64);
    for (unsigned quarter = 0; quarter < 4; ++quarter) {
        tables.categories[quarter] = _mm512_loadu_si512(categories.data() + 64 * quarter);
    }
    // What each count operation does: c' = (c & keep) | (byte & take), plus add.
    alignas(64) std::uint8_t keep[64] = {};
    alignas(64) std::uint8_t take[64] = {};
    alignas(64) std::uint8_t add[64] = {};
    for (unsigned lane = 0; lane < 4; ++lane) {
        keep[16 * lane + keep_count] = 0xFF;
        keep[16 * lane + count_down] = 0xFF;
        add[16 * lane + count_down] = 0xFF;
        take[16 * lane + count_byte] = 0xFF;
        add[16 * lane + count_four] = 4;
    }
    tables.count_keep = _mm512_load_si512(keep);
    tables.count_take = _mm512_load_si512(take);
    tables.count_add = _mm512_load_si512(add);
    return tables;
}

// A 16 x 16 transpose of 32-bit words: row g of `in` becomes column g.
TOLVARIN_VECTOR_TARGET inline void transpose_words(const __m512i* in, __m512i* out) {
    __m512i a[16];
    __m512i b[16];
    for (unsigned k = 0; k < 8; ++k) {
        a[2 * k] = _mm512_unpacklo_epi32(in[2 * k], in[2 * k + 1]);
        a[2 * k + 1] = _mm512_unpackhi_epi32(in[2 * k], in[2 * k + 1]);
    }
    for (unsigned k = 0; k < 4; ++k) {
        b[4 * k + 0] = _mm512_unpacklo_epi64(a[4 * k + 0], a[4 * k + 2]);
        b[4 * k + 1] = _mm512_unpackhi_epi64(a[4 * k + 0], a[4 * k + 2]);
        b[4 * k + 2] = _mm512_unpacklo_epi64(a[4 * k + 1], a[4 * k + 3]);
        b[4 * k + 3] = _mm512_unpackhi_epi64(a[4 * k + 1], a[4 * k + 3]);
    }
    for (unsigned m = 0; m < 4; ++m) {
        const __m512i low01 = _mm512_shuffle_i64x2(b[m], b[4 + m], 0x44);
        const __m512i low23 = _mm512_shuffle_i64x2(b[8 + m], b[12 + m], 0x44);
        const __m512i high01 = _mm512_shuffle_i64x2(b[m], b[4 + m], 0xEE);
        const __m512i high23 = _mm512_shuffle_i64x2(b[8 + m], b[12 + m], 0xEE);
        out[0 + m] = _mm512_shuffle_i64x2(low01, low23, 0x88);
        out[4 + m] = _mm512_shuffle_i64x2(low01, low23, 0xDD);
        out[8 + m] = _mm512_shuffle_i64x2(high01, high23, 0x88);
        out[12 + m] = _mm512_shuffle_i64x2(high01, high23, 0xDD);
    }
}

// 1 KiB read as 64 rows of 16 bytes, transposed: out[i] holds byte i of each row.
TOLVARIN_VECTOR_TARGET inline void transpose_kib(const std::uint8_t* from, __m512i* out) {
    // Within each 64 bytes (four rows), bring the four rows' byte i together.
    alignas(64) static constexpr std::uint8_t gather_bytes[64] = {
        0, 16, 32, 48, 1, 17, 33, 49, 2,  18, 34, 50, 3,  19, 35, 51, 4,  20, 36, 52, 5,  21,
        37, 53, 6, 22, 38, 54, 7, 23, 39, 55, 8, 24, 40, 56, 9, 25, 41, 57, 10, 26, 42, 58,
        11, 27, 43, 59, 12, 28, 44, 60, 13, 29, 45, 61, 14, 30, 46, 62, 15, 31, 47, 63};
    const __m512i gather = _mm512_load_si512(gather_bytes);
    __m512i words[16];
    for (unsigned group = 0; group < 16; ++group) {
        words[group] = _mm512_permutexvar_epi8(gather, _mm512_loadu_si512(from + 64 * group));
    }
    transpose_words(words, out);
}

// A stretch's 4 KiB transposed into 128 units of 32 bytes, with each byte's
// category and class mask.
TOLVARIN_VECTOR_TARGET void load_stretch(const std::uint8_t* from, const vector_tables& tables, stretch& work) {
    // A KiB is 32 units of 32 bytes, read as 64 rows of 16: unit u's bytes
    // 0-15 are row 2u, its bytes 16-31 row 2u + 1.
    alignas(64) static constexpr auto evens = [] {
        std::array<std::uint8_t, 64> index{};
        for (unsigned k = 0; k < 64; ++k) index[k] = static_cast<std::uint8_t>(k < 32 ? 2 * k : 64 + 2 * (k - 32));
        return index;
    }();
    const __m512i even_rows = _mm512_load_si512(evens.data());
    const __m512i odd_rows = _mm512_add_epi8(even_rows, _mm512_set1_epi8(1));
    const __m512i system_low = _mm512_set1_epi8(static_cast<char>(0xF0));
    const __m512i keep_all = _mm512_set1_epi8(3);
    for (unsigned block = 0; block < blocks; ++block) {
        std::uint64_t high_bytes = 0;
        __m512i first[16];
        __m512i second[16];
        transpose_kib(from + 2048 * block, first);
        transpose_kib(from + 2048 * block + 1024, second);
        for (unsigned i = 0; i < 16; ++i) {
            const __m512i low = _mm512_permutex2var_epi8(first[i], even_rows, second[i]);
            const __m512i high = _mm512_permutex2var_epi8(first[i], odd_rows, second[i]);
            for (const auto& [row, value] : {std::pair{i, low}, std::pair{i + 16, high}}) {
                _mm512_store_si512(work.bytes[block][row], value);
                const __mmask64 upper = _mm512_movepi8_mask(value);
                high_bytes |= upper;
                const __m512i category = _mm512_mask_blend_epi8(
                    upper, _mm512_permutex2var_epi8(tables.categories[0], value, tables.categories[1]),
                    _mm512_permutex2var_epi8(tables.categories[2], value, tables.categories[3]));
                _mm512_store_si512(work.categories[block][row], category);
                // F0-F7 cancel the running class of the meta event they begin.
                const __mmask64 cancels =
                    _mm512_cmpeq_epi8_mask(_mm512_and_si512(value, _mm512_set1_epi8(static_cast<char>(0xF8))), system_low);
                _mm512_store_si512(work.class_keeps[block][row], _mm512_maskz_mov_epi8(~cancels, keep_all));
                work.zero_bytes[block][row] = _mm512_testn_epi8_mask(value, value);
                // Types with something behind them have the three lowest categories.
                work.bare_types[block][row] = _mm512_cmpge_epu8_mask(category, _mm512_set1_epi8(plain_byte));
            }
        }
        work.high_units[block] = high_bytes;
    }
}

struct lane_states {
    __m512i at, count, return_class;
};

// What a pass keeps in registers for one vector of units besides its states:
// the pad bits of the bytes in each eighth of a unit, and every entry met ORed.
struct lane_marks {
    __m512i pads[unit_bytes / 8];
    __m512i flags;
};

struct pass_constants {
    __m512i four, low_nibble, op_bits, pad_flag, one, counted, length, type;
};

// One byte of every unit of one vector: byte `i`. The state that follows
// comes from one table permute; where a meta event ends (its last counted
// byte, a length of zero, a type with nothing behind it), the state is the
// delta state of the return class instead. Those cases are told from the
// state before and the byte alone, so that they cost the chain from one
// step to the next nothing.
template <unsigned i>
[[gnu::always_inline]] TOLVARIN_VECTOR_TARGET inline void step_units(const vector_tables& tables, const pass_constants& k,
                                                                      const stretch& work, unsigned block,
                                                                      lane_states& lane, lane_marks& marks) {
    const __m512i byte = _mm512_load_si512(work.bytes[block][i]);
    const __m512i category = _mm512_load_si512(work.categories[block][i]);
    const __m512i step =
        _mm512_permutex2var_epi8(tables.steps_low, _mm512_or_si512(lane.at, category), tables.steps_high);
    const __mmask64 returns = (_mm512_cmpeq_epi8_mask(lane.at, k.counted) & _mm512_cmpeq_epi8_mask(lane.count, k.one)) |
                              (_mm512_cmpeq_epi8_mask(lane.at, k.length) & work.zero_bytes[block][i]) |
                              (_mm512_cmpeq_epi8_mask(lane.at, k.type) & work.bare_types[block][i]);
    // At a status position, the running class a meta event will return to.
    const __m512i beyond_status = _mm512_sub_epi8(lane.at, k.four);
    const __mmask64 at_status = _mm512_cmplt_epu8_mask(beyond_status, k.four);
    lane.return_class = _mm512_mask_mov_epi8(lane.return_class, at_status,
                                             _mm512_and_si512(beyond_status, _mm512_load_si512(work.class_keeps[block][i])));
    __m512i& pad = marks.pads[i / 8];
    pad = _mm512_ternarylogic_epi32(_mm512_srli_epi16(pad, 1), step, k.pad_flag, 0xD8);
    marks.flags = _mm512_or_si512(marks.flags, step);
    const __m512i op = _mm512_and_si512(_mm512_srli_epi16(step, 4), k.op_bits);
    const __m512i kept = _mm512_ternarylogic_epi32(lane.count, _mm512_shuffle_epi8(tables.count_keep, op),
                                                   _mm512_and_si512(byte, _mm512_shuffle_epi8(tables.count_take, op)),
                                                   0xEA);
    lane.count = _mm512_add_epi8(kept, _mm512_shuffle_epi8(tables.count_add, op));
    lane.at = _mm512_mask_mov_epi8(_mm512_and_si512(step, k.low_nibble), returns, lane.return_class);
}

template <unsigned... i>
[[gnu::always_inline]] TOLVARIN_VECTOR_TARGET inline void step_all(std::integer_sequence<unsigned, i...>,
                                                                   const vector_tables& tables,
                                                                   const pass_constants& k, const stretch& work,
                                                                   lane_states (&states)[blocks],
                                                                   lane_marks (&marks)[blocks]) {
    // Byte by byte, each byte for every vector: the vectors' chains of
    // dependent steps overlap.
    ((step_units<i>(tables, k, work, 0, states[0], marks[0]), step_units<i>(tables, k, work, 1, states[1], marks[1])),
     ...);
}

// One pass of the machine over every unit from the given start states.
// Leaves the end states in `states`; with `record`, keeps what the walk needs.
TOLVARIN_VECTOR_TARGET void run_pass(const vector_tables& tables, stretch& work, lane_states (&states)[blocks],
                                     bool record) {
    static_assert(blocks == 2);
    const pass_constants k{_mm512_set1_epi8(4),
                           _mm512_set1_epi8(15),
                           _mm512_set1_epi8(3),
                           _mm512_set1_epi8(static_cast<char>(0x80)),
                           _mm512_set1_epi8(1),
                           _mm512_set1_epi8(meta_counted),
                           _mm512_set1_epi8(meta_length),
                           _mm512_set1_epi8(meta_type)};
    lane_marks marks[blocks];
    for (lane_marks& mark : marks) {
        for (__m512i& pad : mark.pads) pad = _mm512_setzero_si512();
        mark.flags = _mm512_setzero_si512();
    }
    step_all(std::make_integer_sequence<unsigned, unit_bytes>{}, tables, k, work, states, marks);
    if (!record) return;
    for (unsigned block = 0; block < blocks; ++block) {
        // Each unit's pad bits as one 32-bit mask: byte j of row k is bits 8k..8k+7.
        const __m512i low = _mm512_unpacklo_epi8(marks[block].pads[0], marks[block].pads[1]);
        const __m512i high = _mm512_unpackhi_epi8(marks[block].pads[0], marks[block].pads[1]);
        const __m512i low2 = _mm512_unpacklo_epi8(marks[block].pads[2], marks[block].pads[3]);
        const __m512i high2 = _mm512_unpackhi_epi8(marks[block].pads[2], marks[block].pads[3]);
        // Within each 128-bit lane: units 0-7 (lo) and 8-15 (hi) of that lane.
        const __m512i d0 = _mm512_unpacklo_epi16(low, low2);
        const __m512i d1 = _mm512_unpackhi_epi16(low, low2);
        const __m512i d2 = _mm512_unpacklo_epi16(high, high2);
        const __m512i d3 = _mm512_unpackhi_epi16(high, high2);
        // d0's 128-bit lane L holds units 16L+0..3, d1's 16L+4..7, d2's
        // 16L+8..11, d3's 16L+12..15: gather each L's four lanes.
        std::uint32_t* const out = work.pad_masks + lanes * block;
        const __m512i low01 = _mm512_shuffle_i64x2(d0, d1, 0x44);
        const __m512i low23 = _mm512_shuffle_i64x2(d2, d3, 0x44);
        const __m512i high01 = _mm512_shuffle_i64x2(d0, d1, 0xEE);
        const __m512i high23 = _mm512_shuffle_i64x2(d2, d3, 0xEE);
        _mm512_store_si512(out, _mm512_shuffle_i64x2(low01, low23, 0x88));
        _mm512_store_si512(out + 16, _mm512_shuffle_i64x2(low01, low23, 0xDD));
        _mm512_store_si512(out + 32, _mm512_shuffle_i64x2(high01, high23, 0x88));
        _mm512_store_si512(out + 48, _mm512_shuffle_i64x2(high01, high23, 0xDD));
        _mm512_store_si512(work.flags + lanes * block, marks[block].flags);
        _mm512_store_si512(work.end_at + lanes * block, states[block].at);
        _mm512_store_si512(work.end_count + lanes * block, states[block].count);
        _mm512_store_si512(work.end_class + lanes * block, states[block].return_class);
    }
}

// Every unit's guess: the state the unit before ended in, the first unit's the true one.
TOLVARIN_VECTOR_TARGET void shift_guesses(lane_states (&states)[blocks], const machine_state& start) {
    alignas(64) static constexpr auto previous = [] {
        std::array<std::uint8_t, 64> index{};
        for (unsigned k = 1; k < 64; ++k) index[k] = static_cast<std::uint8_t>(k - 1);
        index[0] = 64 + 63;  // from the other source: the block before's last unit
        return index;
    }();
    const __m512i from_previous = _mm512_load_si512(previous.data());
    for (unsigned block = blocks; block-- > 0;) {
        lane_states& lane = states[block];
        if (block == 0) {
            lane.at = _mm512_mask_mov_epi8(_mm512_permutexvar_epi8(from_previous, lane.at), 1, _mm512_set1_epi8(static_cast<char>(start.at)));
            lane.count = _mm512_mask_mov_epi8(_mm512_permutexvar_epi8(from_previous, lane.count), 1,
                                              _mm512_set1_epi8(static_cast<char>(start.count)));
            lane.return_class = _mm512_mask_mov_epi8(_mm512_permutexvar_epi8(from_previous, lane.return_class), 1,
                                                     _mm512_set1_epi8(static_cast<char>(start.return_class)));
        } else {
            const lane_states& before = states[block - 1];
            lane.at = _mm512_permutex2var_epi8(lane.at, from_previous, before.at);
            lane.count = _mm512_permutex2var_epi8(lane.count, from_previous, before.count);
            lane.return_class = _mm512_permutex2var_epi8(lane.return_class, from_previous, before.return_class);
        }
    }
}

// A state with what does not matter cleared: the count outside the counted
// bytes, the return class outside a meta event.
[[gnu::always_inline]] TOLVARIN_VECTOR_TARGET inline lane_states normalized(const lane_states& lane) {
    const __mmask64 counting = _mm512_cmpeq_epi8_mask(lane.at, _mm512_set1_epi8(meta_counted));
    const __mmask64 in_meta =
        _mm512_cmplt_epu8_mask(_mm512_sub_epi8(lane.at, _mm512_set1_epi8(meta_type)), _mm512_set1_epi8(3));
    return {lane.at, _mm512_maskz_mov_epi8(counting, lane.count), _mm512_maskz_mov_epi8(in_meta, lane.return_class)};
}

// Which units' guesses agree with the end the last pass left in the unit
// before, and which met an escape.
TOLVARIN_VECTOR_TARGET void record_agreement(stretch& work, const lane_states (&ends)[blocks]) {
    alignas(64) static constexpr auto previous = [] {
        std::array<std::uint8_t, 64> index{};
        for (unsigned k = 1; k < 64; ++k) index[k] = static_cast<std::uint8_t>(k - 1);
        index[0] = 64 + 63;
        return index;
    }();
    const __m512i from_previous = _mm512_load_si512(previous.data());
    for (unsigned block = 0; block < blocks; ++block) {
        const lane_states& before = ends[block == 0 ? 0 : block - 1];
        const lane_states shifted = normalized({_mm512_permutex2var_epi8(ends[block].at, from_previous, before.at),
                                                _mm512_permutex2var_epi8(ends[block].count, from_previous, before.count),
                                                _mm512_permutex2var_epi8(ends[block].return_class, from_previous,
                                                                         before.return_class)});
        const lane_states guess = normalized({_mm512_load_si512(work.guess_at + lanes * block),
                                              _mm512_load_si512(work.guess_count + lanes * block),
                                              _mm512_load_si512(work.guess_class + lanes * block)});
        std::uint64_t agree = _mm512_cmpeq_epi8_mask(guess.at, shifted.at) &
                              _mm512_cmpeq_epi8_mask(guess.count, shifted.count) &
                              _mm512_cmpeq_epi8_mask(guess.return_class, shifted.return_class);
        if (block == 0) agree |= 1;  // the true start
        work.guessed_in_step[block] = agree;
        work.escapes[block] =
            _mm512_test_epi8_mask(_mm512_load_si512(work.flags + lanes * block), _mm512_set1_epi8(escape_bit));
    }
}

// Runs the passes over a stretch and records the last one's guesses and results.
TOLVARIN_VECTOR_TARGET void guess_units(const vector_tables& tables, stretch& work, const machine_state& start) {
    lane_states states[blocks];
    const __m512i boundary = _mm512_set1_epi8(static_cast<char>(at_boundary(static_cast<running_class>(
        start.at <= delta_one ? start.at : 0)).at));
    for (lane_states& lane : states) lane = {boundary, _mm512_setzero_si512(), _mm512_setzero_si512()};
    states[0].at = _mm512_mask_mov_epi8(states[0].at, 1, _mm512_set1_epi8(static_cast<char>(start.at)));
    states[0].count = _mm512_mask_mov_epi8(states[0].count, 1, _mm512_set1_epi8(static_cast<char>(start.count)));
    states[0].return_class =
        _mm512_mask_mov_epi8(states[0].return_class, 1, _mm512_set1_epi8(static_cast<char>(start.return_class)));
    for (unsigned pass = 0; pass < passes; ++pass) {
        if (pass + 1 == passes) {
            for (unsigned block = 0; block < blocks; ++block) {
                _mm512_store_si512(work.guess_at + lanes * block, states[block].at);
                _mm512_store_si512(work.guess_count + lanes * block, states[block].count);
                _mm512_store_si512(work.guess_class + lanes * block, states[block].return_class);
            }
        }
        run_pass(tables, work, states, pass + 1 == passes);
        if (pass + 1 < passes) shift_guesses(states, start);
    }
    record_agreement(work, states);
}

// A unit's output: its bytes, a zero behind each padded one. The output lane
// mask is worked out from the pad mask: each byte takes two slots, the
// second only when padded, and the byte slots are picked out of those that
// exist.
TOLVARIN_VECTOR_TARGET inline std::uint8_t* expand_unit(std::uint8_t* out, const std::uint8_t* in, std::uint32_t pads) {
    constexpr std::uint64_t byte_slots = 0x5555555555555555u;
    const std::uint64_t slots = byte_slots | _pdep_u64(pads, ~byte_slots);
    const __mmask64 placed = _pext_u64(byte_slots, slots);
    const __m512i bytes = _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)));
    _mm512_storeu_si512(out, _mm512_maskz_expand_epi8(placed, bytes));
    return out + unit_bytes + static_cast<unsigned>(_mm_popcnt_u32(pads));
}

// The AVX-512 engine: 64 units to a vector, one permute a step.
struct vector_engine {
    vector_tables tables;
    stretch work;

    TOLVARIN_VECTOR_TARGET void load(const std::uint8_t* from) { load_stretch(from, tables, work); }
    TOLVARIN_VECTOR_TARGET const stretch_guesses& guess(const machine_state& start) {
        guess_units(tables, work, start);
        return work;
    }
    TOLVARIN_VECTOR_TARGET static std::uint8_t* expand(std::uint8_t* out, const std::uint8_t* in,
                                                       std::uint32_t pads) {
        return expand_unit(out, in, pads);
    }
    // The passes keep no state behind each byte.
    static bool joins_pass(unsigned, unsigned, const machine_state&) { return false; }
    static std::uint32_t escape_mask(unsigned) { return 0; }
};

}  // namespace

bool vector_engine_available() {
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
           __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2");
}

TOLVARIN_VECTOR_TARGET std::size_t vector_engine_translate(byte_view image, event_cursor& cursor, std::uint32_t stop,
                                                           std::span<std::uint8_t> room, bool& poor) {
    // The stretch's work is left as it is: each stretch fills what it reads.
    vector_engine machine;
    machine.tables = load_tables();
    return walk_stretches(machine, image, cursor, stop, room, poor);
}
#endif

}  // namespace tolvarin::machine
