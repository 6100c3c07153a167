#include "bytes.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

#include "format/event_stream.hpp"
#include "model.hpp"
#include "tolvarin/tolvarin.hpp"
#include "fast/fast_translate.hpp"
#include "fast/guessed_chunks.hpp"
#include "fast/vector_machine.hpp"

namespace test_support {

bytes hex(std::string_view text) {
    bytes out;
    int high = -1;
    for (const char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        const int digit = std::isdigit(static_cast<unsigned char>(c))
                              ? c - '0'
                              : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
        if (digit < 0 || digit > 15) throw std::invalid_argument("bad hex");
        if (high < 0) {
            high = digit;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd hex");
    return out;
}

std::string hex_string(const bytes& data) {
    std::string text;
    char cell[4];
    for (const std::uint8_t b : data) {
        std::snprintf(cell, sizeof cell, "%02X ", b);
        text += cell;
    }
    if (!text.empty()) text.pop_back();
    return text;
}

bytes repeat(const bytes& piece, std::size_t times) {
    bytes out;
    for (std::size_t i = 0; i < times; ++i) out.insert(out.end(), piece.begin(), piece.end());
    return out;
}

bytes concat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

bytes header_block(std::uint16_t division, std::uint32_t stored_length) {
    bytes h = hex("4D 54 68 64 00 00 00 06 00 00 00 01");
    h.push_back(static_cast<std::uint8_t>(division >> 8));
    h.push_back(static_cast<std::uint8_t>(division));
    const bytes trk = hex("4D 54 72 6B");
    h.insert(h.end(), trk.begin(), trk.end());
    h.resize(22);
    return with_track_length(h, stored_length);
}

bytes with_track_length(bytes header, std::uint32_t length) {
    header.resize(22);
    header[18] = static_cast<std::uint8_t>(length >> 24);
    header[19] = static_cast<std::uint8_t>(length >> 16);
    header[20] = static_cast<std::uint8_t>(length >> 8);
    header[21] = static_cast<std::uint8_t>(length);
    return header;
}

void put_u32_le(bytes& data, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) data[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

bytes container_of(const std::vector<bytes>& records) {
    bytes image(16, 0);
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (i > 0) put_u32_le(image, 4 * i, static_cast<std::uint32_t>(image.size() - 4));
        image.insert(image.end(), records[i].begin(), records[i].end());
    }
    return image;
}

namespace {

// The byte-at-a-time translation.
bytes translate_reference(const bytes& image, std::uint32_t first_event, std::size_t room) {
    bytes out;
    bytes block(room);
    tolvarin::track_state state = tolvarin::start_track(first_event);
    while (!state.finished) {
        const std::size_t written = tolvarin::translate_track(image, state, block);
        if (written == 0 && !state.finished) throw std::logic_error("no progress");
        out.insert(out.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(written));
    }
    return out;
}

// The fast translation; with a `stride`, each call stops at most that many
// bytes on, so that calls end and resume at many event boundaries.
bytes translate_fast(const bytes& image, std::uint32_t first_event, std::size_t room, std::uint32_t stride,
                     tolvarin::wide_level level = tolvarin::wide_level::portable) {
    bytes block(room);
    std::uint8_t* at = block.data();
    tolvarin::event_cursor cursor = tolvarin::open_track(image, first_event, at);
    bytes out(block.data(), at);
    while (!cursor.finished) {
        const std::uint32_t stop = stride == 0 ? std::numeric_limits<std::uint32_t>::max() : cursor.position + stride;
        const std::size_t written = tolvarin::translate_events(image, cursor, stop, block, level);
        if (written == 0 && !cursor.finished && cursor.position < stop) throw std::logic_error("no progress");
        out.insert(out.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(written));
    }
    return out;
}

}  // namespace

bytes translate_chunked(const bytes& image, std::uint32_t first_event, std::uint32_t chunk_bytes, unsigned lanes,
                        tolvarin::wide_level level, std::size_t group) {
    bytes opening(tolvarin::max_step_output);
    std::uint8_t* at = opening.data();
    tolvarin::event_cursor cursor = tolvarin::open_track(image, first_event, at);
    bytes out(opening.data(), at);
    if (cursor.finished) return out;
    std::vector<tolvarin::chunk_job> jobs;
    std::vector<bytes> buffers;
    for (std::uint64_t begin = cursor.position; begin < image.size(); begin += chunk_bytes) {
        tolvarin::chunk_job job;
        job.begin = static_cast<std::uint32_t>(begin);
        job.end = static_cast<std::uint32_t>(std::min<std::uint64_t>(begin + chunk_bytes, image.size()));
        job.known = begin == cursor.position;
        job.running = cursor.running;
        jobs.push_back(job);
        buffers.emplace_back(tolvarin::chunk_output_room(job.end - job.begin));
    }
    for (std::size_t i = 0; i < jobs.size(); ++i) jobs[i].out = buffers[i].data();
    const std::span<tolvarin::chunk_job> all(jobs);
    const std::size_t step = group == 0 ? jobs.size() : group;
    for (std::size_t from = 0; from < jobs.size(); from += step) {
        tolvarin::speculate_chunks(image, all.subspan(from, std::min(step, jobs.size() - from)), lanes, level);
    }
    bytes bridge(tolvarin::chunk_output_room(chunk_bytes));
    for (const tolvarin::chunk_job& job : jobs) {
        if (cursor.finished) break;
        const tolvarin::stitch_result stitched = tolvarin::stitch_chunk(image, cursor, job, bridge, level);
        out.insert(out.end(), bridge.begin(), bridge.begin() + static_cast<std::ptrdiff_t>(stitched.bridge_bytes));
        if (stitched.kept) {
            out.insert(out.end(), job.out + stitched.kept_from, job.out + stitched.kept_to);
        }
    }
    return out;
}

std::vector<translation> translate_all(const bytes& image, std::uint32_t first_event, std::size_t room) {
    std::vector<translation> all{{"reference", translate_reference(image, first_event, room)},
                                 {"fast", translate_fast(image, first_event, room, 0)},
                                 {"fast, stopping every 5 bytes", translate_fast(image, first_event, room, 5)},
                                 {"chunks of 1 byte, 4 lanes", translate_chunked(image, first_event, 1, 4)},
                                 {"chunks of 5 bytes, 3 lanes", translate_chunked(image, first_event, 5, 3)},
                                 {"chunks of 64 bytes, 4 lanes", translate_chunked(image, first_event, 64, 4)},
                                 {"chunks of 1000 bytes, 2 lanes", translate_chunked(image, first_event, 1000, 2)},
                                 {"chunks of 4096 bytes, 1 lane", translate_chunked(image, first_event, 4096, 1)}};
    const std::vector<translation> vector = translate_vector_paths(image, first_event);
    all.insert(all.end(), vector.begin(), vector.end());
    return all;
}

std::vector<std::pair<tolvarin::wide_level, const char*>> stretch_levels() {
#if defined(__aarch64__)
    return {{tolvarin::wide_level::shuffle, "neon"}};
#elif defined(__wasm__)
    return {{tolvarin::wide_level::shuffle, "simd128"}};
#else
    return {{tolvarin::wide_level::shuffle, "avx2"}, {tolvarin::wide_level::vector, "avx512"}};
#endif
}

std::vector<translation> translate_vector_paths(const bytes& image, std::uint32_t first_event) {
    // Room for whole stretches.
    constexpr std::size_t room = 1 << 16;
    std::vector<translation> all;
    for (const auto& [level, name] : stretch_levels()) {
        if (!tolvarin::machine::stretch_level_available(level)) continue;
        const std::string at = std::string(" at the ") + name + " level";
        const auto add = [&](const std::string& path, bytes output) {
            all.push_back({path + at, std::move(output)});
        };
        // Too short for a stretch, a level's one cursor goes exactly the
        // portable way (translate_all has that); its chunks still go their own.
        if (image.size() >= tolvarin::machine::stretch_bytes + tolvarin::machine::stretch_input_margin) {
            add("stretches", translate_fast(image, first_event, room, 0, level));
            add("stretches stopping every 4099 bytes", translate_fast(image, first_event, room, 4099, level));
            add("stretches stopping every 1500 bytes", translate_fast(image, first_event, room, 1500, level));
        }
        add("chunks of 5000 bytes", translate_chunked(image, first_event, 5000, 4, level));
        add("chunks of 20000 bytes", translate_chunked(image, first_event, 20000, 4, level));
        add("chunks of 3000 bytes, in groups of 3", translate_chunked(image, first_event, 3000, 4, level, 3));
    }
    return all;
}

std::vector<bytes> reference_outputs(const bytes& image) {
    const tolvarin::container_plan plan = tolvarin::plan_container(image);
    std::vector<bytes> outputs;
    for (std::uint32_t index = 0; index < plan.count; ++index) {
        const std::uint32_t position = plan.songs[index].position;
        const bytes track = reference_translate(image, position + 22);
        const bytes head(image.begin() + position, image.begin() + position + 22);
        outputs.push_back(concat({with_track_length(head, static_cast<std::uint32_t>(track.size())), track}));
    }
    return outputs;
}

}  // namespace test_support
