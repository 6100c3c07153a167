#include "model.hpp"

#include <optional>

namespace test_support {
namespace {

struct reader {
    const std::vector<std::uint8_t>& image;
    std::size_t at;
    std::vector<std::uint8_t>& out;

    // Copies the next byte over; nothing when the image has ended.
    std::optional<std::uint8_t> carry() {
        if (at >= image.size()) return std::nullopt;
        out.push_back(image[at]);
        return image[at++];
    }
    bool carry_n(unsigned n) {
        for (unsigned i = 0; i < n; ++i) {
            if (!carry()) return false;
        }
        return true;
    }
};

enum class outcome { go_on, track_end, cut_short };

bool is_length_prefixed(std::uint8_t type) {
    return type <= 0x07 || type == 0x20 || type == 0x21 || type == 0x54 || type == 0x58 ||
           type == 0x59 || type == 0x7F;
}

outcome event(reader& r, std::uint8_t status, bool status_in_stream) {
    const unsigned kind = status >> 4;
    if (kind < 8) return outcome::go_on;
    if (kind == 0xF) {
        if (!r.carry()) return outcome::cut_short;
        const auto type = r.carry();
        if (!type) return outcome::cut_short;
        if (*type == 0x2F) return r.carry() ? outcome::track_end : outcome::cut_short;
        if (*type == 0x51) return r.carry_n(4) ? outcome::go_on : outcome::cut_short;
        if (!is_length_prefixed(*type)) return outcome::go_on;
        // One length byte in the stream; in the track a variable-length
        // quantity: 128-255 is 1 * 128 + the rest, written 81 and the rest.
        if (r.at >= r.image.size()) return outcome::cut_short;
        const std::uint8_t length = r.image[r.at++];
        if (length >= 128) {
            r.out.push_back(0x81);
            r.out.push_back(static_cast<std::uint8_t>(length - 128));
        } else {
            r.out.push_back(length);
        }
        return r.carry_n(length) ? outcome::go_on : outcome::cut_short;
    }
    if (status_in_stream && !r.carry()) return outcome::cut_short;
    const bool two_data_bytes = kind == 0x9 || kind == 0xA || kind == 0xB;
    if (!r.carry_n(two_data_bytes ? 2 : 1)) return outcome::cut_short;
    if (kind == 0x8 || kind == 0xE) r.out.push_back(0x00);
    return outcome::go_on;
}

}  // namespace

std::vector<std::uint8_t> reference_translate(const std::vector<std::uint8_t>& image,
                                              std::size_t first_event) {
    std::vector<std::uint8_t> out;
    reader r{image, first_event, out};
    if (r.at >= image.size()) return out;
    if (event(r, image[r.at], true) == outcome::cut_short) return out;

    std::uint8_t running = 0;
    while (r.at < image.size()) {
        const std::uint8_t delta = *r.carry();
        if (delta & 0x80) continue;
        if (r.at >= image.size()) break;
        const std::uint8_t next = image[r.at];
        outcome result;
        if (next & 0x80) {
            if (next <= 0xEF) {
                running = next;
            } else if (next <= 0xF7) {
                running = 0;
            }
            result = event(r, next, true);
        } else {
            result = event(r, running, false);
        }
        if (result != outcome::go_on) break;
    }
    return out;
}

}  // namespace test_support
