// The vector level's loads (vector_machine.cpp): a stretch's 4 KiB
// transposed so that one vector holds the same byte of 64 units, with each
// byte's category and class mask worked out once for every pass. Included
// by vector_machine.cpp alone, which compiles it for AVX-512.
#pragma once

#include <array>
#include <cstdint>
#include <utility>

#include <immintrin.h>

#include "fast/state_machine.hpp"
#include "fast/stretch_walk.hpp"

#define TOLVARIN_VECTOR_TARGET \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,bmi,bmi2,popcnt")))

// Internal to the one file that includes it, so that the compiler may
// inline as it would within that file.
namespace tolvarin::machine::vector_level {
namespace {

constexpr unsigned units_per_vector = 64;                  // units side by side in one vector
constexpr unsigned blocks = 2;                  // vectors moved on together, for their latencies to overlap
constexpr unsigned units = blocks * units_per_vector;      // 128 units of 32 bytes: 4 KiB
constexpr unsigned passes = 4;
static_assert(units == stretch_units);

// One stretch: its bytes transposed (one row per byte of a unit, one column
// per unit), their categories and class masks, and the last pass's results.
struct stretch : stretch_guesses {
    alignas(64) std::uint8_t bytes[blocks][unit_bytes][units_per_vector];
    alignas(64) std::uint8_t categories[blocks][unit_bytes][units_per_vector];
    alignas(64) std::uint8_t class_keeps[blocks][unit_bytes][units_per_vector];
    std::uint64_t zero_bytes[blocks][unit_bytes];  // bit u: unit u's byte is 0 (a length of nothing)
    std::uint64_t bare_types[blocks][unit_bytes];  // bit u: as a meta type, unit u's byte has nothing behind it
    alignas(64) std::uint8_t flags[units];         // the OR of every entry met: bit 6, an escape
};
static_assert(units_per_vector == mask_units && blocks == mask_words);

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
    for (unsigned vec = 0; vec < 4; ++vec) {
        keep[16 * vec + keep_count] = 0xFF;
        keep[16 * vec + count_down] = 0xFF;
        add[16 * vec + count_down] = 0xFF;
        take[16 * vec + count_byte] = 0xFF;
        add[16 * vec + count_four] = 4;
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

}  // namespace
}  // namespace tolvarin::machine::vector_level
