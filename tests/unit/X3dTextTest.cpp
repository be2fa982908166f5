// X3dTextTest.cpp - text from the disk must always make well-formed XML.
#include <gtest/gtest.h>

#include "publish/X3dText.h"

TEST(X3dText, MarkupAndBrokenBytesNeverReachTheDocument) {
    EXPECT_EQ(XmlText("a&b<c>d'e\"f]]>"), "a&amp;b&lt;c&gt;d&apos;e&quot;f]]&gt;");
    // Well-formed UTF-8 stays; a lone Latin-1 byte, a truncated sequence, an overlong form,
    // a surrogate and control characters become U+FFFD.
    EXPECT_EQ(XmlText("caf\xC3\xA9 \xE2\x82\xAC"), "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(XmlText("caf\xE9"), "caf\xEF\xBF\xBD");
    EXPECT_EQ(XmlText("\xE2\x82"), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(XmlText("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(XmlText("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(XmlText(std::string_view("a\x01\nb\tc\0", 7)),
              "a\xEF\xBF\xBD\xEF\xBF\xBD"
              "b\tc\xEF\xBF\xBD");
}

TEST(X3dText, QuotedStringsCommentsAndNumbers) {
    EXPECT_EQ(X3dQuoted("My \"Docs\" a\\b"), "\"My \\&quot;Docs\\&quot; a\\\\b\"");
    EXPECT_EQ(XmlCommentText("a--b---c-"), "a- -b- - -c- ");
    EXPECT_EQ(X3dNumber(2.0), "2");
    EXPECT_EQ(X3dNumber(-0.5), "-0.5");
    EXPECT_EQ(X3dNumber(1.5707963), "1.570796");
    EXPECT_EQ(X3dNumber(-1e-9), "0");
}
