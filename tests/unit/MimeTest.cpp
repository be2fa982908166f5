// Mail of `mime` mailboxes: header values decoded at read time, bodies and parts decoded at
// page time, and the bounds that hold against hostile shapes.
#include <gtest/gtest.h>
#include <glib.h>

#include <memory>
#include <sstream>
#include <string>

#include "server/Options.h"
#include "mail/MailboxNode.h"
#include "mail/MimeBody.h"
#include "mail/MimeText.h"
#include "MailTestFiles.h"

namespace {

bool ValidUtf8(const std::string& text) {
    return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr);
}

std::unique_ptr<CMailboxNode> ReadMime(CTempDir& dir, const std::string& spool, bool mime = true) {
    auto box =
        std::make_unique<CMailboxNode>(CFolderNode::NoScan{}, "box", dir.Write("mailbox", spool));
    auto options = std::make_shared<COptions>();
    options->m_mime = mime ? 1 : 0;
    box->m_options = options;
    box->ReadSpool(0);
    return box;
}

TEST(MimeHeaders, EncodedWordsFoldingAndCharsetsBecomeUtf8) {
    CTempDir dir;
    const std::string spool =
        "From x Mon Jan  9 10:11:12 1995\n"
        "From: =?utf-8?q?Ren=C3=A9e?= <renee@host>\n"
        "Subject: =?iso-8859-1?q?Caf=E9_au?=\n"
        " =?utf-8?b?IGxhaXQ=?= today\n"
        "Date: Mon, 9 Jan 1995 10:11:12\n"
        "\nbody\n"
        "From x Mon Jan  9 10:11:12 1995\n"
        "From: J\xf6rg M\xfcller <jm@host>\n"  // raw windows-1252, no charset anywhere
        "Subject: Gr\xfc\xdf"
        "e\n"
        "\nbody\n"
        "From x Mon Jan  9 10:11:12 1995\n"
        "From: \"Doe, John\" <jd@host>\n"
        "Subject: =?x-no-such-charset?q?abc?= " +
        std::string(150, 'x') +
        "\n"
        "\nbody\n";
    auto box = ReadMime(dir, spool);
    ASSERT_EQ(box->MessageCount(), 3);
    const CMessageNode* m0 = box->MessageByNumber(0);
    EXPECT_EQ(m0->m_fromName,
              "Ren\xc3\xa9"
              "e");
    EXPECT_EQ(m0->m_fromAddress, "renee@host");
    EXPECT_EQ(m0->m_subject, "Caf\xc3\xa9 au lait today");
    const CMessageNode* m1 = box->MessageByNumber(1);
    EXPECT_EQ(m1->m_fromName, "J\xc3\xb6rg M\xc3\xbcller");
    EXPECT_EQ(m1->m_subject,
              "Gr\xc3\xbc\xc3\x9f"
              "e");
    const CMessageNode* m2 = box->MessageByNumber(2);
    EXPECT_EQ(m2->m_fromName, "Doe, John");
    EXPECT_LE(m2->m_subject.size(), 100u);
    EXPECT_TRUE(ValidUtf8(m2->m_subject));

    // Without the keyword the same spool keeps its bytes: the raw word, one line of it.
    auto plain = ReadMime(dir, spool, false);
    EXPECT_EQ(plain->MessageByNumber(0)->m_subject, "=?iso-8859-1?q?Caf=E9_au?=");
    EXPECT_EQ(plain->MessageByNumber(1)->m_fromName, "J\xf6rg M\xfcller");
}

TEST(MimeHeaders, RawBytesTakeTheMessagesCharsetAndWordsMayHoldTheAddress) {
    CTempDir dir;
    const std::string spool =
        "From x Mon Jan  9 10:11:12 1995\n"
        "From: \xa4\xa4\xa4\xe5 <zh@host>\n"  // raw big5: the two characters of "Chinese"
        "Subject: [list] \xa4\xa4\xa4\xe5\n"
        "Content-Type: text/plain;\n\tcharset=\"big5\"\n"  // the charset on a folded line
        "\nbody\n"
        // A charset in a part of the body is not the message's: raw bytes stay windows-1252.
        // An encoded word that holds the address too is still decoded.
        "From x Mon Jan  9 10:11:12 1995\n"
        "From: =?utf-8?q?Ren=C3=A9e_<renee@host>?=\n"
        "Subject: Caf\xe9\n"
        "Content-Type: multipart/mixed; boundary=b\n"
        "\n--b\nContent-Type: text/plain; charset=big5\n\nx\n--b--\n";
    auto box = ReadMime(dir, spool);
    ASSERT_EQ(box->MessageCount(), 2);
    EXPECT_EQ(box->MessageByNumber(0)->m_fromName, "\xe4\xb8\xad\xe6\x96\x87");
    EXPECT_EQ(box->MessageByNumber(0)->m_subject, "[list] \xe4\xb8\xad\xe6\x96\x87");
    EXPECT_EQ(box->MessageByNumber(1)->m_subject, "Caf\xc3\xa9");
    EXPECT_EQ(box->MessageByNumber(1)->m_fromName,
              "Ren\xc3\xa9"
              "e");
    EXPECT_EQ(box->MessageByNumber(1)->m_fromAddress, "renee@host");
}

TEST(MimeHeaders, CutsNeverSplitACharacter) {
    std::string text = "ab\xc3\xa9";  // "abé"
    CutUtf8(text, 3);
    EXPECT_EQ(text, "ab");
    std::string subject = "Subject: " + std::string(99, 'a') + "\xc3\xa9\xc3\xa9";
    std::string decoded = DecodeSubjectLine(subject);
    EXPECT_EQ(decoded, std::string(99, 'a'));
    EXPECT_EQ(Utf8Prefix("\xc3\xa9\xc3\xa9x", 2), 4u);
    // A plain value cut by bytes in the middle of a UTF-8 sequence is still read as UTF-8.
    EXPECT_EQ(Utf8HeaderValue("caf\xc3\xa9 caf\xc3", 80), "caf\xc3\xa9 caf");
}

TEST(MimeBodies, QuotedPrintableHtmlOnlyAndAttachments) {
    CMimeBody qp = ReadMimeBody(
        "Content-Type: text/plain; charset=iso-8859-1\n"
        "Content-Transfer-Encoding: quoted-printable\n\n"
        "Caf=E9 soft=\nbreak\n");
    EXPECT_EQ(qp.m_text, "Caf\xc3\xa9 softbreak\n");
    EXPECT_TRUE(qp.m_parts.empty());

    CMimeBody html = ReadMimeBody(
        "Content-Type: text/html\n\n"
        "<html><head><title>T</title><style>p{}</style></head><body><p>5 &lt; 6 &amp; "
        "<b>bold</b></p><script>alert(1)</script><img src=http://x/y.gif>Gr\xfc\xdf</body>"
        "</html>\n");
    EXPECT_EQ(html.m_text.find('<'), html.m_text.find("5 < 6") + 2);
    EXPECT_NE(html.m_text.find("5 < 6 & bold"), std::string::npos) << html.m_text;
    EXPECT_EQ(html.m_text.find("alert"), std::string::npos);
    EXPECT_EQ(html.m_text.find("y.gif"), std::string::npos);
    EXPECT_NE(html.m_text.find("Gr\xc3\xbc\xc3\x9f"), std::string::npos);  // undeclared: 1252
    CMimeBody meta = ReadMimeBody(
        "Content-Type: text/html; charset=utf-8\n\n<html><head><meta charset=\"big5\"></head>"
        "<body>Gr\xc3\xbc\xc3\x9f"
        "e</body></html>\n");
    EXPECT_EQ(meta.m_text,
              "Gr\xc3\xbc\xc3\x9f"
              "e");

    const std::string mixed =
        "Content-Type: multipart/mixed; boundary=B\n\n"
        "--B\nContent-Type: multipart/alternative; boundary=A\n\n"
        "--A\nContent-Type: text/plain\n\nplain text\n"
        "--A\nContent-Type: text/html\n\n<p>html text</p>\n--A--\n"
        "--B\nContent-Type: image/png; name=\"dot.png\"\nContent-Transfer-Encoding: base64\n\n"
        "iVBORw0KGgo=\n"
        "--B--\n";
    CMimeBody body = ReadMimeBody(mixed);
    EXPECT_EQ(body.m_text, "plain text");
    ASSERT_EQ(body.m_parts.size(), 2u);
    EXPECT_EQ(body.m_parts[0].m_type, "text/html");
    EXPECT_EQ(body.m_parts[1].m_number, 3);
    EXPECT_EQ(body.m_parts[1].m_name, "dot.png");
    EXPECT_EQ(body.m_parts[1].m_type, "image/png");
    EXPECT_EQ(body.m_parts[1].m_size, 8u);
    CMimePartBytes png;
    ASSERT_TRUE(ReadMimePart(mixed, 3, png));
    EXPECT_EQ(png.m_bytes, std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_FALSE(ReadMimePart(mixed, 4, png));
}

TEST(MimeBodies, ListMailHeadersAroundTheMimeFields) {
    // Folded fields of every kind around a Content-Type whose boundary is on its second line;
    // an indented line that reads like a field belongs to the field above it.
    const std::string listMail =
        "Received: from a (a [10.0.0.1])\r\n\tby b; Mon, 9 Jan 1995 10:11:12\r\n"
        "X-Note: one\r\n Content-Type: text/html\r\n"
        "Content-Type: multipart/mixed;\r\n boundary=\"b 1\"\r\n"
        "List-Id: <list.example>\r\n"
        "MIME-Version: 1.0\r\n\r\n"
        "--b 1\r\nContent-Type: text/plain\r\n\r\nfirst\r\n"
        "--b 1\r\nContent-Type: text/csv; name=a.csv\r\n\r\n1,2\r\n--b 1--\r\n";
    CMimeBody body = ReadMimeBody(listMail);
    EXPECT_EQ(body.m_text.substr(0, 5), "first");
    ASSERT_EQ(body.m_parts.size(), 1u);
    EXPECT_EQ(body.m_parts[0].m_name, "a.csv");
    CMimePartBytes csv;
    ASSERT_TRUE(ReadMimePart(listMail, 2, csv));
    EXPECT_EQ(csv.m_bytes.substr(0, 3), "1,2");

    // A line in the header block that is no field is passed over; the fields after it count.
    CMimeBody stray =
        ReadMimeBody("Subject: s\nno field here\nContent-Type: text/html\n\n<b>x</b>\n");
    EXPECT_EQ(stray.m_text.find("no field"), std::string::npos) << stray.m_text;
    EXPECT_EQ(stray.m_text.find("<b>"), std::string::npos) << stray.m_text;
    EXPECT_NE(stray.m_text.find('x'), std::string::npos);
}

TEST(MimeBodies, HostileShapesStayBoundedAndSaySo) {
    // Nesting past the bound: the inner text is not reached, and the page says why.
    std::string deep = "Content-Type: multipart/mixed; boundary=b0\n\n";
    for (int i = 1; i <= 30; ++i)
        deep += "--b" + std::to_string(i - 1) + "\nContent-Type: multipart/mixed; boundary=b" +
                std::to_string(i) + "\n\n";
    deep += "--b30\nContent-Type: text/plain\n\ndeep inside\n";
    CMimeBody nested = ReadMimeBody(deep);
    EXPECT_EQ(nested.m_text.find("deep inside"), std::string::npos);
    ASSERT_FALSE(nested.m_skipped.empty());
    EXPECT_NE(nested.m_skipped[0].find("deeper than 20"), std::string::npos);

    std::string many = "Content-Type: multipart/mixed; boundary=X\n\n";
    for (int i = 0; i < 1500; ++i)
        many += "--X\nContent-Type: application/octet-stream\n\nz\n";
    many += "--X--\n";
    CMimeBody wide = ReadMimeBody(many);
    EXPECT_EQ(wide.m_parts.size(), 1000u);
    ASSERT_EQ(wide.m_skipped.size(), 1u);

    CMimeBody broken = ReadMimeBody(
        "Content-Type: text/plain; charset=x-unknown-thing\n"
        "Content-Transfer-Encoding: base64\n\n"
        "aGVs!!bG8g\xff\xfe"
        "d29y*bGQ=\n");
    EXPECT_TRUE(ValidUtf8(broken.m_text));
    EXPECT_NE(broken.m_text.find("hel"), std::string::npos) << broken.m_text;
    ASSERT_EQ(broken.m_skipped.size(), 2u);
    std::string notes = broken.m_skipped[0] + "|" + broken.m_skipped[1];
    EXPECT_NE(notes.find("not base64"), std::string::npos);
    EXPECT_NE(notes.find("x-unknown-thing"), std::string::npos);
}

TEST(MimeKeyword, ComesFromVantrelCfgOnly) {
    COptions fromFile;
    std::istringstream cfg("topics\nmime\n");
    fromFile.ReadOptionsFile(cfg);
    EXPECT_EQ(fromFile.m_mime, 1);
    COptions fromQuery;
    fromQuery.ParseOptions("MIME&mime=1");
    EXPECT_EQ(fromQuery.m_mime, 0);
}

}  // namespace
