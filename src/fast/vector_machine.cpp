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
#include "fast/vector_passes.hpp"
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

namespace {

using namespace vector_level;

// A unit's output: its bytes, a zero behind each padded one. The output byte
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
