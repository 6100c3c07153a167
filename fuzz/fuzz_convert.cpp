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
//   - the chunked, speculative, threaded conversion gives every track the
//     same bytes, in order, with the chunk size, interleave width and thread
//     count taken from the container's first bytes (which the format leaves
//     uninterpreted).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <vector>

#include "container.hpp"
#include "event_stream.hpp"
#include "model.hpp"
#include "pipeline.hpp"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

std::vector<std::uint8_t> build_output(tolvarin::byte_view image, std::uint32_t position, std::size_t room) {
    std::vector<std::uint8_t> out(image.begin() + position, image.begin() + position + tolvarin::header_block_size);
    std::vector<std::uint8_t> block(room);
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

struct collected {
    std::vector<std::vector<std::uint8_t>> tracks;
    std::size_t finished = 0;
};

bool collect(void* context, std::size_t index, const std::uint8_t* data, std::size_t size) {
    auto& sink = *static_cast<collected*>(context);
    require(index == sink.finished);
    if (sink.tracks.size() <= index) sink.tracks.resize(index + 1);
    sink.tracks[index].insert(sink.tracks[index].end(), data, data + size);
    return true;
}

bool finish(void* context, std::size_t index) {
    auto& sink = *static_cast<collected*>(context);
    require(index == sink.finished);
    ++sink.finished;
    if (sink.tracks.size() <= index) sink.tracks.resize(index + 1);
    return true;
}

// The conversion as the program runs it, in chunks, on `threads` threads.
std::vector<std::vector<std::uint8_t>> convert(tolvarin::byte_view image, const tolvarin::sequence_list& sequences,
                                               const tolvarin::pipeline_settings& settings) {
    std::vector<tolvarin::pipeline_track> tracks;
    for (std::uint32_t index = 0; index < sequences.count; ++index) {
        std::uint32_t end = static_cast<std::uint32_t>(image.size());
        for (std::uint32_t other = 0; other < sequences.count; ++other) {
            if (sequences.positions[other] > sequences.positions[index]) end = std::min(end, sequences.positions[other]);
        }
        tracks.push_back({sequences.positions[index] + 22, end});
    }
    collected sink;
    const tolvarin::pipeline_sink target{&sink, collect, finish};
    require(tolvarin::run_pipeline(image, tracks, target, settings) == tolvarin::pipeline_result::done);
    require(sink.finished == sequences.count);
    return sink.tracks;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> image(data, data + size);
    const tolvarin::sequence_list sequences = tolvarin::find_sequences(image);
    require(sequences.count <= tolvarin::max_sequences);
    const std::size_t room = tolvarin::max_step_output + (size > 0 ? data[0] : 0) * 7u;

    for (std::uint32_t index = 0; index < sequences.count; ++index) {
        const std::uint32_t position = sequences.positions[index];
        require(position < size && size - position >= tolvarin::header_block_size);
        const std::vector<std::uint8_t> out = build_output(image, position, room);
        require(out.size() >= 22);
        require(std::memcmp(out.data(), data + position, 18) == 0);
        const std::size_t track = out.size() - 22;
        const std::uint32_t stored = static_cast<std::uint32_t>(out[18]) << 24 |
                                     static_cast<std::uint32_t>(out[19]) << 16 |
                                     static_cast<std::uint32_t>(out[20]) << 8 | out[21];
        require(stored == track);
        const std::size_t available = size - position - 22;
        require(2 * track <= 3 * available);
        const std::vector<std::uint8_t> expected = test_support::reference_translate(image, position + 22);
        require(expected.size() == track && std::equal(expected.begin(), expected.end(), out.begin() + 22));
    }

    if (sequences.count > 0) {
        tolvarin::pipeline_settings settings;
        const unsigned a = data[1];
        const unsigned b = data[2];
        settings.lanes = 1 + a % 4;
        settings.chunk_bytes = (b & 0x80) != 0 ? 1u << (6 + b % 7) : 1 + b % 48;
        settings.threads = a % 16 == 0 ? 2 + b % 3 : 1;
        const auto tracks = convert(image, sequences, settings);
        for (std::uint32_t index = 0; index < sequences.count; ++index) {
            require(tracks[index] == test_support::reference_translate(image, sequences.positions[index] + 22));
        }
    }
    return 0;
}
