// The shared ASCII text helpers: which bytes each escape touches, folding, tokens.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/AsciiText.h"

TEST(AsciiTextEscape, EachEscapeTouchesOnlyItsBytes) {
    using namespace std::string_literals;
    const std::string text = "a<b>c&d\"e'f\xC3\xA9\0<"s;
    EXPECT_EQ(EscapeLessThan(text), "a&lt;b>c&d\"e'f\xC3\xA9\0&lt;"s);
    EXPECT_EQ(EscapeAngleBrackets(text), "a&lt;b&gt;c&d\"e'f\xC3\xA9\0&lt;"s);
    EXPECT_EQ(EscapeMarkup(text), "a&lt;b&gt;c&amp;d&quot;e'f\xC3\xA9\0&lt;"s);
    EXPECT_EQ(MarkupEntity('\'', true), "&apos;");
    EXPECT_EQ(MarkupEntity('\'', false), "");
    EXPECT_EQ(EscapeMarkup(""), "");
}

TEST(AsciiTextCase, FoldsOnlyAsciiLetters) {
    EXPECT_EQ(ToAsciiLower("MiXeD-09_Z\xC3\x89"), "mixed-09_z\xC3\x89");
    EXPECT_TRUE(EqualsIgnoringCase("Content-Type", "content-TYPE"));
    EXPECT_FALSE(EqualsIgnoringCase("\xC3\x89", "\xC3\xA9"));  // no locale folding
    EXPECT_FALSE(EqualsIgnoringCase("[", "{"));                // '[' is not 'Z' + 1 folded
    EXPECT_TRUE(StartsWithIgnoringCase("HTTP/1.0", "http/"));
    EXPECT_FALSE(StartsWithIgnoringCase("HTT", "http/"));
    EXPECT_TRUE(ContainsIgnoringCase("Re: Lunch Plans", "LUNCH"));
    EXPECT_FALSE(ContainsIgnoringCase("Lunch", "lunches"));
}

TEST(AsciiTextTokens, SkipsRunsOfSeparatorsAtBothEnds) {
    struct Case {
        std::string_view text;
        std::vector<std::string_view> tokens;
    } cases[] = {
        {"", {}},
        {"&&,", {}},
        {"a", {"a"}},
        {"&a,,b?c&", {"a", "b", "c"}},
        {"?x=1&y", {"x=1", "y"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<std::string_view> seen;
        std::size_t at = 0;
        while (auto token = NextToken(c.text, at, "&?,"))
            seen.push_back(*token);
        EXPECT_EQ(seen, c.tokens);
        EXPECT_EQ(at, c.text.size());
    }
}
