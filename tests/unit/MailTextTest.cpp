// Mail text to HTML: escaping, address anchors, URL links and their bounds.
#include <gtest/gtest.h>

#include <string>

#include "mail/MailText.h"

namespace {

std::string Converted(std::string line) {
    ConvertMailLine(line);
    return line;
}

// The output with every anchor this module writes taken out: what is left must hold no "<".
std::string WithoutOwnAnchors(std::string text) {
    for (std::string_view open : {"<a href=mailto:", "<A HREF="}) {
        for (std::size_t p; (p = text.find(open)) != std::string::npos;) {
            const std::size_t close = text.find('>', p);
            text.erase(p, close == std::string::npos ? std::string::npos : close + 1 - p);
        }
    }
    for (std::string_view close : {"</a>", "</A>"}) {
        for (std::size_t p; (p = text.find(close)) != std::string::npos;)
            text.erase(p, 4);
    }
    return text;
}

}  // namespace

TEST(MailTextConvert, WholeLines) {
    struct Case {
        const char* label;
        std::string in;
        std::string out;
    } cases[] = {
        {"angle brackets", "a<b>c", "a&lt;b&gt;c"},
        {"ampersand untouched", "a & b", "a & b"},
        {"address in angle brackets", "Ann <ann@host.org> wrote",
         "Ann &lt;<a href=mailto:ann@host.org>ann@host.org</a>&gt; wrote"},
        {"dots before the @ stay", "mail first.last@host.org now",
         "mail <a href=mailto:first.last@host.org>first.last@host.org</a> now"},
        {"a dash ends the walk back", "my-name@host.org",
         "my-<a href=mailto:name@host.org>name@host.org</a>"},
        {"an underscore ends the walk back", "my_name@host.org",
         "my_<a href=mailto:name@host.org>name@host.org</a>"},
        {"two addresses", "ann@a.org, bob@b.org",
         "<a href=mailto:ann@a.org>ann@a.org</a>, <a href=mailto:bob@b.org>bob@b.org</a>"},
        {"a word beginning with @ stops the line", "@home, then ann@host.org",
         "@home, then ann@host.org"},
        {"an address without a dot stops the line", "root@localhost or ann@host.org",
         "root@localhost or ann@host.org"},
        {"the walk back stops at a colon", "x:ann@host.org",
         "x:<a href=mailto:ann@host.org>ann@host.org</a>"},
        {"address in parentheses", "(ann@host.org)",
         "(<a href=mailto:ann@host.org>ann@host.org</a>)"},
        {"url at the end of a sentence", "See http://www.host.org/a.html.",
         "See <A HREF=http://www.host.org/a.html>http://www.host.org/a.html</A>."},
        {"url before a comma", "http://a.org/, then",
         "<A HREF=http://a.org/>http://a.org/</A>, then"},
        {"ftp url", "get ftp://ftp.host.org/pub/x.tar.",
         "get <A HREF=ftp://ftp.host.org/pub/x.tar>ftp://ftp.host.org/pub/x.tar</A>."},
        {"only upper case: left alone", "HTTP://HOST.ORG/", "HTTP://HOST.ORG/"},
        {"upper case before a lower-case url: left alone", "HTTP://A.ORG/ http://b.org/",
         "HTTP://A.ORG/ <A HREF=http://b.org/>http://b.org/</A>"},
        {"upper case after a lower-case url: linked", "http://b.org/ HTTP://A.ORG/",
         "<A HREF=http://b.org/>http://b.org/</A> <A HREF=HTTP://A.ORG/>HTTP://A.ORG/</A>"},
        {"url in angle brackets keeps the escaped bracket", "<http://a.org/>",
         "&lt;<A HREF=http://a.org/&gt;>http://a.org/&gt;</A>"},
        {"url and address on one line", "ann@a.org, see http://a.org/",
         "<a href=mailto:ann@a.org>ann@a.org</a>, see <A HREF=http://a.org/>http://a.org/</A>"},
        {"a colon after an address stays in it", "ann@a.org: hi",
         "<a href=mailto:ann@a.org:>ann@a.org:</a> hi"},
        {"address as the text of an anchor in the mail", "<a href=mailto:ann@a.org>ann@a.org</a>",
         "&lt;a href=mailto:<a href=mailto:ann@a.org>ann@a.org</a>&gt;ann@a.org&lt;/a&gt;"},
        {"an ftp scheme inside an http link is left alone", "http://a.org/?ftp://b.org/",
         "<A HREF=http://a.org/?ftp://b.org/>http://a.org/?ftp://b.org/</A>"},
        {"a url ends where an address anchor begins", "ftp://anon@ftp.a.org/",
         "<A HREF=ftp://>ftp://</A><a href=mailto:anon@ftp.a.org/>anon@ftp.a.org/</a>"},
        {"address right before a closing tag", "<b>ann@a.org></b>",
         "&lt;b&gt;ann@a.org&gt;&lt;/b&gt;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(Converted(c.in), c.out);
    }
}

// A byte below 0x21 inside a token ends it, so it can never open a second attribute.
TEST(MailTextConvert, ControlBytesEndTokens) {
    for (char control : {'\t', '\f', '\r', '\v', '\x01'}) {
        SCOPED_TRACE(static_cast<int>(control));
        const std::string c(1, control);
        EXPECT_EQ(Converted("ann@host.org" + c + "onmouseover=x"),
                  "<a href=mailto:ann@host.org>ann@host.org</a>" + c + "onmouseover=x");
        EXPECT_EQ(Converted("http://a.org/" + c + "onclick=x"),
                  "<A HREF=http://a.org/>http://a.org/</A>" + c + "onclick=x");
        EXPECT_EQ(Converted(c + "ann@host.org"),
                  c + "<a href=mailto:ann@host.org>ann@host.org</a>");
    }
}

TEST(MailTextBounds, EscapingIsNeverSkipped) {
    // The longest piece a spool line can give, all "<", then markup on the same line.
    const std::string line = std::string(999, '<') + "<script>ann@host.org http://a.org/";
    const std::string out = Converted(line);
    std::string expected;
    for (int i = 0; i < 1000; ++i)
        expected += "&lt;";
    expected += "script&gt;ann@host.org http://a.org/";  // no room left for links
    EXPECT_EQ(out, expected);
    EXPECT_EQ(out.find('<'), std::string::npos);
    EXPECT_EQ(out.find('>'), std::string::npos);

    const std::string gts = Converted(std::string(999, '>') + "<img src=x>");
    EXPECT_EQ(gts.find('<'), std::string::npos);
    EXPECT_EQ(gts.find('>'), std::string::npos);
}

TEST(MailTextBounds, LinkingStopsWhereTheLineWouldPassItsBound) {
    const std::string address900 = std::string(891, 'a') + "@host.org";
    ASSERT_EQ(address900.size(), 900u);
    // The anchor holds the address twice: 1820 bytes, still within the line's room.
    EXPECT_EQ(Converted("x " + address900),
              "x <a href=mailto:" + address900 + ">" + address900 + "</a>");
    // With 200 bytes in front the linked line would pass it: the line is kept as it is.
    const std::string front(200, 'x');
    EXPECT_EQ(Converted(front + " " + address900), front + " " + address900);

    const std::string longUrl = "http://a.org/" + std::string(600, 'p');
    const std::string text(1000, 't');
    EXPECT_EQ(Converted(text + " " + longUrl), text + " " + longUrl);
    EXPECT_EQ(Converted("u " + longUrl), "u <A HREF=" + longUrl + ">" + longUrl + "</A>");
}

TEST(MailTextBounds, NothingRawSurvivesHostileLines) {
    const std::string lines[] = {
        "<a href=\"x\" onclick=y>ann@a.org</a>",
        "ann@a.org\t<script>",
        "http://a.org/\"><script>alert(1)</script>",
        "ftp://a.org/\r<img src=x onerror=y>",
        "<<<@@@...>>> http://http://ftp://x.y",
        std::string(999, '@') + ".org <x>",
        "@@ a.b@c.d <x>",
    };
    for (const auto& line : lines) {
        SCOPED_TRACE(line.substr(0, 40));
        const std::string bare = WithoutOwnAnchors(Converted(line));
        EXPECT_EQ(bare.find('<'), std::string::npos) << bare;
        EXPECT_EQ(bare.find('>'), std::string::npos) << bare;
    }
}

TEST(MailTextLinkMailAddress, ReturnsWhereTheScanGoesOn) {
    std::string line = "to ann@a.org and bob@b.org";
    std::size_t pos = LinkMailAddress(line, 0, kMailLineBound);
    ASSERT_NE(pos, std::string::npos);
    EXPECT_EQ(line.substr(0, pos), "to <a href=mailto:ann@a.org>ann@a.org</a>");
    pos = LinkMailAddress(line, pos, kMailLineBound);
    ASSERT_NE(pos, std::string::npos);
    EXPECT_EQ(pos, line.size());
    EXPECT_EQ(LinkMailAddress(line, pos, kMailLineBound), std::string::npos);

    std::string anchorText = "&gt;ann@a.org&lt;/a&gt;";
    EXPECT_EQ(LinkMailAddress(anchorText, 0, kMailLineBound), anchorText.rfind("&gt;"));
    EXPECT_EQ(anchorText, "&gt;ann@a.org&lt;/a&gt;");
}
