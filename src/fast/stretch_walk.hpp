// The walk over a stretch's units in order, shared by every level that
// runs the state machine over units side by side (vector_machine.*): each
// level's engine guesses every unit's start state, steps the units from
// their guesses and reports, per unit, the guess, the end state, the pads
// and whether it met an escape. The walk then checks the guesses against
// the true state unit after unit, works a wrong one out again, writes the
// output and finds the boundary the stretches end on. The engines differ
// only in how wide their vectors are; what they report, and so every byte
// written, is the same.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "fast/fast_translate.hpp"
#include "fast/state_machine.hpp"
#include "fast/vector_machine.hpp"

namespace tolvarin::machine {

inline constexpr unsigned stretch_units = stretch_bytes / unit_bytes;  // 128
// The per-unit bit masks below hold 64 units each.
inline constexpr unsigned mask_units = 64;
inline constexpr unsigned mask_words = stretch_units / mask_units;

// What an engine reports about one stretch, from the last of its passes.
struct stretch_guesses {
    alignas(64) std::uint8_t guess_at[stretch_units];
    alignas(64) std::uint8_t guess_count[stretch_units];
    alignas(64) std::uint8_t guess_class[stretch_units];
    alignas(64) std::uint8_t end_at[stretch_units];
    alignas(64) std::uint8_t end_count[stretch_units];
    alignas(64) std::uint8_t end_class[stretch_units];
    alignas(64) std::uint32_t pad_masks[stretch_units];  // bit j: a pad behind byte j
    // Bit u: unit u's guess was the state the last pass left at the end of
    // the unit before (so it is right when that unit's guess was); the first
    // unit's guess is the true start.
    std::uint64_t guessed_in_step[mask_words];
    std::uint64_t escapes[mask_words];     // bit u: the last pass met an escape in unit u
    std::uint64_t high_units[mask_words];  // bit u: unit u has a byte of 0x80 or more
};

// The engines: on 64-bit x86, written with GCC's and clang's target
// attributes, the vector level's (vector_machine.cpp: AVX-512) and the
// shuffle level's (shuffle_machine.cpp: AVX2), each where the processor has
// what it needs; on 64-bit Arm (NEON) and in WebAssembly with its 128-bit
// vectors, the shuffle level's (shuffle_machine_16.cpp), always there.
// Elsewhere no level takes stretches. translate_stretches picks one by the
// level.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TOLVARIN_X86_ENGINES 1
#define TOLVARIN_STRETCH_ENGINES 1
#elif (defined(__aarch64__) && defined(__ARM_NEON) && defined(__ORDER_LITTLE_ENDIAN__) && \
       __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) ||                                        \
    defined(__wasm_simd128__)
#define TOLVARIN_SHUFFLE_16_ENGINE 1
#define TOLVARIN_STRETCH_ENGINES 1
#endif

#ifdef TOLVARIN_X86_ENGINES
bool vector_engine_available();
std::size_t vector_engine_translate(byte_view image, event_cursor& cursor, std::uint32_t stop,
                                    std::span<std::uint8_t> room, bool& poor);
#endif
#ifdef TOLVARIN_STRETCH_ENGINES
bool shuffle_engine_available();
std::size_t shuffle_engine_translate(byte_view image, event_cursor& cursor, std::uint32_t stop,
                                     std::span<std::uint8_t> room, bool& poor);
#endif

// The first guess. Every unit but the first starts its first pass from a
// guess of where it stands within an event, taken from its first four
// bytes: a byte of 0x80 or more behind one below 0x80 is taken for a status
// behind a one-byte delta time, as most are. So a unit whose byte 0 is of
// 0x80 or more starts in the status state of the class; one whose byte 1
// is starts at a delta time; byte 2, behind the last data byte of an event;
// byte 3, behind the first of two. Any other unit starts at a delta time of
// the class. Without it, a stream whose every event has its status (note
// offs and pitch bends, say) can be read a byte or two out of phase for good
// (the status as the first byte of a two-byte delta time, a data byte as a
// running event's), in which no later pass brings a unit back. A guess is
// never trusted before the walk checks it, so it decides speed alone.
// `high_j`: the unit's byte j is 0x80 or more; `boundary`, the delta state
// of the class.
constexpr std::uint8_t first_guess(bool high0, bool high1, bool high2, bool high3, std::uint8_t boundary) {
    if (high0) return static_cast<std::uint8_t>(boundary + status_none);
    if (high1) return boundary;
    if (high2) return last_of_two;
    if (high3) return first_of_two;
    return boundary;
}

// A stretch costs about as much as a dozen units stepped through one byte
// at a time: more than that many to a stretch, and the event-by-event path
// is faster.
constexpr unsigned poor_stepped_units = 12;
// A stretch with more than two dozen units whose guess is not the end the
// last pass left in the unit before is not walked at all: the walk would
// check each against the true state and step through most. Streams the
// engines take well have a dozen or so such units to a stretch at most;
// dense meta events have thirty and more from the first stretch on.
constexpr unsigned poor_out_of_step_units = 2 * poor_stepped_units;

// The first `taken` units of a stretch whose guesses are out of step.
inline unsigned units_out_of_step(const stretch_guesses& work, unsigned taken) {
    unsigned count = 0;
    for (unsigned word = 0; word < mask_words && word * mask_units < taken; ++word) {
        const unsigned units = std::min(taken - word * mask_units, mask_units);
        const std::uint64_t within = units == mask_units ? ~std::uint64_t{0} : (std::uint64_t{1} << units) - 1;
        count += static_cast<unsigned>(std::popcount(~work.guessed_in_step[word] & within));
    }
    return count;
}

// Where a unit starts: its position, its true state, and where its output goes.
struct unit_start {
    std::uint32_t position;
    machine_state state;
    std::uint8_t* out;
};

// The last event boundary met while stepping, and the output written before it.
struct boundary_mark {
    std::uint32_t position = 0;
    std::uint8_t running = 0;
    std::uint8_t* out = nullptr;
    bool met = false;
};

// The furthest one step-by-step walk goes: from inside one event to the next
// boundary (a meta event of 255 counted bytes is the longest), or across a
// unit to an escape.
constexpr std::uint32_t step_reach = 512;

// Steps one byte at a time from `from` to the machine's next escape, or to
// the first boundary at or past `until`, writing the output. Returns the last
// boundary met. Reads no further than step_reach bytes, nor past the image.
[[gnu::noinline]] inline boundary_mark step_to_escape(byte_view image, unit_start from, std::uint32_t until, bool& escaped) {
    boundary_mark mark;
    machine_state state = from.state;
    std::uint8_t* out = from.out;
    escaped = false;
    const std::uint64_t reach = std::min<std::uint64_t>(image.size(), std::uint64_t{from.position} + step_reach);
    for (std::uint32_t position = from.position; position < reach; ++position) {
        if (is_boundary(state, image[position])) {
            mark = {position, static_cast<std::uint8_t>(boundary_class(state)), out, true};
            if (position >= until) return mark;
        }
        const machine_step_result step = machine_step(state, image[position]);
        if (step.escape) {
            escaped = true;
            return mark;
        }
        *out++ = image[position];
        if (step.pad) *out++ = 0;
        state = step.next;
    }
    return mark;
}


// The walk over one stretch's units in order, from `place`: the state the
// walk carries from unit to unit and from stretch to stretch.
struct walk_place {
    std::uint32_t position;  // the stretch's first byte
    std::uint8_t* out;
    machine_state truth;     // the true state at the next unit, unless last_right says where it is
    unit_start last;         // the last unit translated, for a step back at an escape
    boundary_mark mark;      // where the walk stops, once escaped
    bool escaped = false;
};

// The state the pass left at the end of a unit.
inline machine_state end_state(const stretch_guesses& work, unsigned unit) {
    return {work.end_at[unit], work.end_count[unit], work.end_class[unit]};
}

inline machine_state guessed_state(const stretch_guesses& work, unsigned unit) {
    return {work.guess_at[unit], work.guess_count[unit], work.guess_class[unit]};
}

// The common case: from `unit`, a run of units whose guesses are right
// because the one before's was, none of them escaping, written out as the
// pass found them. Returns the units written (none when the next unit's
// guess did not follow from the one before's).
template <class engine>
[[gnu::always_inline]] inline unsigned write_trusted_run(engine& machine, const std::uint8_t* base,
                                                         const stretch_guesses& work, unsigned unit, unsigned taken,
                                                         walk_place& place) {
    const unsigned bit = unit % mask_units;
    const std::uint64_t clean = (work.guessed_in_step[unit / mask_units] & ~work.escapes[unit / mask_units]) >> bit;
    const auto run = std::min(static_cast<unsigned>(std::countr_one(clean)), taken - unit);
    if (run == 0) return 0;
    const unsigned end = unit + run;
    std::uint8_t* before_last = place.out;
    for (; unit < end; ++unit) {
        before_last = place.out;
        place.out = machine.expand(place.out, base + place.position + unit * unit_bytes, work.pad_masks[unit]);
    }
    place.last = {place.position + (end - 1) * unit_bytes, guessed_state(work, end - 1), before_last};
    return run;
}

// What the walk takes for one unit: its pads, whether it escapes.
struct unit_outcome {
    std::uint32_t pads = 0;
    bool escapes = false;
};

// A unit guessed wrong, from the true state: stepped through one byte at a
// time until the true state is the one the pass had there (then the rest of
// the unit is as the pass found it). Leaves `truth` at the unit's end.
template <class engine>
[[gnu::always_inline]] inline unit_outcome step_unit(const engine& machine, const std::uint8_t* in,
                                                     const stretch_guesses& work, unsigned unit,
                                                     machine_state& truth) {
    unit_outcome outcome;
    bool joined = false;
    // Stepped in a local: the bytes read may be any object's as far as the
    // compiler knows, so a state kept behind a reference goes to memory at
    // every byte and comes back in a wider load than its stores.
    machine_state state = truth;
    for (unsigned i = 0; i < unit_bytes && !outcome.escapes && !joined; ++i) {
        const machine_step_result step = machine_step(state, in[i]);
        outcome.pads |= static_cast<std::uint32_t>(step.pad) << i;
        outcome.escapes = step.escape;
        state = step.next;
        if (!outcome.escapes && i + 1 < unit_bytes && machine.joins_pass(unit, i, state)) {
            joined = true;
            const std::uint32_t rest = ~std::uint32_t{0} << (i + 1);
            outcome.pads |= work.pad_masks[unit] & rest;
            outcome.escapes = (machine.escape_mask(unit) & rest) != 0;
            state = end_state(work, unit);
        }
    }
    truth = state;
    return outcome;
}

// The boundary to stop on at an escape met in the unit from `start`: the
// escaping event's boundary is at most three bytes back, so from this
// unit's start, or the one before's when it is not in this unit.
inline boundary_mark escape_boundary(byte_view image, const unit_start& start, const unit_start& last,
                                     const boundary_mark& nothing) {
    bool escaped = false;
    boundary_mark mark = step_to_escape(image, start, ~std::uint32_t{0}, escaped);
    if (!mark.met) mark = step_to_escape(image, last, ~std::uint32_t{0}, escaped);
    return mark.met ? mark : nothing;
}

// Walks the first `taken` units of a stretch: a unit's guess is right when
// it agrees with the end of the unit before and that unit's guess was right;
// otherwise it is checked against the true state, and the unit translated
// again if wrong. Returns the units translated again.
template <class engine>
[[gnu::always_inline]] inline unsigned walk_units(engine& machine, byte_view image, const stretch_guesses& work,
                                                  unsigned taken, walk_place& place, const boundary_mark& nothing) {
    const std::uint8_t* const base = image.data();
    bool trusted = true;
    unsigned last_right = stretch_units;  // the unit whose end is the true state, if it came from the pass
    unsigned stepped = 0;
    for (unsigned unit = 0; unit < taken;) {
        const unsigned block = unit / mask_units;
        const unsigned bit = unit % mask_units;
        if (trusted) {
            const unsigned run = write_trusted_run(machine, base, work, unit, taken, place);
            if (run > 0) {
                unit += run;
                last_right = unit - 1;
                continue;
            }
        }
        if (last_right != stretch_units) {
            place.truth = end_state(work, last_right);
            last_right = stretch_units;
        }
        const unit_start start{place.position + unit * unit_bytes, place.truth, place.out};
        bool right = (work.guessed_in_step[block] >> bit) & 1;
        if (!trusted) right = guessed_state(work, unit).same_as(place.truth);
        unit_outcome outcome;
        if (right) {
            outcome = {work.pad_masks[unit], static_cast<bool>((work.escapes[block] >> bit) & 1)};
            last_right = unit;
        } else if (!skip_unit(place.truth, (work.high_units[block] >> bit) & 1, outcome.pads)) {
            ++stepped;
            outcome = step_unit(machine, base + start.position, work, unit, place.truth);
        }
        trusted = right;
        if (outcome.escapes) {
            place.mark = escape_boundary(image, start, place.last, nothing);
            place.escaped = true;
            break;
        }
        place.last = start;
        place.out = machine.expand(place.out, base + start.position, outcome.pads);
        ++unit;
    }
    if (last_right != stretch_units) place.truth = end_state(work, last_right);
    return stepped;
}

// Past the last stretch: on to the next boundary, unless an escape comes
// first: then back to the boundary before it.
inline boundary_mark next_boundary(byte_view image, const walk_place& place, const boundary_mark& nothing) {
    const unit_start here{place.position, place.truth, place.out};
    bool stopped_by_escape = false;
    boundary_mark mark = step_to_escape(image, here, place.position, stopped_by_escape);
    if (stopped_by_escape) {
        mark = step_to_escape(image, here, ~std::uint32_t{0}, stopped_by_escape);
        if (!mark.met) mark = step_to_escape(image, place.last, ~std::uint32_t{0}, stopped_by_escape);
    }
    return mark.met ? mark : nothing;
}

// The walk itself: translate_stretches (vector_machine.hpp) with the
// engine's guesses. `machine.load(from)` reads the stretch_bytes at `from`,
// and `machine.guess(start)` returns its report; `machine.expand(out, in,
// pads)` writes a unit's 32 bytes with a zero behind each padded one (it may
// write up to 64 bytes past them) and returns the end of what it wrote. An
// engine that keeps the last pass's state behind each byte says, with
// `machine.joins_pass(unit, i, truth)`, whether the true state behind byte
// i of a unit guessed wrong is the pass's, where nothing but the state
// decides the rest (outside a meta event); `machine.escape_mask(unit)` has
// bit j set where the pass met an escape at byte j.
template <class engine>
[[gnu::always_inline]] inline std::size_t walk_stretches(engine& machine, byte_view image, event_cursor& cursor,
                                                         std::uint32_t stop, std::span<std::uint8_t> room,
                                                         bool& poor) {
    const std::uint8_t* const base = image.data();
    std::uint8_t* const out_begin = room.data();
    const machine_state start = at_boundary(cursor.running);
    walk_place place{cursor.position, out_begin, start, {cursor.position, start, out_begin}, {}, false};
    // A stretch is taken while a whole unit lies before the stop and the
    // stretch, with its margin, within the image; the units from the stop on
    // are left out of the output.
    const auto fits = [&] {
        return !cursor.finished && std::uint64_t{place.position} + unit_bytes <= stop &&
               std::uint64_t{place.position} + stretch_bytes + stretch_input_margin <= image.size() &&
               static_cast<std::size_t>(room.data() + room.size() - place.out) >= stretch_room_needed;
    };
    poor = false;
    if (!fits()) return 0;
    // The cursor's own boundary: nothing written, should no later one be found.
    const boundary_mark nothing{cursor.position, static_cast<std::uint8_t>(cursor.running), out_begin, true};
    unsigned stretches = 0;
    unsigned all_stepped = 0;
    while (fits()) {
        machine.load(base + place.position);
        // The next stretch starts on another page, where the processor's
        // own prefetching stops: ask for it while this one is worked on.
        if (std::uint64_t{place.position} + 2 * stretch_bytes <= image.size()) {
            for (std::size_t line = 0; line < stretch_bytes; line += 64) {
                __builtin_prefetch(base + place.position + stretch_bytes + line);
            }
        }
        const stretch_guesses& work = machine.guess(place.truth);
        const auto taken = static_cast<unsigned>(
            std::min<std::uint64_t>(stretch_units, (std::uint64_t{stop} - place.position) / unit_bytes));
        if (units_out_of_step(work, taken) > poor_out_of_step_units) {
            poor = true;
            break;
        }
        const unsigned stepped = walk_units(machine, image, work, taken, place, nothing);
        if (place.escaped) break;
        place.position += taken * unit_bytes;
        ++stretches;
        all_stepped += stepped;
        if (stepped > stretch_units / 4) {
            poor = true;
            break;
        }
    }
    if (all_stepped > poor_stepped_units * stretches) poor = true;
    const boundary_mark mark = place.escaped ? place.mark : next_boundary(image, place, nothing);
    cursor.position = mark.position;
    cursor.running = static_cast<running_class>(mark.running);
    return static_cast<std::size_t>(mark.out - out_begin);
}

}  // namespace tolvarin::machine
