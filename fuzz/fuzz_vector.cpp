// Fuzz target for the translation of long tracks: the stretch levels (whole
// stretches of 4 KiB side by side, where the processor has them) and the
// portable level's interleaved chunks, both held to the byte-at-a-time
// reference. Those paths only start to work several KiB into a track, longer
// than the inputs a fuzzer likes to grow, so the input is read as a recipe
// for a track rather than as the track:
//   - bytes 0-3 choose the track's length (5-9 KiB), where calls stop, the
//     chunk size and how many chunks go to one speculation;
//   - every further byte adds to the track: one of a set of events (channel
//     events with and without running status, long delta times, texts of
//     any length, tempo changes, system events, an end of track now and
//     then), or, from 0xE0 on, the next 1-32 input bytes as they are;
//   - the recipe is followed again and again, each time a little shifted,
//     until the track is long enough.
// The stretches run at the widest stretch level the processor has, or at the one
// TOLVARIN_FUZZ_LEVEL names ("shuffle", "vector", or the processor's name
// for it: "avx2", "avx512", "neon", "simd128"), so that each level gets its
// runs. Where libFuzzer is not to be had (another architecture under qemu,
// WebAssembly under Node), random_driver.cpp feeds it: scripts/fuzz_emulated.sh.
// Checked on every input: the translation in stretches in one call,
// in calls that stop every few hundred or thousand bytes, and in speculated
// chunks stitched in order, and the portable level's chunks, all give the
// reference's bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "bytes.hpp"
#include "fast/fast_translate.hpp"
#include "fast/guessed_chunks.hpp"
#include "fast/vector_machine.hpp"
#include "model.hpp"

namespace {

using test_support::bytes;

void require(bool condition) {
    if (!condition) std::abort();
}

// The header (16 bytes of container, 22 of a sequence's head) before the track.
constexpr std::uint32_t first_event = 38;

const bytes pieces[] = {
    {0x00, 0x90, 0x3C, 0x40}, {0x3C, 0x40}, {0x05, 0x3E, 0x41}, {0x05, 0x80, 0x3C}, {0x02, 0x3D},
    {0x81, 0x80, 0x00, 0xE0, 0x40}, {0x00, 0xC3, 0x05}, {0x07}, {0x83, 0x82, 0x81, 0x00, 0xB0, 0x07, 0x64},
    {0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20}, {0x00, 0xF0, 0x05, 0x01, 0x02}, {0x00, 0xF7, 0x03, 0x00},
    {0x00, 0xFF, 0x0A}, {0x00, 0xFE}, {0x00, 0xD2, 0x11}, {0x00, 0xA1, 0x3C, 0x10}, {0x81, 0x00, 0x93, 0x3C, 0x40},
    {0x00, 0xFF, 0x58, 0x04, 0x04, 0x02, 0x18, 0x08}, {0x00, 0xE5, 0x00}, {0x01, 0x02, 0x03},
};
// Recipe bytes below text_from choose a piece; from text_from, a meta event
// with a length (text_from itself an end of track); from raw_from, raw bytes.
constexpr std::uint8_t text_from = 0xC0;
constexpr std::uint8_t raw_from = 0xE0;

bytes make_track(const std::uint8_t* recipe, std::size_t size, std::size_t length) {
    bytes track{0x00, 0xC0, 0x01};
    if (size == 0) {
        track.resize(length, 0x40);
        return track;
    }
    for (unsigned round = 0; track.size() < length; ++round) {
        // A recipe that adds nothing (raw bytes with none behind them, ends
        // of track left out) still makes a track.
        track.push_back(static_cast<std::uint8_t>(round % 0x80));
        for (std::size_t at = 0; at < size && track.size() < length; ++at) {
            const std::uint8_t op = recipe[at];
            if (op >= raw_from) {
                const std::size_t count = std::min<std::size_t>(op - raw_from + 1, size - at - 1);
                track.insert(track.end(), recipe + at + 1, recipe + at + 1 + count);
                at += count;
            } else if (op >= text_from) {
                // A meta event of type 01-1F (some with a length, some bare)
                // or an end of track, which is mostly left out; its length
                // byte from the next recipe byte (128 or more takes two
                // bytes in the output), letters behind it.
                const std::uint8_t type = op == text_from ? 0x2F : static_cast<std::uint8_t>(op - text_from);
                const std::uint8_t count = at + 1 < size ? recipe[++at] : 0;
                if (type == 0x2F && (round + at) % 4 != 0) continue;
                track.insert(track.end(), {0x00, 0xFF, type, count});
                for (unsigned i = 0; i < count; ++i) track.push_back(static_cast<std::uint8_t>(0x20 + (i + round) % 0x70));
            } else {
                const bytes& piece = pieces[(op + round) % std::size(pieces)];
                track.insert(track.end(), piece.begin(), piece.end());
            }
        }
    }
    return track;
}

tolvarin::wide_level stretch_level() {
    static const tolvarin::wide_level level = [] {
        const char* const name = std::getenv("TOLVARIN_FUZZ_LEVEL");
        const std::string_view forced = name == nullptr ? "" : name;
        // A level by its own name or by the processor's (avx2, avx512, neon, simd128).
        for (const auto& [candidate, processor] : test_support::stretch_levels()) {
            const bool named = forced == processor ||
                               forced == (candidate == tolvarin::wide_level::shuffle ? "shuffle" : "vector");
            if (named && tolvarin::machine::stretch_level_available(candidate)) return candidate;
        }
        require(forced.empty());  // a level this processor does not have
        // The widest there is, whether or not the conversion would choose it.
        tolvarin::wide_level widest = tolvarin::wide_level::portable;
        for (const auto& [candidate, processor] : test_support::stretch_levels()) {
            if (tolvarin::machine::stretch_level_available(candidate)) widest = std::max(widest, candidate);
        }
        return widest;
    }();
    return level;
}

// The fast translation in calls that each stop at most `stride` bytes on.
bytes translate_in_calls(const bytes& image, std::uint32_t stride, tolvarin::wide_level level) {
    bytes out(tolvarin::max_step_output);
    std::uint8_t* at = out.data();
    tolvarin::event_cursor cursor = tolvarin::open_track(image, first_event, at);
    out.resize(static_cast<std::size_t>(at - out.data()));
    // Kept from call to call: fresh memory for every input costs the fuzzer
    // more than the translations do.
    static bytes block(1 << 16);
    while (!cursor.finished) {
        const std::uint64_t stop = std::uint64_t{cursor.position} + stride;
        const std::uint32_t before = cursor.position;
        const std::size_t written = tolvarin::translate_events(
            image, cursor, static_cast<std::uint32_t>(std::min<std::uint64_t>(stop, UINT32_MAX)), block, level);
        require(written > 0 || cursor.position != before || cursor.finished);
        out.insert(out.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(written));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::size_t length = 5120 + std::size_t{data[0]} * 16;
    const std::uint32_t stride = 256 + std::uint32_t{data[1]} * 24;
    const std::uint32_t chunk_bytes = 1024 + std::uint32_t{data[2]} * 24;
    const std::size_t group = 1 + data[3] % 4;
    const bytes track = make_track(data + 4, size - 4, length);
    const bytes image = test_support::concat({bytes(16, 0), test_support::header_block(), track});
    const bytes expected = test_support::reference_translate(image, first_event);

    const tolvarin::wide_level level = stretch_level();
    require(translate_in_calls(image, UINT32_MAX, level) == expected);
    require(translate_in_calls(image, stride, level) == expected);
    require(test_support::translate_chunked(image, first_event, chunk_bytes, 4, level, group) == expected);
    require(test_support::translate_chunked(image, first_event, chunk_bytes, 1 + data[3] / 64,
                                            tolvarin::wide_level::portable, group) == expected);
    return 0;
}
