#include "fast/fast_translate.hpp"

#include <algorithm>

#include "fast/fast_step.hpp"
#include "fast/vector_machine.hpp"

namespace tolvarin {

namespace fast {

wide_result wide_system_event(lane& at, const std::uint8_t* end) {
    const std::uint8_t* const in = at.in;
    if (in[0] >= 0x80 && in[1] >= 0x80) {
        // One byte of a long delta time; the rest of it continues as an
        // event start would.
        *at.out++ = *at.in++;
        return wide_result::next;
    }
    const std::size_t delta = 1u + (in[0] >> 7);
    const std::uint8_t* const status = in + delta;
    if (status[0] < 0x80) {
        at.row = at.guess_row;
        at.guessed = true;
        return wide_result::next;
    }
    const meta_kind kind = meta_kinds[status[1]];
    std::size_t length = delta;
    switch (kind) {
        case meta_kind::bare: length += 2; break;
        case meta_kind::length_prefixed: length += 3u + status[2]; break;
        case meta_kind::end_of_track: length += 3; break;
        case meta_kind::tempo: length += 6; break;
    }
    if (length > static_cast<std::size_t>(end - in)) return wide_result::careful;
    std::size_t written = length;
    if (length <= 64) {
        // Most meta events are short: one fixed copy, with no branch on their length.
        for (unsigned block = 0; block < 4; ++block) copy_16(at.out + 16 * block, in + 16 * block);
    } else if (kind == meta_kind::length_prefixed && status[2] >= 0x80) {
        // A length of 128 or more becomes a two-byte variable-length quantity.
        const std::size_t head = delta + 2;
        std::memcpy(at.out, in, head);
        write_length(status[2], at.out + head);
        std::memcpy(at.out + head + 2, in + head + 1, status[2]);
        written = length + 1;
    } else {
        std::memcpy(at.out, in, length);
    }
    at.in += length;
    at.out += written;
    if (status[0] < 0xF8) at.row = fast::class_row(no_running);
    return kind == meta_kind::end_of_track ? wide_result::end_of_track : wide_result::next;
}

}  // namespace fast

wide_level best_wide_level() {
#if defined(__wasm__)
    // In WebAssembly the shuffle level, 16 units to a vector and each
    // lookup and select lowered to several of the host's instructions,
    // translates one cursor faster than the portable level, but a
    // conversion on one thread, as the page's is, slower than the portable
    // level's four chunks interleaved: it is there to be forced, not chosen.
    return wide_level::portable;
#endif
    for (const wide_level level : {wide_level::vector, wide_level::shuffle}) {
        if (machine::stretch_level_available(level)) return level;
    }
    return wide_level::portable;
}

event_cursor open_track(byte_view image, std::uint32_t first_event, std::uint8_t*& out) {
    event_cursor cursor;
    std::uint32_t position = first_event;
    cursor.finished = !make_opening_offer(image, position, out);
    cursor.position = position;
    return cursor;
}

namespace {

// One call's translation: the image, where it stops, and the room.
struct translation {
    byte_view image;
    std::uint32_t stop;
    const std::uint8_t* stop_at;  // the stop within the image
    std::uint8_t* out_begin;
    std::uint8_t* out_end;
    wide_level level;
    bool* poor;
    // Stretches are taken from positions up to here; none when null.
    const std::uint8_t* stretches_end;

    std::size_t room_left(const fast::lane& at) const { return static_cast<std::size_t>(out_end - at.out); }
};

// Stretches where they can be had: enough of one before the stop, and its
// input margin before the end of the image.
const std::uint8_t* stretches_limit(byte_view image, const std::uint8_t* stop_at, wide_level level) {
    const std::uint8_t* const base = image.data();
    if (!takes_stretches(level) || stop_at - base < static_cast<std::ptrdiff_t>(machine::least_stretch_bytes) ||
        image.size() < machine::stretch_bytes + machine::stretch_input_margin) {
        return nullptr;
    }
    return std::min(stop_at - machine::least_stretch_bytes,
                    base + image.size() - machine::stretch_bytes - machine::stretch_input_margin);
}

enum class taken : std::uint8_t { moved, none, stop };

// Whole stretches from `at`: moved when they wrote something; stop when only
// the room is short of a stretch (the caller's next room serves better than
// events one at a time).
taken take_stretches(translation& call, fast::lane& at) {
    const std::uint8_t* const base = call.image.data();
    if (call.room_left(at) < machine::stretch_room_needed && at.out > call.out_begin) return taken::stop;
    event_cursor here{static_cast<std::uint32_t>(at.in - base), fast::lane_class(at), false};
    bool stretches_poor = false;
    const std::size_t written =
        machine::translate_stretches(call.image, here, call.stop, {at.out, call.room_left(at)}, stretches_poor, call.level);
    if (stretches_poor) {
        call.stretches_end = nullptr;
        if (call.poor != nullptr) *call.poor = true;
    }
    if (written == 0) return taken::none;
    at.in = base + here.position;
    at.out += written;
    at.row = fast::class_row(here.running);
    return taken::moved;
}

enum class stepped : std::uint8_t { moved, finished, stop };

// One event by the wide step where its margins allow (then a run of
// running events behind it), else by the careful step.
stepped step_event(const translation& call, fast::lane& at) {
    const std::uint8_t* const base = call.image.data();
    const std::uint8_t* const end = base + call.image.size();
    const std::uint8_t* const wide_end = fast::wide_limit(call.image);
    if (at.in < wide_end && call.room_left(at) >= fast::output_margin) {
        const fast::wide_result result = fast::wide_event(at, end);
        if (result == fast::wide_result::next) {
            if (at.in < call.stop_at && at.in < wide_end && call.room_left(at) >= fast::output_margin) {
                fast::wide_run(at, static_cast<std::size_t>(call.stop_at - at.in), end, call.out_end);
            }
            return stepped::moved;
        }
        if (result == fast::wide_result::end_of_track) return stepped::finished;
    }
    if (call.room_left(at) < max_step_output) return stepped::stop;
    auto position = static_cast<std::uint32_t>(at.in - base);
    std::uint8_t remembered = class_status[fast::lane_class(at)];
    const bool goes_on = translate_step(call.image, position, remembered, at.out);
    at.in = base + position;
    at.row = fast::class_row(class_of_status(remembered));
    return goes_on ? stepped::moved : stepped::finished;
}

}  // namespace

std::size_t translate_events(byte_view image, event_cursor& cursor, std::uint32_t stop,
                             std::span<std::uint8_t> room, wide_level level, bool* poor) {
    if (cursor.finished) return 0;
    const std::uint8_t* const base = image.data();
    const std::uint8_t* const end = base + image.size();
    const std::uint8_t* const stop_at = base + std::min<std::size_t>(stop, image.size());
    translation call{image, stop, stop_at, room.data(), room.data() + room.size(), level, poor,
                     stretches_limit(image, stop_at, level)};
    fast::lane at{base + cursor.position, call.out_begin, fast::class_row(cursor.running), 0, false};
    for (;;) {
        if (at.in >= end) {
            cursor.finished = true;
            break;
        }
        if (at.in >= stop_at) break;
        if (call.stretches_end != nullptr && at.in <= call.stretches_end) {
            const taken result = take_stretches(call, at);
            if (result == taken::stop) break;
            if (result == taken::moved) continue;
        }
        const stepped result = step_event(call, at);
        if (result == stepped::stop) break;
        if (result == stepped::finished) {
            cursor.finished = true;
            break;
        }
    }
    cursor.position = static_cast<std::uint32_t>(at.in - base);
    cursor.running = fast::lane_class(at);
    return static_cast<std::size_t>(at.out - call.out_begin);
}

}  // namespace tolvarin
