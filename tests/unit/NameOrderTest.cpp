// The name order behind every folder's children: A-Z fold to a-z, then unsigned bytes. Cases
// where equal bytes, letters of either case and high bytes meet at the same position.
#include <gtest/gtest.h>

#include <string_view>

#include "server/Node.h"

namespace {

int Sign(int value) {
    return (value > 0) - (value < 0);
}

TEST(NameOrderTest, FoldsOnlyAsciiLettersAndComparesUnsignedBytes) {
    struct Case {
        std::string_view a, b;
        int expected;
    };
    const Case cases[] = {
        {"file000123.txt", "FILE000123.TXT", 0},
        {"file000123.txt", "file000124.txt", -1},
        {"FILE000124.txt", "file000123.txt", 1},
        {"fileB", "filea", 1},     // raw bytes would put "B" (0x42) before "a" (0x61)
        {"file_", "fileA", -1},    // "_" (0x5F) before the folded "a" (0x61)
        {"file[", "filez", -1},    // "[" (0x5B) is no letter, and not folded
        {"file\xC9", "filez", 1},  // high bytes after ASCII, not before
        {"\xC9", "\xE9", -1},      // and not folded among themselves
        {"abc", "ABCD", -1},
        {"", "", 0},
        {"", "a", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " | " + std::string(c.b));
        EXPECT_EQ(Sign(CompareIgnoringCase(c.a, c.b)), c.expected);
        EXPECT_EQ(Sign(CompareIgnoringCase(c.b, c.a)), -c.expected);
        EXPECT_EQ(EqualsIgnoringCase(c.a, c.b), c.expected == 0);
    }
}

}  // namespace
