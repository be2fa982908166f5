// Escaping of node paths and unescaping of request paths.
#include <gtest/gtest.h>

#include "server/HTEscape.h"

TEST(HTEscape, KeepsPathSafeCharactersAndEscapesTheRest) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"a/b c.txt", "a/b%20c.txt"}, {"50% off", "50%25%20off"},           {"a,b", "a%2Cb"},
        {"x@y*z+w-_.", "x@y*z+w-_."}, {"?&=#~:;", "%3F%26%3D%23%7E%3A%3B"}, {"", ""},
        {"\x01\x7f", "%01%7F"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(HTEscape(c.in), c.out);
    }
}

TEST(HTEscape, EscapesHighBytesAsThemselvesSoUtf8RoundTrips) {
    std::string name = "caf\xC3\xA9 \xA0";
    std::string escaped = HTEscape(name);
    EXPECT_EQ(escaped, "caf%C3%A9%20%A0");
    UrlUnescape(escaped);
    EXPECT_EQ(escaped, name);
}

TEST(UrlUnescape, DecodesAsTheRequestParserDoes) {
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"%41%42C", "ABC"},
        {"100%", "100%"},
        {"%4", std::string("\x40")},
        {"/A%20B/", "/A B/"},
        {"%2F", "/"},
        {"%00x", std::string("\0x", 2)},
        {"%%", std::string(1, static_cast<char>(('%' - 87) * 16))},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.in);
        std::string text = c.in;
        UrlUnescape(text);
        EXPECT_EQ(text, c.out);
        EXPECT_LE(text.size(), c.in.size());
    }
}
