// The library's conversion: whole output files, in song order, into the
// caller's sink. Each output is the song's 22-byte head as the container
// holds it, then its translated track; once the track is complete, the
// length to patch into the head is handed over with the report.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "convert/pipeline.hpp"
#include "convert/threads.hpp"
#include "format/container.hpp"

namespace tolvarin {
namespace {

unsigned threads_to_use(unsigned asked) {
    if (asked == 0) asked = usable_processors();
    return std::clamp(asked, 1u, max_threads);
}

template <class Work>
bool guarded(const conversion_options& options, Work&& work) {
    if (options.guard == nullptr) {
        work();
        return true;
    }
    return options.guard->run(work);
}

// Converts the plan's songs `first` to `last` - 1.
conversion_result convert_range(byte_view image, const container_plan& plan, std::uint32_t first, std::uint32_t last,
                                output_sink& sink, const conversion_options& options) {
    if (image_too_large(image.size()) || first >= last || last > plan.count || last > max_songs) {
        return {conversion_status::bad_argument, first};
    }
    // Each head is copied before anything is handed over, so that a sink is
    // only ever given the library's own memory, never the image.
    std::array<std::array<std::uint8_t, header_block_size>, max_songs> heads{};
    pipeline_track tracks[max_songs];
    const auto count = last - first;
    const std::span<const song_place> songs(plan.songs.data() + first, count);
    const bool read = guarded(options, [&] {
        auto head = heads.begin();
        for (const song_place& song : songs) std::copy_n(image.data() + song.position, header_block_size, (head++)->begin());
    });
    if (!read) return {conversion_status::input_fault, first};
    for (std::uint32_t index = 0; index < count; ++index) {
        const song_place& song = plan.songs[first + index];
        tracks[index] = {song.first_event, song.planned_end};
    }

    pipeline_settings settings;
    settings.threads = threads_to_use(options.threads);
    if (options.tuning != nullptr) settings.tuning = *options.tuning;
    settings.guard = options.guard;
    settings.starter = options.starter;
    settings.reader = options.reader;
    pipeline_handle handle;
    switch (start_pipeline(image, {tracks, count}, settings, handle)) {
        case pipeline_start::started: break;
        case pipeline_start::no_memory: return {conversion_status::no_memory, first};
        case pipeline_start::input_fault: return {conversion_status::input_fault, first};
    }

    for (std::uint32_t index = 0; index < count; ++index) {
        const conversion_result stopped{conversion_status::stopped, first + index};
        const song_place& song = plan.songs[first + index];
        if (!sink.begin_output(song) || !sink.write(heads[index])) return stopped;
        std::uint64_t track_length = 0;
        track_piece piece;
        for (pipeline_step step = next_piece(*handle, piece); step != pipeline_step::track_end;
             step = next_piece(*handle, piece)) {
            if (step == pipeline_step::input_fault) return {conversion_status::input_fault, first + index};
            // The length field has 32 bits: a longer track cannot be stored.
            track_length += piece.size;
            if (track_length > max_track_length) return {conversion_status::track_too_long, first + index};
            if (!sink.write({piece.data, piece.size})) return stopped;
        }
        song_output output;
        output.song = song;
        output.track_length = static_cast<std::uint32_t>(track_length);
        output.output_size = header_block_size + track_length;
        output.length_field = encode_track_length(output.track_length);
        output.end_position = track_end_position(*handle, index);
        if (!sink.end_output(output)) return stopped;
    }
    return {conversion_status::done, last};
}

}  // namespace

conversion_result convert(byte_view image, const container_plan& plan, output_sink& sink,
                          const conversion_options& options) {
    if (plan.count == 0) return {conversion_status::done, 0};
    return convert_range(image, plan, 0, plan.count, sink, options);
}

conversion_result convert_song(byte_view image, const container_plan& plan, std::uint32_t index, output_sink& sink,
                               const conversion_options& options) {
    if (index >= plan.count) return {conversion_status::bad_argument, index};
    return convert_range(image, plan, index, index + 1, sink, options);
}

memory_outputs::~memory_outputs() {
    for (held& output : outputs_) std::free(output.data);
}

bool memory_outputs::begin_output(const song_place& song) {
    if (count_ >= max_songs) return false;
    outputs_[count_].report.song = song;
    ++count_;
    return true;
}

bool memory_outputs::write(byte_view bytes) {
    held& output = outputs_[count_ - 1];
    if (bytes.size() > output.capacity - output.size) {
        std::size_t capacity = std::max<std::size_t>(output.capacity, 1 << 16);
        while (capacity - output.size < bytes.size()) {
            if (capacity > SIZE_MAX / 2) {
                out_of_memory_ = true;
                return false;
            }
            capacity *= 2;
        }
        auto* const grown = static_cast<std::uint8_t*>(std::realloc(output.data, capacity));
        if (grown == nullptr) {
            out_of_memory_ = true;
            return false;
        }
        output.data = grown;
        output.capacity = capacity;
    }
    if (!bytes.empty()) std::memcpy(output.data + output.size, bytes.data(), bytes.size());
    output.size += bytes.size();
    return true;
}

bool memory_outputs::end_output(const song_output& output) {
    held& kept = outputs_[count_ - 1];
    std::memcpy(kept.data + track_length_offset, output.length_field.data(), output.length_field.size());
    kept.report = output;
    return true;
}

}  // namespace tolvarin
