// The vector level's passes (vector_machine.cpp): the state machine run
// over every unit of a stretch at once, one table permute a byte, from
// guessed start states; each pass's end states are the next pass's guesses.
// Included by vector_machine.cpp alone, which compiles it for AVX-512.
#pragma once

#include "fast/vector_loads.hpp"

// Internal to the one file that includes it, so that the compiler may
// inline as it would within that file.
namespace tolvarin::machine::vector_level {
namespace {

// The permute that moves every unit's value to the next unit: unit k takes
// unit k - 1's, and unit 0 the last unit of the vector before (index 127:
// the other source's last byte).
alignas(64) inline constexpr std::array<std::uint8_t, 64> previous_unit = [] {
    std::array<std::uint8_t, 64> index{};
    for (unsigned k = 1; k < 64; ++k) index[k] = static_cast<std::uint8_t>(k - 1);
    index[0] = 64 + 63;
    return index;
}();

struct unit_states {
    __m512i at, count, return_class;
};

// What a pass keeps in registers for one vector of units besides its states:
// the pad bits of the bytes in each eighth of a unit, and every entry met ORed.
struct unit_marks {
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
                                                                      unit_states& vec, unit_marks& marks) {
    const __m512i byte = _mm512_load_si512(work.bytes[block][i]);
    const __m512i category = _mm512_load_si512(work.categories[block][i]);
    const __m512i step =
        _mm512_permutex2var_epi8(tables.steps_low, _mm512_or_si512(vec.at, category), tables.steps_high);
    const __mmask64 returns = (_mm512_cmpeq_epi8_mask(vec.at, k.counted) & _mm512_cmpeq_epi8_mask(vec.count, k.one)) |
                              (_mm512_cmpeq_epi8_mask(vec.at, k.length) & work.zero_bytes[block][i]) |
                              (_mm512_cmpeq_epi8_mask(vec.at, k.type) & work.bare_types[block][i]);
    // At a status position, the running class a meta event will return to.
    const __m512i beyond_status = _mm512_sub_epi8(vec.at, k.four);
    const __mmask64 at_status = _mm512_cmplt_epu8_mask(beyond_status, k.four);
    vec.return_class = _mm512_mask_mov_epi8(vec.return_class, at_status,
                                             _mm512_and_si512(beyond_status, _mm512_load_si512(work.class_keeps[block][i])));
    __m512i& pad = marks.pads[i / 8];
    // 0xD8 is the truth table of (c ? b : a), bit by bit: where the pad flag
    // (bit 7) is, the step entry's pad bit; elsewhere the pads so far moved
    // down one. After eight bytes each byte of `pad` holds its unit's eight
    // pad bits of that eighth, the first byte's lowest.
    pad = _mm512_ternarylogic_epi32(_mm512_srli_epi16(pad, 1), step, k.pad_flag, 0xD8);
    marks.flags = _mm512_or_si512(marks.flags, step);
    const __m512i op = _mm512_and_si512(_mm512_srli_epi16(step, 4), k.op_bits);
    // 0xEA is the truth table of (a & b) | c: (count & keep) | (byte & take).
    const __m512i kept = _mm512_ternarylogic_epi32(vec.count, _mm512_shuffle_epi8(tables.count_keep, op),
                                                   _mm512_and_si512(byte, _mm512_shuffle_epi8(tables.count_take, op)),
                                                   0xEA);
    vec.count = _mm512_add_epi8(kept, _mm512_shuffle_epi8(tables.count_add, op));
    vec.at = _mm512_mask_mov_epi8(_mm512_and_si512(step, k.low_nibble), returns, vec.return_class);
}

template <unsigned... i>
[[gnu::always_inline]] TOLVARIN_VECTOR_TARGET inline void step_all(std::integer_sequence<unsigned, i...>,
                                                                   const vector_tables& tables,
                                                                   const pass_constants& k, const stretch& work,
                                                                   unit_states (&states)[blocks],
                                                                   unit_marks (&marks)[blocks]) {
    // Byte by byte, each byte for every vector: the vectors' chains of
    // dependent steps overlap.
    ((step_units<i>(tables, k, work, 0, states[0], marks[0]), step_units<i>(tables, k, work, 1, states[1], marks[1])),
     ...);
}

// One pass of the machine over every unit from the given start states.
// Leaves the end states in `states`; with `record`, keeps what the walk needs.
TOLVARIN_VECTOR_TARGET void run_pass(const vector_tables& tables, stretch& work, unit_states (&states)[blocks],
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
    unit_marks marks[blocks];
    for (unit_marks& mark : marks) {
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
        // Within each 128-bit quarter: units 0-7 (lo) and 8-15 (hi) of that quarter.
        const __m512i d0 = _mm512_unpacklo_epi16(low, low2);
        const __m512i d1 = _mm512_unpackhi_epi16(low, low2);
        const __m512i d2 = _mm512_unpacklo_epi16(high, high2);
        const __m512i d3 = _mm512_unpackhi_epi16(high, high2);
        // d0's 128-bit quarter L holds units 16L+0..3, d1's 16L+4..7, d2's
        // 16L+8..11, d3's 16L+12..15: gather each L's four units_per_vector.
        std::uint32_t* const out = work.pad_masks + units_per_vector * block;
        const __m512i low01 = _mm512_shuffle_i64x2(d0, d1, 0x44);
        const __m512i low23 = _mm512_shuffle_i64x2(d2, d3, 0x44);
        const __m512i high01 = _mm512_shuffle_i64x2(d0, d1, 0xEE);
        const __m512i high23 = _mm512_shuffle_i64x2(d2, d3, 0xEE);
        _mm512_store_si512(out, _mm512_shuffle_i64x2(low01, low23, 0x88));
        _mm512_store_si512(out + 16, _mm512_shuffle_i64x2(low01, low23, 0xDD));
        _mm512_store_si512(out + 32, _mm512_shuffle_i64x2(high01, high23, 0x88));
        _mm512_store_si512(out + 48, _mm512_shuffle_i64x2(high01, high23, 0xDD));
        _mm512_store_si512(work.flags + units_per_vector * block, marks[block].flags);
        _mm512_store_si512(work.end_at + units_per_vector * block, states[block].at);
        _mm512_store_si512(work.end_count + units_per_vector * block, states[block].count);
        _mm512_store_si512(work.end_class + units_per_vector * block, states[block].return_class);
    }
}

// Every unit's guess: the state the unit before ended in, the first unit's the true one.
TOLVARIN_VECTOR_TARGET void shift_guesses(unit_states (&states)[blocks], const machine_state& start) {
    const __m512i from_previous = _mm512_load_si512(previous_unit.data());
    for (unsigned block = blocks; block-- > 0;) {
        unit_states& vec = states[block];
        if (block == 0) {
            vec.at = _mm512_mask_mov_epi8(_mm512_permutexvar_epi8(from_previous, vec.at), 1, _mm512_set1_epi8(static_cast<char>(start.at)));
            vec.count = _mm512_mask_mov_epi8(_mm512_permutexvar_epi8(from_previous, vec.count), 1,
                                              _mm512_set1_epi8(static_cast<char>(start.count)));
            vec.return_class = _mm512_mask_mov_epi8(_mm512_permutexvar_epi8(from_previous, vec.return_class), 1,
                                                     _mm512_set1_epi8(static_cast<char>(start.return_class)));
        } else {
            const unit_states& before = states[block - 1];
            vec.at = _mm512_permutex2var_epi8(vec.at, from_previous, before.at);
            vec.count = _mm512_permutex2var_epi8(vec.count, from_previous, before.count);
            vec.return_class = _mm512_permutex2var_epi8(vec.return_class, from_previous, before.return_class);
        }
    }
}

// A state with what does not matter cleared: the count outside the counted
// bytes, the return class outside a meta event.
[[gnu::always_inline]] TOLVARIN_VECTOR_TARGET inline unit_states normalized(const unit_states& vec) {
    const __mmask64 counting = _mm512_cmpeq_epi8_mask(vec.at, _mm512_set1_epi8(meta_counted));
    const __mmask64 in_meta =
        _mm512_cmplt_epu8_mask(_mm512_sub_epi8(vec.at, _mm512_set1_epi8(meta_type)), _mm512_set1_epi8(3));
    return {vec.at, _mm512_maskz_mov_epi8(counting, vec.count), _mm512_maskz_mov_epi8(in_meta, vec.return_class)};
}

// Which units' guesses agree with the end the last pass left in the unit
// before, and which met an escape.
TOLVARIN_VECTOR_TARGET void record_agreement(stretch& work, const unit_states (&ends)[blocks]) {
    const __m512i from_previous = _mm512_load_si512(previous_unit.data());
    for (unsigned block = 0; block < blocks; ++block) {
        const unit_states& before = ends[block == 0 ? 0 : block - 1];
        const unit_states shifted = normalized({_mm512_permutex2var_epi8(ends[block].at, from_previous, before.at),
                                                _mm512_permutex2var_epi8(ends[block].count, from_previous, before.count),
                                                _mm512_permutex2var_epi8(ends[block].return_class, from_previous,
                                                                         before.return_class)});
        const unit_states guess = normalized({_mm512_load_si512(work.guess_at + units_per_vector * block),
                                              _mm512_load_si512(work.guess_count + units_per_vector * block),
                                              _mm512_load_si512(work.guess_class + units_per_vector * block)});
        std::uint64_t agree = _mm512_cmpeq_epi8_mask(guess.at, shifted.at) &
                              _mm512_cmpeq_epi8_mask(guess.count, shifted.count) &
                              _mm512_cmpeq_epi8_mask(guess.return_class, shifted.return_class);
        if (block == 0) agree |= 1;  // the true start
        work.guessed_in_step[block] = agree;
        work.escapes[block] =
            _mm512_test_epi8_mask(_mm512_load_si512(work.flags + units_per_vector * block), _mm512_set1_epi8(escape_bit));
    }
}

// The first pass's guess of where each unit starts within an event, from
// its first four bytes (first_guess in stretch_walk.hpp, a vector of units at a time).
TOLVARIN_VECTOR_TARGET inline __m512i first_guesses(const stretch& work, unsigned block, __m512i boundary) {
    const __mmask64 high0 = _mm512_movepi8_mask(_mm512_load_si512(work.bytes[block][0]));
    const __mmask64 high1 = _mm512_movepi8_mask(_mm512_load_si512(work.bytes[block][1]));
    const __mmask64 high2 = _mm512_movepi8_mask(_mm512_load_si512(work.bytes[block][2]));
    const __mmask64 high3 = _mm512_movepi8_mask(_mm512_load_si512(work.bytes[block][3]));
    const __mmask64 status_first = high0;                         // the status itself
    const __mmask64 last_data = ~high0 & ~high1 & high2;          // data, delta, status
    const __mmask64 two_data = ~high0 & ~high1 & ~high2 & high3;  // data, data, delta, status
    __m512i guess = _mm512_mask_mov_epi8(boundary, status_first, _mm512_add_epi8(boundary, _mm512_set1_epi8(status_none)));
    guess = _mm512_mask_mov_epi8(guess, last_data, _mm512_set1_epi8(last_of_two));
    return _mm512_mask_mov_epi8(guess, two_data, _mm512_set1_epi8(first_of_two));
}

// Runs the passes over a stretch and records the last one's guesses and results.
TOLVARIN_VECTOR_TARGET void guess_units(const vector_tables& tables, stretch& work, const machine_state& start) {
    unit_states states[blocks];
    const __m512i boundary = _mm512_set1_epi8(static_cast<char>(at_boundary(static_cast<running_class>(
        start.at <= delta_one ? start.at : 0)).at));
    for (unsigned block = 0; block < blocks; ++block) {
        states[block] = {first_guesses(work, block, boundary), _mm512_setzero_si512(), _mm512_setzero_si512()};
    }
    states[0].at = _mm512_mask_mov_epi8(states[0].at, 1, _mm512_set1_epi8(static_cast<char>(start.at)));
    states[0].count = _mm512_mask_mov_epi8(states[0].count, 1, _mm512_set1_epi8(static_cast<char>(start.count)));
    states[0].return_class =
        _mm512_mask_mov_epi8(states[0].return_class, 1, _mm512_set1_epi8(static_cast<char>(start.return_class)));
    for (unsigned pass = 0; pass < passes; ++pass) {
        if (pass + 1 == passes) {
            for (unsigned block = 0; block < blocks; ++block) {
                _mm512_store_si512(work.guess_at + units_per_vector * block, states[block].at);
                _mm512_store_si512(work.guess_count + units_per_vector * block, states[block].count);
                _mm512_store_si512(work.guess_class + units_per_vector * block, states[block].return_class);
            }
        }
        run_pass(tables, work, states, pass + 1 == passes);
        if (pass + 1 < passes) shift_guesses(states, start);
    }
    record_agreement(work, states);
}

}  // namespace
}  // namespace tolvarin::machine::vector_level
