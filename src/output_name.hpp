// Output names: the container path split into drive, directory, base name and
// extension, and "<drive><directory><base name>_<n>.mid" built from them. The
// extension is dropped; the directory keeps its trailing separator, so the
// outputs land next to the container.
//
// The split works on the platform's native character type and follows either
// POSIX rules (only '/' separates, no drive) or Windows rules (an optional
// drive such as "C:", and both '\' and '/' as separators).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tolvarin {

enum class path_syntax { posix, windows };

template <class Char>
struct path_parts {
    std::basic_string<Char> drive;
    std::basic_string<Char> directory;
    std::basic_string<Char> base_name;
    std::basic_string<Char> extension;
};

template <class Char>
path_parts<Char> split_path(std::basic_string_view<Char> path, path_syntax syntax) {
    path_parts<Char> parts;
    if (syntax == path_syntax::windows && path.size() >= 2 && path[1] == Char(':')) {
        parts.drive = path.substr(0, 2);
        path.remove_prefix(2);
    }
    const auto is_separator = [syntax](Char c) {
        return c == Char('/') || (syntax == path_syntax::windows && c == Char('\\'));
    };
    std::size_t name_start = 0;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (is_separator(path[i])) name_start = i + 1;
    }
    parts.directory = path.substr(0, name_start);
    const std::basic_string_view<Char> name = path.substr(name_start);
    const std::size_t dot = name.rfind(Char('.'));
    if (dot == std::basic_string_view<Char>::npos) {
        parts.base_name = name;
    } else {
        parts.base_name = name.substr(0, dot);
        parts.extension = name.substr(dot);
    }
    return parts;
}

// The output's name within its directory: "<base name>_<n>.mid".
template <class Char>
std::basic_string<Char> make_output_leaf(const path_parts<Char>& parts, unsigned sequence_number) {
    std::basic_string<Char> name = parts.base_name;
    name += Char('_');
    for (const char digit : std::to_string(sequence_number)) name += static_cast<Char>(digit);
    for (const char c : std::string_view(".mid")) name += static_cast<Char>(c);
    return name;
}

// The output's whole name, as the user sees it in messages.
template <class Char>
std::basic_string<Char> make_output_name(const path_parts<Char>& parts, unsigned sequence_number) {
    return parts.drive + parts.directory + make_output_leaf(parts, sequence_number);
}

}  // namespace tolvarin
