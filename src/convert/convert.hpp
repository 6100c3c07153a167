// The conversion with the knobs the project's own tests and benchmarks turn
// (chunk size, lanes, the level, statistics): convert and convert_song are
// this with the tuning's defaults.
#pragma once

#include <cstdint>

#include "convert/pipeline.hpp"
#include "tolvarin/tolvarin.hpp"

namespace tolvarin {

// Converts the plan's songs `first` to `last` - 1 into the sink; with
// `placed` (the same sink), at their places.
conversion_result convert_songs(byte_view image, const container_plan& plan, std::uint32_t first, std::uint32_t last,
                                output_sink& sink, const conversion_options& options,
                                const conversion_tuning& tuning, placed_output_sink* placed = nullptr);

// Every song of the plan.
conversion_result convert_tuned(byte_view image, const container_plan& plan, output_sink& sink,
                                const conversion_options& options, const conversion_tuning& tuning,
                                placed_output_sink* placed = nullptr);

}  // namespace tolvarin
