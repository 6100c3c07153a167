// The library's conversion: whole output files, in song order, into the
// caller's sink. Each output is the song's 22-byte head as the container
// holds it, then its translated track; once the track is complete, the
// length to patch into the head is handed over with the report.
#include "convert/convert.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "convert/song_run.hpp"
#include "format/container.hpp"

namespace tolvarin {

conversion_result convert_songs(byte_view image, const container_plan& plan, std::uint32_t first, std::uint32_t last,
                                output_sink& sink, const conversion_options& options,
                                const conversion_tuning& tuning, placed_output_sink* placed) {
    // A placed sink takes every byte at its offset in the output: the
    // stretches translated ahead from the workers, the rest from here.
    const auto write_in_track = [placed](std::uint64_t offset, byte_view bytes) {
        return placed->write_at(header_block_size + offset, bytes);
    };
    song_run run;
    const conversion_status started =
        start_run(run, image, plan, first, last, options, tuning,
                  placed == nullptr ? std::nullopt
                                    : std::optional<function_ref<bool(std::uint64_t, byte_view)>>(write_in_track));
    if (started != conversion_status::done) return {started, first};
    for (;;) {
        track_piece piece;
        const run_step step = next_step(run, piece);
        const std::uint32_t song = first + run.current;
        bool taken = true;
        switch (step) {
            case run_step::song_begins:
                taken = sink.begin_output(run.songs[run.current]) &&
                        (placed != nullptr ? placed->write_at(0, run.heads[run.current])
                                           : sink.write(run.heads[run.current]));
                break;
            case run_step::piece:
                if (placed == nullptr) {
                    taken = sink.write({piece.data, piece.size});
                } else if (piece.data != nullptr) {
                    taken = write_in_track(run.track_length - piece.size, {piece.data, piece.size});
                    if (!taken) refuse_placed_writes(*run.pipeline);
                }
                break;
            case run_step::song_ends: taken = sink.end_output(run.ended); break;
            case run_step::finished: return {conversion_status::done, last};
            case run_step::failed: return {run.failure, song};
            case run_step::join: return {conversion_status::bad_argument, song};  // no track here is split
        }
        // The song whose output was under way: a refused end is the song
        // that just ended.
        if (!taken) return {conversion_status::stopped, step == run_step::song_ends ? song - 1 : song};
    }
}

conversion_result convert_tuned(byte_view image, const container_plan& plan, output_sink& sink,
                                const conversion_options& options, const conversion_tuning& tuning,
                                placed_output_sink* placed) {
    if (!plan_fits(plan, image.size())) return {conversion_status::bad_argument, 0};
    if (plan.count == 0) return {conversion_status::done, 0};
    return convert_songs(image, plan, 0, plan.count, sink, options, tuning, placed);
}

conversion_result convert(byte_view image, const container_plan& plan, output_sink& sink,
                          const conversion_options& options) {
    return convert_tuned(image, plan, sink, options, conversion_tuning{});
}

conversion_result convert_song(byte_view image, const container_plan& plan, std::uint32_t index, output_sink& sink,
                               const conversion_options& options) {
    if (index >= plan.count) return {conversion_status::bad_argument, index};
    return convert_songs(image, plan, index, index + 1, sink, options, conversion_tuning{});
}

conversion_result convert(byte_view image, const container_plan& plan, placed_output_sink& sink,
                          const conversion_options& options, memory_source* memory) {
    conversion_tuning tuning;
    tuning.memory = memory;
    return convert_tuned(image, plan, sink, options, tuning, &sink);
}

conversion_result convert_song(byte_view image, const container_plan& plan, std::uint32_t index,
                               placed_output_sink& sink, const conversion_options& options, memory_source* memory) {
    if (index >= plan.count) return {conversion_status::bad_argument, index};
    conversion_tuning tuning;
    tuning.memory = memory;
    return convert_songs(image, plan, index, index + 1, sink, options, tuning, &sink);
}

memory_outputs::~memory_outputs() { clear(); }

memory_outputs::memory_outputs(memory_outputs&& other) noexcept
    : outputs_(std::exchange(other.outputs_, nullptr)),
      count_(std::exchange(other.count_, 0)),
      room_(std::exchange(other.room_, 0)),
      under_way_(std::exchange(other.under_way_, false)),
      out_of_memory_(std::exchange(other.out_of_memory_, false)) {}

memory_outputs& memory_outputs::operator=(memory_outputs&& other) noexcept {
    if (this != &other) {
        clear();
        outputs_ = std::exchange(other.outputs_, nullptr);
        count_ = std::exchange(other.count_, 0);
        room_ = std::exchange(other.room_, 0);
        under_way_ = std::exchange(other.under_way_, false);
        out_of_memory_ = std::exchange(other.out_of_memory_, false);
    }
    return *this;
}

void memory_outputs::clear() {
    // The one under way, if any, stands behind the whole ones.
    for (std::uint32_t index = 0; index < room_; ++index) std::free(outputs_[index].data);
    std::free(outputs_);
    outputs_ = nullptr;
    count_ = 0;
    room_ = 0;
    under_way_ = false;
    out_of_memory_ = false;
}

byte_view memory_outputs::output(std::uint32_t index) const {
    if (index >= count_) return {};
    return {outputs_[index].data, outputs_[index].size};
}

song_output memory_outputs::report(std::uint32_t index) const {
    return index < count_ ? outputs_[index].report : song_output{};
}

bool memory_outputs::begin_output(const song_place& song) {
    // An output that never ended is dropped: its place is taken again.
    under_way_ = false;
    out_of_memory_ = false;
    if (count_ == room_) {
        if (room_ > UINT32_MAX / 2 - 4) return false;
        const std::uint32_t room = room_ == 0 ? max_songs : room_ * 2;
        auto* const grown = static_cast<held*>(std::realloc(outputs_, sizeof(held) * room));
        if (grown == nullptr) {
            out_of_memory_ = true;
            return false;
        }
        std::fill(grown + room_, grown + room, held{});
        outputs_ = grown;
        room_ = room;
    }
    held& output = outputs_[count_];
    output.size = 0;
    output.report = {};
    output.report.song = song;
    under_way_ = true;
    return true;
}

bool memory_outputs::write(byte_view bytes) {
    if (!under_way_) return false;
    held& output = outputs_[count_];
    if (bytes.size() > output.capacity - output.size) {
        std::size_t capacity = std::max<std::size_t>(output.capacity, 1 << 16);
        while (capacity - output.size < bytes.size()) {
            if (capacity > SIZE_MAX / 2) {
                out_of_memory_ = true;
                under_way_ = false;
                return false;
            }
            capacity *= 2;
        }
        auto* const grown = static_cast<std::uint8_t*>(std::realloc(output.data, capacity));
        if (grown == nullptr) {
            out_of_memory_ = true;
            under_way_ = false;
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
    if (!under_way_) return false;
    held& kept = outputs_[count_];
    // The head is the first thing written: an output shorter than it was not
    // given by a conversion.
    if (kept.size < header_block_size) return false;
    std::memcpy(kept.data + track_length_offset, output.length_field.data(), output.length_field.size());
    kept.report = output;
    under_way_ = false;
    ++count_;
    return true;
}

}  // namespace tolvarin
