// The bytes a translation reads: the image itself, or a copy of part of it
// that the caller's image_reader gave (the pipeline keeps room for one copy
// per thread, and reuses it). A copy holds the image's bytes from `first`
// on. Its operations take and give image positions, so that nothing outside
// it moves a position between a copy and the image.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "fast/fast_translate.hpp"

namespace tolvarin {

struct image_copy {
    byte_view bytes;
    std::uint32_t first = 0;  // the image position of bytes[0]
    std::uint64_t image_size = 0;

    // The image itself: every translation on it is the image's.
    static image_copy whole(byte_view image) { return {image, 0, image.size()}; }

    // Where a copy from `from` ends that is to hold the events starting
    // before `upto`: `beyond` bytes past it (an event is a few hundred bytes
    // at most, but for delta times of many bytes, which only hostile files
    // have), and no further than the image's end or `room` bytes.
    static std::uint32_t end_for(std::uint32_t from, std::uint64_t upto, std::uint32_t beyond,
                                 std::uint64_t image_size, std::size_t room) {
        return static_cast<std::uint32_t>(std::min<std::uint64_t>({upto + beyond, image_size, std::uint64_t{from} + room}));
    }

    // The image position just behind the copy's last byte.
    std::uint32_t end() const { return static_cast<std::uint32_t>(first + bytes.size()); }

    // Whether a translation on the copy that stopped at `position` is the
    // image's: one that ran to the copy's end may have met the end of its
    // bytes inside an event, unless the image ends there too.
    bool holds(std::uint32_t position) const { return position < end() || end() == image_size; }

    // translate_events (fast_translate.hpp) over the copy's bytes, the
    // cursor and the stop in image positions (the stop at or past first).
    std::size_t translate(event_cursor& cursor, std::uint32_t stop, std::span<std::uint8_t> out,
                          wide_level level) const {
        event_cursor in_copy = cursor;
        in_copy.position -= first;
        const std::size_t written = translate_events(bytes, in_copy, stop - first, out, level);
        cursor = in_copy;
        cursor.position += first;
        return written;
    }
};

}  // namespace tolvarin
