// The shuffle level's engine on x86-64 (see vector_machine.hpp and
// stretch_walk.hpp): the state machine of state_machine.hpp over 32 units to
// a 32-byte vector, its table lookups done with the 16-entry byte shuffles
// of shuffle_tables.hpp, their entries laid out as shuffle_entries.hpp has
// them (AVX2).
#include "fast/shuffle_entries.hpp"
#include "fast/stretch_walk.hpp"

#include <array>
#include <cstring>

#ifdef TOLVARIN_X86_ENGINES
#include <immintrin.h>
#endif

namespace tolvarin::machine {

namespace {

using namespace shuffle;

#ifdef TOLVARIN_X86_ENGINES

#define TOLVARIN_SHUFFLE_TARGET __attribute__((target("avx2,popcnt")))

constexpr unsigned units_per_vector = 32;   // units side by side in one vector
constexpr unsigned blocks = 4;   // vectors to a stretch
// Every vector stepped together, for their latencies to overlap: a few of
// their states go to memory and back, which costs less than the wait.
constexpr unsigned paired = 4;
// Three passes: at these widths a fourth costs more than the stepping
// through of the few units it would set right.
constexpr unsigned passes = 3;
static_assert(blocks * units_per_vector == stretch_units);

// One stretch: its bytes transposed (one row per byte of a unit, one column
// per unit) as what a step needs of each (see pass_byte), and the last
// pass's entries.
struct shuffle_stretch : stretch_guesses {
    alignas(32) std::uint8_t by_class[blocks][unit_bytes][units_per_vector];
    alignas(32) std::uint8_t keeps[blocks][unit_bytes][units_per_vector];
    alignas(32) std::uint8_t length_rows[blocks][unit_bytes][units_per_vector];
    alignas(32) std::uint8_t type_rows[blocks][unit_bytes][units_per_vector];
    alignas(32) std::uint8_t entries[blocks][unit_bytes][units_per_vector];   // the last pass's step entries
};

// Each row's number in every byte, for the compare with the last rows.
alignas(32) constexpr auto row_numbers = [] {
    std::array<std::array<std::uint8_t, units_per_vector>, unit_bytes> rows{};
    for (unsigned row = 0; row < unit_bytes; ++row) rows[row].fill(static_cast<std::uint8_t>(row));
    return rows;
}();

TOLVARIN_SHUFFLE_TARGET inline __m256i broadcast(const std::array<std::uint8_t, 16>& table) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table.data())));
}

TOLVARIN_SHUFFLE_TARGET inline __m256i splat(unsigned value) { return _mm256_set1_epi8(static_cast<char>(value)); }

TOLVARIN_SHUFFLE_TARGET inline __m256i load_32(const std::uint8_t* from) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(from));
}

// A 16 x 16 byte transpose within each 128-bit half: row r's byte c becomes
// out[c]'s byte r.
TOLVARIN_SHUFFLE_TARGET inline void transpose_halves(const __m256i (&rows)[16], __m256i (&out)[16]) {
    __m256i pairs[8][2];  // rows 2k, 2k+1; columns 8h-8h+7
    for (unsigned k = 0; k < 8; ++k) {
        pairs[k][0] = _mm256_unpacklo_epi8(rows[2 * k], rows[2 * k + 1]);
        pairs[k][1] = _mm256_unpackhi_epi8(rows[2 * k], rows[2 * k + 1]);
    }
    __m256i quads[4][4];  // rows 4m-4m+3; columns 4g-4g+3
    for (unsigned m = 0; m < 4; ++m) {
        for (unsigned h = 0; h < 2; ++h) {
            quads[m][2 * h] = _mm256_unpacklo_epi16(pairs[2 * m][h], pairs[2 * m + 1][h]);
            quads[m][2 * h + 1] = _mm256_unpackhi_epi16(pairs[2 * m][h], pairs[2 * m + 1][h]);
        }
    }
    __m256i octets[2][8];  // rows 8n-8n+7; columns 2g, 2g+1
    for (unsigned n = 0; n < 2; ++n) {
        for (unsigned g = 0; g < 4; ++g) {
            octets[n][2 * g] = _mm256_unpacklo_epi32(quads[2 * n][g], quads[2 * n + 1][g]);
            octets[n][2 * g + 1] = _mm256_unpackhi_epi32(quads[2 * n][g], quads[2 * n + 1][g]);
        }
    }
    for (unsigned g = 0; g < 8; ++g) {
        out[2 * g] = _mm256_unpacklo_epi64(octets[0][g], octets[1][g]);
        out[2 * g + 1] = _mm256_unpackhi_epi64(octets[0][g], octets[1][g]);
    }
}

// 32 rows of 32 bytes at `from`, transposed: out[i] holds byte i of each row.
TOLVARIN_SHUFFLE_TARGET inline void transpose_32(const std::uint8_t* from, __m256i (&out)[32]) {
    __m256i first[16];
    __m256i second[16];
    {
        __m256i rows[16];
        for (unsigned r = 0; r < 16; ++r) rows[r] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 32 * r));
        transpose_halves(rows, first);
        for (unsigned r = 0; r < 16; ++r) {
            rows[r] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 32 * (16 + r)));
        }
        transpose_halves(rows, second);
    }
    // first[c]: byte c of rows 0-15 in the low half, byte 16 + c in the high.
    for (unsigned c = 0; c < 16; ++c) {
        out[c] = _mm256_permute2x128_si256(first[c], second[c], 0x20);
        out[16 + c] = _mm256_permute2x128_si256(first[c], second[c], 0x31);
    }
}

// A stretch's 4 KiB transposed into 128 units of 32 bytes, with what each
// byte gives a step (pass_byte_of).
TOLVARIN_SHUFFLE_TARGET void load_stretch(const std::uint8_t* from, shuffle_stretch& work) {
    const __m256i by_high = broadcast(nibbles.by_high);
    const __m256i by_low = broadcast(nibbles.by_low);
    const __m256i entry_of_bits = broadcast(pass_entry_of_bits);
    const __m256i status_entry = broadcast(pass_status_entry);
    const __m256i low_nibble = splat(0x0F);
    for (unsigned block = 0; block < blocks; ++block) {
        __m256i rows[32];
        transpose_32(from + 1024 * block, rows);
        __m256i any_high = _mm256_setzero_si256();
        for (unsigned i = 0; i < unit_bytes; ++i) {
            const __m256i byte = rows[i];
            any_high = _mm256_or_si256(any_high, byte);
            const __m256i high_nibble = _mm256_and_si256(_mm256_srli_epi16(byte, 4), low_nibble);
            const __m256i bits = _mm256_and_si256(_mm256_shuffle_epi8(by_high, high_nibble),
                                                  _mm256_shuffle_epi8(by_low, _mm256_and_si256(byte, low_nibble)));
            const __m256i low_entry = _mm256_shuffle_epi8(entry_of_bits, _mm256_min_epu8(bits, splat(4)));
            const __m256i entry = _mm256_blendv_epi8(low_entry, _mm256_shuffle_epi8(status_entry, high_nibble), byte);
            // F0-F7 cancel the running class of the meta event they begin.
            const __m256i cancels = _mm256_cmpeq_epi8(_mm256_and_si256(byte, splat(0xF8)), splat(0xF0));
            const __m256i high = _mm256_cmpgt_epi8(_mm256_setzero_si256(), byte);
            const __m256i keeps =
                _mm256_and_si256(high, _mm256_andnot_si256(_mm256_and_si256(cancels, splat(3)), splat(0x83)));
            const __m256i row = splat(i);
            const __m256i tempo = _mm256_and_si256(_mm256_cmpeq_epi8(entry, splat(tempo_entry)), splat(tempo_bytes));
            _mm256_store_si256(reinterpret_cast<__m256i*>(work.by_class[block][i]), entry);
            _mm256_store_si256(reinterpret_cast<__m256i*>(work.keeps[block][i]), keeps);
            // A byte of 0x80 or more is never a length: its length row is
            // its row, for the type of that byte with nothing behind it.
            _mm256_store_si256(reinterpret_cast<__m256i*>(work.length_rows[block][i]),
                               _mm256_add_epi8(_mm256_andnot_si256(high, byte), row));
            _mm256_store_si256(reinterpret_cast<__m256i*>(work.type_rows[block][i]), _mm256_add_epi8(tempo, row));
        }
        const auto high_units = static_cast<std::uint32_t>(_mm256_movemask_epi8(any_high));
        const unsigned shift = (block * units_per_vector) % mask_units;
        if (shift == 0) work.high_units[block * units_per_vector / mask_units] = 0;
        work.high_units[block * units_per_vector / mask_units] |= std::uint64_t{high_units} << shift;
    }
}

struct shuffle_tables {
    __m256i low_steps, high_steps;  // pass_low_steps, pass_high_steps
    __m256i in_meta;  // by state: 0xFF inside a meta event
};

TOLVARIN_SHUFFLE_TARGET shuffle_tables load_tables() {
    std::array<std::uint8_t, 16> in_meta{};
    in_meta[meta_type] = in_meta[meta_length] = in_meta[meta_counted] = 0xFF;
    return {broadcast(pass_low_steps), broadcast(pass_high_steps), broadcast(in_meta)};
}

// The same vector, through a copy the compiler cannot see through. GCC
// reads a blend on a vector's bit 7 as a compare with zero and a blend;
// where two blends take one vector as their mask it keeps the compare, one
// more operation each step and a register of zeros. With a mask of its
// own, each blend takes its vector as it is.
TOLVARIN_SHUFFLE_TARGET inline __m256i own_mask(__m256i mask) {
    __asm__("" : "+x"(mask));
    return mask;
}

// A vector of units' states as the passes keep them (see pass_state).
struct unit_states {
    __m256i at, last_row, return_class;
};

// One byte of every unit of one vector: pass_step, 32 units at once. The
// entry comes from the lookup by state for the byte's half (both halves
// looked up, one kept by the byte's bit 7, which its keeps carry), or,
// where the lookup has bit 7 set, from the byte's category. A status byte
// of 0x80 or more read in a status state keeps the return class; an entry
// that sets the last row sets it from the byte as a type where the lookup
// by state gave way to the category, as a length elsewhere; and where the
// row is the last row, the meta event ends in the delta state of its
// return class.
template <bool record>
[[gnu::always_inline]] TOLVARIN_SHUFFLE_TARGET inline void step_units(const shuffle_tables& tables,
                                                                       shuffle_stretch& work, unsigned block,
                                                                       unsigned i, unit_states& units) {
    const __m256i keeps = load_32(work.keeps[block][i]);
    const __m256i by_state = _mm256_blendv_epi8(_mm256_shuffle_epi8(tables.low_steps, units.at),
                                                _mm256_shuffle_epi8(tables.high_steps, units.at), keeps);
    const __m256i entry = _mm256_blendv_epi8(by_state, load_32(work.by_class[block][i]), by_state);
    if constexpr (record) _mm256_store_si256(reinterpret_cast<__m256i*>(work.entries[block][i]), entry);
    units.return_class =
        _mm256_blendv_epi8(units.return_class, _mm256_and_si256(units.at, keeps), _mm256_and_si256(by_state, keeps));
    const __m256i last_row =
        _mm256_blendv_epi8(load_32(work.length_rows[block][i]), load_32(work.type_rows[block][i]), own_mask(by_state));
    units.last_row = _mm256_blendv_epi8(units.last_row, last_row, _mm256_slli_epi16(entry, 3));
    units.at = _mm256_blendv_epi8(entry, units.return_class,
                                  _mm256_cmpeq_epi8(units.last_row, load_32(row_numbers[i].data())));
}

// One pass over every unit from the guesses in work.guess_*, leaving the
// end states in work.end_*. A unit in the counted bytes starts with the
// row of its last one (its count less one: the count is the bytes still
// to come); any other, with no last row. At the end the count is what is
// left behind row 31, and the state's other bits are dropped.
template <bool record>
TOLVARIN_SHUFFLE_TARGET void run_pass(const shuffle_tables& tables, shuffle_stretch& work) {
    for (unsigned first = 0; first < blocks; first += paired) {
        unit_states states[paired];
        const auto at = [](std::uint8_t* array, unsigned block) {
            return reinterpret_cast<__m256i*>(array + units_per_vector * block);
        };
        for (unsigned k = 0; k < paired; ++k) {
            const __m256i state = _mm256_load_si256(at(work.guess_at, first + k));
            const __m256i counting = _mm256_cmpeq_epi8(state, splat(meta_counted));
            const __m256i last_row =
                _mm256_blendv_epi8(splat(no_last_row),
                                   _mm256_sub_epi8(_mm256_load_si256(at(work.guess_count, first + k)), splat(1)), counting);
            states[k] = {state, last_row, _mm256_load_si256(at(work.guess_class, first + k))};
        }
        for (unsigned i = 0; i < unit_bytes; ++i) {
            for (unsigned k = 0; k < paired; ++k) step_units<record>(tables, work, first + k, i, states[k]);
        }
        for (unsigned k = 0; k < paired; ++k) {
            _mm256_store_si256(at(work.end_at, first + k), _mm256_and_si256(states[k].at, splat(0x0F)));
            _mm256_store_si256(at(work.end_count, first + k), _mm256_sub_epi8(states[k].last_row, splat(unit_bytes - 1)));
            _mm256_store_si256(at(work.end_class, first + k), states[k].return_class);
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

// A 32 x 32 bit transpose: bit u of rows[i] becomes bit i of masks[u].
// Each byte of the rows' words gathered into a vector of its own, in row
// order (vector b, byte i: row i's byte b, that is units 8b-8b+7), a shift
// brings unit 8b + k's bit of every row to bit 7 of its byte, where one
// movemask takes all 32.
TOLVARIN_SHUFFLE_TARGET inline void transpose_pads(const std::uint32_t (&rows)[unit_bytes], std::uint32_t* masks) {
    // Within each 128-bit half, four rows' words become four words of one
    // byte each: word b, the four rows' byte b.
    const __m256i bytes_by_word = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 0, 4, 8, 12, 1,
                                                   5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    __m256i quads[4];  // quads[q]: rows 8q-8q+3 in the low half, 8q+4-8q+7 in the high
    for (unsigned q = 0; q < 4; ++q) {
        quads[q] = _mm256_shuffle_epi8(_mm256_load_si256(reinterpret_cast<const __m256i*>(rows + 8 * q)), bytes_by_word);
    }
    // Words of rows 0-3, 8-11, 16-19, 24-27 in the low half, the others in
    // the high: put back in row order.
    const __m256i row_order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256i low01 = _mm256_unpacklo_epi32(quads[0], quads[1]);
    const __m256i high01 = _mm256_unpackhi_epi32(quads[0], quads[1]);
    const __m256i low23 = _mm256_unpacklo_epi32(quads[2], quads[3]);
    const __m256i high23 = _mm256_unpackhi_epi32(quads[2], quads[3]);
    const __m256i by_byte[4] = {_mm256_permutevar8x32_epi32(_mm256_unpacklo_epi64(low01, low23), row_order),
                                _mm256_permutevar8x32_epi32(_mm256_unpackhi_epi64(low01, low23), row_order),
                                _mm256_permutevar8x32_epi32(_mm256_unpacklo_epi64(high01, high23), row_order),
                                _mm256_permutevar8x32_epi32(_mm256_unpackhi_epi64(high01, high23), row_order)};
    for (unsigned b = 0; b < 4; ++b) {
        const __m256i v = by_byte[b];
        masks[8 * b + 7] = static_cast<std::uint32_t>(_mm256_movemask_epi8(v));
        masks[8 * b + 6] = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_slli_epi16(v, 1)));
        masks[8 * b + 5] = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_slli_epi16(v, 2)));
        masks[8 * b + 4] = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_slli_epi16(v, 3)));
        masks[8 * b + 3] = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_slli_epi16(v, 4)));
        masks[8 * b + 2] = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_slli_epi16(v, 5)));
        masks[8 * b + 1] = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_slli_epi16(v, 6)));
        masks[8 * b + 0] = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_slli_epi16(v, 7)));
    }
}

// Which units' guesses agree with the end the last pass left in the unit
// before (states compared as same_as does), and each unit's pads and
// escapes from the last pass's entries.
TOLVARIN_SHUFFLE_TARGET void record_results(const shuffle_tables& tables, shuffle_stretch& work,
                                            const machine_state& start) {
    alignas(32) std::uint8_t before_at[stretch_units];
    alignas(32) std::uint8_t before_count[stretch_units];
    alignas(32) std::uint8_t before_class[stretch_units];
    shift_ends(work, before_at, before_count, before_class, start);
    for (unsigned word = 0; word < mask_words; ++word) {
        work.guessed_in_step[word] = 0;
        work.escapes[word] = 0;
    }
    for (unsigned block = 0; block < blocks; ++block) {
        const unsigned first = units_per_vector * block;
        const __m256i at = load_32(work.guess_at + first);
        const __m256i counting = _mm256_cmpeq_epi8(at, splat(meta_counted));
        const __m256i in_meta = _mm256_shuffle_epi8(tables.in_meta, at);
        const __m256i same_count = _mm256_or_si256(_mm256_andnot_si256(counting, splat(0xFF)),
                                                   _mm256_cmpeq_epi8(load_32(work.guess_count + first), load_32(before_count + first)));
        const __m256i same_class = _mm256_or_si256(_mm256_andnot_si256(in_meta, splat(0xFF)),
                                                   _mm256_cmpeq_epi8(load_32(work.guess_class + first), load_32(before_class + first)));
        const __m256i same = _mm256_and_si256(_mm256_cmpeq_epi8(at, load_32(before_at + first)),
                                              _mm256_and_si256(same_count, same_class));
        std::uint64_t agree = static_cast<std::uint32_t>(_mm256_movemask_epi8(same));
        if (block == 0) agree |= 1;  // the true start
        // Bit u of row i's word: unit u's pad behind byte i; and the
        // entries ORed, for the units that met an escape.
        alignas(32) std::uint32_t rows[unit_bytes];
        __m256i met = _mm256_setzero_si256();
        for (unsigned i = 0; i < unit_bytes; ++i) {
            const __m256i entry = load_32(work.entries[block][i]);
            rows[i] = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_slli_epi16(entry, 1)));
            met = _mm256_or_si256(met, entry);
        }
        const std::uint64_t escapes = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_slli_epi16(met, 2)));
        transpose_pads(rows, work.pad_masks + first);
        const unsigned shift = (block * units_per_vector) % mask_units;
        work.guessed_in_step[block * units_per_vector / mask_units] |= agree << shift;
        work.escapes[block * units_per_vector / mask_units] |= escapes << shift;
    }
}

// The first pass's guess of where each unit starts within an event, from
// its first four bytes (first_guess in stretch_walk.hpp, a vector of units at a time).
TOLVARIN_SHUFFLE_TARGET void first_guesses(shuffle_stretch& work, std::uint8_t boundary) {
    for (unsigned block = 0; block < blocks; ++block) {
        // A byte's keeps have bit 7 set where it is 0x80 or more, and the
        // blends look at bit 7 alone.
        const __m256i high0 = load_32(work.keeps[block][0]);
        const __m256i high1 = load_32(work.keeps[block][1]);
        const __m256i high2 = load_32(work.keeps[block][2]);
        const __m256i high3 = load_32(work.keeps[block][3]);
        const __m256i high01 = _mm256_or_si256(high0, high1);
        const __m256i last_data = _mm256_andnot_si256(high01, high2);
        const __m256i two_data = _mm256_andnot_si256(_mm256_or_si256(high01, high2), high3);
        __m256i guess = _mm256_blendv_epi8(splat(boundary), splat(boundary + status_none), high0);
        guess = _mm256_blendv_epi8(guess, splat(last_of_two), last_data);
        guess = _mm256_blendv_epi8(guess, splat(first_of_two), two_data);
        _mm256_store_si256(reinterpret_cast<__m256i*>(work.guess_at + units_per_vector * block), guess);
    }
}

TOLVARIN_SHUFFLE_TARGET void guess_units(const shuffle_tables& tables, shuffle_stretch& work, const machine_state& start) {
    const std::uint8_t boundary = at_boundary(static_cast<running_class>(start.at <= delta_one ? start.at : 0)).at;
    first_guesses(work, boundary);
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
TOLVARIN_SHUFFLE_TARGET inline std::uint8_t* expand_unit(std::uint8_t* out, const std::uint8_t* in, std::uint32_t pads) {
    for (unsigned eighth = 0; eighth < unit_bytes / 8; ++eighth) {
        const unsigned these = (pads >> (8 * eighth)) & 0xFF;
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + 8 * eighth));
        const __m128i spread = _mm_shuffle_epi8(bytes, _mm_loadu_si128(reinterpret_cast<const __m128i*>(expansions[these].data())));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), spread);
        out += 8 + static_cast<unsigned>(_mm_popcnt_u32(these));
    }
    return out;
}

struct shuffle_engine {
    shuffle_tables tables;
    shuffle_stretch work;

    TOLVARIN_SHUFFLE_TARGET void load(const std::uint8_t* from) { load_stretch(from, work); }
    TOLVARIN_SHUFFLE_TARGET const stretch_guesses& guess(const machine_state& start) {
        guess_units(tables, work, start);
        return work;
    }
    TOLVARIN_SHUFFLE_TARGET static std::uint8_t* expand(std::uint8_t* out, const std::uint8_t* in, std::uint32_t pads) {
        return expand_unit(out, in, pads);
    }
    // The pass's state behind byte i is its entry's next state, unless the
    // entry returns (then it is the return class) or is inside a meta event
    // (where the count and the class matter too).
    bool joins_pass(unsigned unit, unsigned i, const machine_state& truth) const {
        const unsigned next = work.entries[unit / units_per_vector][i][unit % units_per_vector] & 0x0F;
        return next == truth.at && (next < meta_type || next > meta_counted);
    }
    // Worked out for the few units stepped through that meet the pass again.
    std::uint32_t escape_mask(unsigned unit) const {
        if (((work.escapes[unit / mask_units] >> (unit % mask_units)) & 1) == 0) return 0;
        std::uint32_t mask = 0;
        for (unsigned i = 0; i < unit_bytes; ++i) {
            const std::uint8_t entry = work.entries[unit / units_per_vector][i][unit % units_per_vector];
            mask |= static_cast<std::uint32_t>((entry & pass_escape) != 0) << i;
        }
        return mask;
    }
};

#endif

}  // namespace

#ifdef TOLVARIN_X86_ENGINES

bool shuffle_engine_available() { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt"); }

TOLVARIN_SHUFFLE_TARGET std::size_t shuffle_engine_translate(byte_view image, event_cursor& cursor, std::uint32_t stop,
                                                             std::span<std::uint8_t> room, bool& poor) {
    // The stretch's work is left as it is: each stretch fills what it reads.
    shuffle_engine machine;
    machine.tables = load_tables();
    return walk_stretches(machine, image, cursor, stop, room, poor);
}

#endif

}  // namespace tolvarin::machine
