// A reference translation written directly from the format's rules, one byte
// at a time, with none of the product's tables or fast paths. Tests compare
// the product against it on streams too many to work out by hand.
#pragma once

#include <cstdint>
#include <vector>

namespace test_support {

std::vector<std::uint8_t> reference_translate(const std::vector<std::uint8_t>& image,
                                              std::size_t first_event);

}  // namespace test_support
