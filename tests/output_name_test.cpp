#include <gtest/gtest.h>

#include <ostream>

#include <string>

#include "output_name.hpp"

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

class output_name : public testing::TestWithParam<name_case> {};

TEST_P(output_name, is_built_next_to_the_container) {
    const name_case& c = GetParam();
    const auto parts = tolvarin::split_path(std::string_view(c.path), c.syntax);
    EXPECT_EQ(tolvarin::make_output_name(parts, c.number), c.expected) << c.path;
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
        name_case{path_syntax::windows, "tune.dat", 12, "tune_12.mid"}));

TEST(output_name, splits_into_four_parts) {
    const auto parts = tolvarin::split_path(std::wstring_view(L"C:\\Lieder\\Überlied ♪.dat"), path_syntax::windows);
    EXPECT_EQ(parts.drive, L"C:");
    EXPECT_EQ(parts.directory, L"\\Lieder\\");
    EXPECT_EQ(parts.base_name, L"Überlied ♪");
    EXPECT_EQ(parts.extension, L".dat");
    EXPECT_EQ(tolvarin::make_output_name(parts, 3), L"C:\\Lieder\\Überlied ♪_3.mid");
}

}  // namespace
