#include <gtest/gtest.h>

#include <ostream>

#include <string>

#include "cli/output_name.hpp"
#include "platform/temporary_name.hpp"

namespace {

using tolvarin::path_syntax;

struct name_case {
    path_syntax syntax;
    const char* path;
    unsigned number;
    const char* expected;
};

// Names the case in test listings instead of dumping its bytes.
std::ostream& operator<<(std::ostream& out, const name_case& c) { return out << c.path; }

// The name written into exactly the room the header says it needs, with a
// guard character behind that must stay untouched.
template <class Char>
std::basic_string<Char> output_name_of(const tolvarin::path_parts<Char>& parts, unsigned number) {
    std::basic_string<Char> room(tolvarin::output_name_room(parts) + 1, Char('#'));
    const std::size_t length = tolvarin::make_output_name(parts, number, room.data());
    EXPECT_EQ(room.back(), Char('#')) << "wrote past its room";
    EXPECT_EQ(room[length], Char(0));
    return room.substr(0, length);
}

class output_name : public testing::TestWithParam<name_case> {};

TEST_P(output_name, is_built_next_to_the_container) {
    const name_case& c = GetParam();
    const auto parts = tolvarin::split_path(std::string_view(c.path), c.syntax);
    const std::string name = output_name_of(parts, c.number);
    EXPECT_EQ(name, c.expected) << c.path;
    // The name within the directory starts where the drive and directory end.
    const std::string_view leaf = std::string_view(c.expected).substr(tolvarin::output_directory_length(parts));
    EXPECT_EQ(leaf.find_first_of(c.syntax == path_syntax::windows ? "/\\:" : "/"), std::string_view::npos) << leaf;
}

INSTANTIATE_TEST_SUITE_P(
    paths, output_name,
    testing::Values(
        name_case{path_syntax::posix, "tune.dat", 1, "tune_1.mid"},
        name_case{path_syntax::posix, "/songs/demo.dat", 2, "/songs/demo_2.mid"},
        name_case{path_syntax::posix, "a.b.c", 1, "a.b_1.mid"},
        name_case{path_syntax::posix, "some.dir/noext", 3, "some.dir/noext_3.mid"},
        name_case{path_syntax::posix, "./x.dat", 4, "./x_4.mid"},
        name_case{path_syntax::posix, "dir/.hidden", 1, "dir/_1.mid"},
        name_case{path_syntax::posix, "my songs/Überlied ♪.dat", 1, "my songs/Überlied ♪_1.mid"},
        // A backslash is an ordinary character in a POSIX name.
        name_case{path_syntax::posix, "a\\b.c\\d", 1, "a\\b_1.mid"},
        name_case{path_syntax::windows, "C:\\songs\\demo.dat", 1, "C:\\songs\\demo_1.mid"},
        name_case{path_syntax::windows, "C:demo.dat", 2, "C:demo_2.mid"},
        name_case{path_syntax::windows, "C:/x/y.z.dat", 1, "C:/x/y.z_1.mid"},
        name_case{path_syntax::windows, "d:\\a/b\\c", 1, "d:\\a/b\\c_1.mid"},
        name_case{path_syntax::windows, "\\\\server\\share\\t.dat", 1, "\\\\server\\share\\t_1.mid"},
        name_case{path_syntax::windows, "dir.v\\noext", 1, "dir.v\\noext_1.mid"},
        name_case{path_syntax::windows, "tune.dat", 12, "tune_12.mid"},
        name_case{path_syntax::posix, "d/t.dat", 4294967295u, "d/t_4294967295.mid"},
        name_case{path_syntax::posix, "", 1, "_1.mid"}));

TEST(output_name, splits_into_four_parts) {
    const auto parts = tolvarin::split_path(std::wstring_view(L"C:\\Lieder\\Überlied ♪.dat"), path_syntax::windows);
    EXPECT_EQ(parts.drive, L"C:");
    EXPECT_EQ(parts.directory, L"\\Lieder\\");
    EXPECT_EQ(parts.base_name, L"Überlied ♪");
    EXPECT_EQ(parts.extension, L".dat");
    EXPECT_EQ(output_name_of(parts, 3), L"C:\\Lieder\\Überlied ♪_3.mid");
    EXPECT_EQ(tolvarin::output_directory_length(parts), 10u);
}

// The temporary name keeps every digit, most significant first, and its
// length whatever the bits, on both character types.
TEST(temporary_name, holds_sixteen_hex_digits) {
    char name[tolvarin::temporary_name_size];
    tolvarin::make_temporary_name(0x0123456789ABCDEFu, name);
    EXPECT_STREQ(name, ".tolvarin-0123456789abcdef.tmp");
    wchar_t wide[tolvarin::temporary_name_size];
    tolvarin::make_temporary_name(0xF000000000000001u, wide);
    EXPECT_EQ(std::wstring(wide), L".tolvarin-f000000000000001.tmp");
}

}  // namespace
