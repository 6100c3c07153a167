// Fuzz target over the in-memory converter: container bytes in, every output
// file built in memory, exactly as the driver builds them (header block,
// translated track, patched length). Besides "no crash, no out-of-bounds
// access" it checks, on every input:
//   - at most four outputs;
//   - each output is at least 22 bytes, starts with the sequence's header
//     block (bytes 0-17) and holds its size minus 22, big-endian, in 18-21;
//   - the track is at most 1.5 times the bytes from its start to the end of
//     the image (one output byte per input byte, plus one pad per note-off or
//     pitch-bend data byte);
//   - the track equals the byte-at-a-time reference translation, whatever
//     the room offered per call (which the input's first byte chooses);
//   - the library's conversion (chunked, speculative, threaded) gives every
//     output the same bytes, in order, with the chunk size, interleave width
//     and thread count taken from the container's first bytes (which the
//     format leaves uninterpreted), and with the speculation reading copies
//     through a reader (never asked for bytes past the image's end) when
//     the fourth byte says so, a few bytes past each group;
//   - the C interface hands out the same bytes in pieces, the head last, and
//     the same again with the song split between two sessions (at a place
//     and with a part as long as the input's bytes say);
//   - a song's description stops where the conversion stopped.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <vector>

#include "convert/convert.hpp"
#include "convert/pipeline.hpp"
#include "format/container.hpp"
#include "format/event_stream.hpp"
#include "model.hpp"
#include "tolvarin/tolvarin.h"
#include "tolvarin/tolvarin.hpp"

namespace {

using output = std::vector<std::uint8_t>;

void require(bool condition) {
    if (!condition) std::abort();
}

// An output built by the byte-at-a-time translation, `room` bytes at a time.
output build_output(tolvarin::byte_view image, std::uint32_t position, std::size_t room) {
    output out(image.begin() + position, image.begin() + position + tolvarin::header_block_size);
    output block(room);
    tolvarin::track_state track =
        tolvarin::start_track(position + static_cast<std::uint32_t>(tolvarin::header_block_size));
    while (!track.finished) {
        const std::size_t written = tolvarin::translate_track(image, track, block);
        require(written > 0 || track.finished);
        out.insert(out.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(written));
    }
    const auto length = tolvarin::encode_track_length(static_cast<std::uint32_t>(out.size() - 22));
    std::memcpy(out.data() + tolvarin::track_length_offset, length.data(), length.size());
    return out;
}

// The other side of a split song: the part from `at` on, `size` bytes, its
// track planned to end at `track_end` within it.
struct split_part {
    std::uint32_t at;
    std::uint32_t size;
    std::uint32_t track_end;
};

// At a join: the part translated by a session of its own, and its output
// from where the two met appended to `track` when the session says it can
// be taken.
void join_part(tolvarin_session* session, const std::vector<std::uint8_t>& image, const split_part& split,
               output& track, bool& joined) {
    tolvarin_session* const part = tolvarin_open_part(image.data() + split.at, split.size, split.track_end);
    output part_output;
    int status = 0;
    while ((status = tolvarin_next_piece(part)) == TOLVARIN_TRACK_PIECE) {
        part_output.insert(part_output.end(), tolvarin_piece_data(part), tolvarin_piece_data(part) + tolvarin_piece_size(part));
    }
    require(status == TOLVARIN_DONE);
    const std::uint64_t offset = tolvarin_join_offset(session);
    const int answer = tolvarin_join(session, split.size, part_output.size(), tolvarin_part_end(part));
    require(answer == 0 || answer == 1);
    joined = answer == 1;
    if (joined) track.insert(track.end(), part_output.begin() + static_cast<std::ptrdiff_t>(offset), part_output.end());
    tolvarin_close(part);
}

// The C interface's pieces put together: the track's pieces in order, the
// head last. With `split`, the song is split between this session and a
// part session.
output through_c_interface(tolvarin_session* session, const std::vector<std::uint8_t>& image, std::uint32_t index,
                           const split_part* split) {
    require((split != nullptr ? tolvarin_start_song_split(session, index, split->at)
                              : tolvarin_start_song(session, index)) == TOLVARIN_OK);
    output track;
    output head;
    bool joined = false;
    for (;;) {
        const int status = tolvarin_next_piece(session);
        if (status == TOLVARIN_DONE) break;
        const std::uint8_t* const data = tolvarin_piece_data(session);
        const std::size_t size = tolvarin_piece_size(session);
        if (status == TOLVARIN_TRACK_PIECE) {
            require(head.empty() && !joined && size > 0);
            track.insert(track.end(), data, data + size);
        } else if (status == TOLVARIN_JOIN) {
            require(split != nullptr && !joined);
            join_part(session, image, *split, track, joined);
        } else {
            require(status == TOLVARIN_HEAD_PIECE && size == tolvarin::header_block_size && head.empty());
            head.assign(data, data + size);
        }
    }
    require(tolvarin_output_size(session) == head.size() + track.size());
    head.insert(head.end(), track.begin(), track.end());
    return head;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> image(data, data + size);
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    require(plan.count <= tolvarin::max_songs);
    const std::size_t room = tolvarin::max_step_output + (size > 0 ? data[0] : 0) * 7u;

    std::vector<output> expected;
    for (std::uint32_t index = 0; index < plan.count; ++index) {
        const std::uint32_t position = plan.songs[index].position;
        require(position < size && size - position >= tolvarin::header_block_size);
        const output out = build_output(image, position, room);
        require(out.size() >= 22);
        require(std::memcmp(out.data(), data + position, 18) == 0);
        const std::size_t track = out.size() - 22;
        const std::uint32_t stored = static_cast<std::uint32_t>(out[18]) << 24 |
                                     static_cast<std::uint32_t>(out[19]) << 16 |
                                     static_cast<std::uint32_t>(out[20]) << 8 | out[21];
        require(stored == track);
        const std::size_t available = size - position - 22;
        require(2 * track <= 3 * available);
        require(out.size() <= tolvarin::output_size_bound(plan, index, size));
        const output reference = test_support::reference_translate(image, position + 22);
        require(reference.size() == track && std::equal(reference.begin(), reference.end(), out.begin() + 22));
        expected.push_back(out);
    }
    if (plan.count == 0) return 0;

    struct copying_reader final : tolvarin::image_reader {
        tolvarin::byte_view image;
        bool read(std::uint32_t offset, std::span<std::uint8_t> into) const override {
            require(std::uint64_t{offset} + into.size() <= image.size());
            std::memcpy(into.data(), image.data() + offset, into.size());
            return true;
        }
    } reader;
    reader.image = image;
    tolvarin::conversion_tuning tuning;
    const unsigned a = data[1];
    const unsigned b = data[2];
    tuning.lanes = 1 + a % 4;
    tuning.chunk_bytes = (b & 0x80) != 0 ? 1u << (6 + b % 7) : 1 + b % 48;
    tolvarin::conversion_options options;
    options.threads = a % 16 == 0 ? 2 + b % 3 : 1;
    tuning.threaded_bytes = 0;
    if ((data[3] & 1) != 0) {
        options.reader = &reader;
        tuning.read_beyond = data[3] >> 1;
    }
    tolvarin::memory_outputs outputs;
    require(tolvarin::convert_tuned(image, plan, outputs, options, tuning).status == tolvarin::conversion_status::done);
    require(outputs.count() == plan.count);
    for (std::uint32_t index = 0; index < plan.count; ++index) {
        const tolvarin::byte_view got = outputs.output(index);
        require(std::equal(got.begin(), got.end(), expected[index].begin(), expected[index].end()));
        const tolvarin::song_description description = tolvarin::describe_song(image, plan, index);
        require(description.end_position == outputs.report(index).end_position);
        require(description.events <= got.size());
    }

    tolvarin_session* const session = tolvarin_open(data, size);
    require(session != nullptr && tolvarin_song_count(session) == plan.count);
    const std::uint32_t song = a % plan.count;
    require(through_c_interface(session, image, song, nullptr) == expected[song]);
    // The split anywhere in the track (b chooses where); the part to the
    // image's end or, with data[3]'s bit 1, only up to the track's planned end
    // and b bytes past it, or b bytes in all.
    const std::uint32_t first_event = plan.songs[song].first_event;
    if (first_event < size) {
        const std::uint32_t planned_end = std::max(plan.songs[song].planned_end, first_event);
        const std::uint32_t split = first_event + static_cast<std::uint32_t>(
                                                      (std::uint64_t{planned_end - first_event} * b) / 256);
        if (split < size) {
            const auto left = static_cast<std::uint32_t>(size - split);
            std::uint32_t part_size = left;
            if ((data[3] & 2) != 0) part_size = std::min(left, (a & 1) != 0 ? planned_end - split + b : b);
            const split_part part{split, part_size, std::min(planned_end - split, part_size)};
            require(through_c_interface(session, image, song, &part) == expected[song]);
        }
    }
    tolvarin_close(session);
    return 0;
}
