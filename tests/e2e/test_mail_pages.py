"""Mail archive pages end to end: the mailbox index in every order, message pages with their
navigation, the links that carry the reader's view, and mail text turned into HTML. Whole
replies are compared byte for byte; only the Date header line is matched by pattern."""

import re
import unittest

import harness

# Five messages: 0 "lunch?" with replies 1 (by reference) and 3 (by subject), roots 2 and 4.
SPOOL = (
    "From ???@??? Mon Jan 09 10:11:12 1995\n"
    "From: Ann Lee <ann@host.org>\n"
    "Subject: lunch?\n"
    "Date: Mon, 9 Jan 1995 10:11:12 -0800\n"
    "Message-Id: <1@host.org>\n"
    "\n"
    "Shall we?\n"
    "From ???@??? Mon Jan 09 11:00:00 1995\n"
    "From: bob@host.org (Bob)\n"
    "Subject: Re: lunch?\n"
    "Date: Mon, 9 Jan 1995 11:00:00 -0800\n"
    "In-Reply-To: <1@host.org>\n"
    "\n"
    "> Shall we?\n"
    "Yes.\n"
    "From ???@??? Tue Jan 10 09:00:00 1995\n"
    "From: Zed <zed@host.org>\n"
    "Subject: plans\n"
    "Date: Tue, 10 Jan 1995 09:00:00 -0800\n"
    "\n"
    "None yet.\n"
    "From ???@??? Wed Jan 11 12:00:00 1995\n"
    "From: Carl <carl@host.org>\n"
    "Subject: Re: lunch?\n"
    "Date: Wed, 11 Jan 1995 12:00:00 -0800\n"
    "\n"
    "Me too.\n"
    "From ???@??? Sun Jan 08 08:00:00 1995\n"
    "From: <dee@host.org>\n"
    "Subject: a<b\n"
    "Date: Sun, 8 Jan 1995 08:00:00 -0800\n"
    "\n"
    "Angle <b>bold</b> and a<b>c\n"
    "> quoted <line>\n"
    "not > quoted\n"
    "Mail first.last@host.org or my-name@host.org today\n"
    "@home ann@host.org\n"
    "See http://www.host.org/a.html. Or ftp://ftp.host.org/pub, now\n"
    "HTTP://UPPER.HOST.ORG/ only\n"
    "---------- Forwarded message: ----------\n"
    "From: Someone <some@host.org>\n"
    "forwarded & kept\n"
)

FILES = {
    "topics/vantrel.cfg": "topics\n",
    "topics/list/vantrel.cfg": "title=Lunch <list>\ntail=Bye\n",
    "topics/list/mailbox": SPOOL,
}
ICONS = ["up.gif", "back.gif", "vrml.gif", "tptext.gif", "tpfldopn.gif", "tpfldcls.gif",
         "forward.gif", "tpthrdhd.gif", "tpthrdnx.gif", "mailto.gif"]
ICON_FILES = dict(FILES, **{"icons/vantrel.cfg": "icons\n"},
                  **{"icons/" + name: "GIF89a" for name in ICONS})

HEAD = re.compile(rb"\AHTTP/1\.0 200 Document follows\r\nServer: Zephrin/0\.9b3\r\n"
                  rb"Date: [A-Za-z]+, \d\d-[A-Za-z]{3}-\d\d \d\d:\d\d:\d\d GMT\r\n"
                  rb"Content-type: text/html\r\n\r\n")

BOX = "/topics/list/"
SORT_ROW = ("<Table Width=675 border=0> <Caption> <h2>Mailbox list</h2></Caption>"
            "<TH Align=Left Width=25> "
            "<TH Align=Left width=200><a href=/topics/list/?SORT=FROM>From</a>"
            "<TH Align=Left width=350><a href=/topics/list/?SORT=SUBJECT>Subject</a>"
            "<TH Align=Left width=100><a href=/topics/list/?SORT=DATE>Date</a><BR>")
TOP_REOPEN = ("</TABLE><A NAME=TOP> </a><TABLE Width=675 border=0>"
              "<TR><TH width=25></TH><TH width=200></TH><TH width=350></TH><TH width=100></TH></TR>")

# Row texts of each message: sender, subject, own date key.
TEXTS = {
    0: ("Ann Lee", "lunch?", "01/09/95 10:11"),
    1: ("Bob", "Re: lunch?", "01/09/95 11:00"),
    2: ("Zed", "plans", "01/10/95 09:00"),
    3: ("Carl", "Re: lunch?", "01/11/95 12:00"),
    4: ("dee@host.org", "a&lt;b", "01/08/95 08:00"),
}


def row(number, link, icon=None, date=None, top=False):
    sender, subject, own_date = TEXTS[number]
    cell = ("<TR><TD Width=25><a href=%s><img border=0 src=/icons/%s></a> </td>" % (link, icon)
            if icon else "<TR><TD Width=25><a href=%s> </a> </td>" % link)
    return ((TOP_REOPEN if top else "") + cell +
            "<TD Width=200> <a href=%s>%s</a>" % (link, sender) +
            "<TD Width=350> <a href=%s>%s</a>" % (link, subject) +
            "<TD Width=100> <a href=%s>%s</a><BR></TR>\r\n" % (link, date or own_date))


def index_page(rows, top_anchor=True, sorted_view=False, icons=False):
    page = "<HEAD><TITLE>Mailbox Lunch &lt;list></TITLE></HEAD>\r\n<BODY>\r\n"
    if top_anchor:
        page += "<A NAME=TOP> </a><p>\r\n"
    page += ("<table Width=100% border=0><td><A HREF=/topics/"
             + ("><img border=0 src=/icons/up.gif>" if icons else ">UP") + "[UP]</A></TD>\r\n")
    if sorted_view:
        page += ("<TD><A HREF=/topics/list/"
                 + ("><img border=0 src=/icons/back.gif" if icons else "")
                 + ">Original order & threaded</A></TD>\r\n")
    page += ("<td align=Right><A HREF=/topics/?SCENE>[VRML]"
             + ("<img src=/icons/vrml.gif>" if icons else "VRML") + "</A></TD></TABLE><HR>\r\n")
    page += SORT_ROW + "".join(rows)
    page += "</TABLE><HR>\r\nBye\r\n<br><p><br><p><br><p><br><p><br><p>\r\n</BODY>\r\n"
    return page


def cell(url, text, icon=None, width=130):
    if not url:
        return "<TD Width=130> </TD>\r\n"
    img = "><img border=0 align=middle src=/icons/%s" % icon if icon else ""
    return "<TD Width=%d><A HREF=%s%s>%s </a></TD>\r\n" % (width, url, img, text)


def message_page(number, up, prev, next_, top, next_in_thread, body, sort=None, icons=False):
    sender, subject, _ = TEXTS[number]
    address, date = {
        0: ("ann@host.org", "Mon, 9 Jan 1995 10:11:12 -0800"),
        1: ("bob@host.org", "Mon, 9 Jan 1995 11:00:00 -0800"),
        2: ("zed@host.org", "Tue, 10 Jan 1995 09:00:00 -0800"),
        3: ("carl@host.org", "Wed, 11 Jan 1995 12:00:00 -0800"),
        4: ("dee@host.org", "Sun, 8 Jan 1995 08:00:00 -0800"),
    }[number]
    i = (lambda name: name) if icons else (lambda name: None)
    page = "<HEAD><TITLE>Msg:%s</TITLE></HEAD>\r\n<BODY>\r\n" % subject
    page += "<TABLE  Width=390 border=1><TR>"
    page += cell(up, "UP", i("up.gif"))
    page += cell(prev, "Prev msg", i("back.gif"))
    page += cell(next_, "Next msg", i("forward.gif"), width=150)
    page += "</TR><TR>\r\n"
    page += cell(top, "Top of thread", i("tpthrdhd.gif"))
    page += cell(next_in_thread, "Next in thread", i("tpthrdnx.gif"))
    page += cell("mailto:list@localhost", "Reply", i("mailto.gif"))
    page += "</TR> </TABLE><br>"
    if sort:
        page += "<h3>Messages sorted by %s</h3>" % sort
    page += "<p><hr>\r\n<Table border=5> "
    page += ("<TR><TD Align=Left><I>From:</TD><TD Align=Left><A href=mailto:%s><I>%s</A></TD>"
             "<BR></TR>\r\n" % (address, sender))
    page += "<TR><TD Align=Left><I>Subject:</TD><TD Align=Left><I>%s</TD><BR></TR>\r\n" % subject
    page += "<TR><TD Align=Left><I>Date:</TD><TD Align=Left><I>%s</TD><BR></TR>\r\n" % date
    page += "</Table>\r\n"
    page += "".join(line + "\r\n" for line in body)
    page += "<HR>\r\nBye\r\n</BODY>\r\n"
    return page


BODY_1 = ["<br>", "<i> Shall we?</i><br>", "Yes.<br>"]
BODY_0 = ["<br>", "Shall we?<br>"]
BODY_4 = [
    "<br>",
    "Angle &lt;b&gt;bold&lt;/b&gt; and a&lt;b&gt;c<br>",
    "<i> quoted &lt;line&gt;</i><br>",
    "not &gt; quoted<br>",
    "Mail <a href=mailto:first.last@host.org>first.last@host.org</a> or "
    "my-<a href=mailto:name@host.org>name@host.org</a> today<br>",
    "@home ann@host.org<br>",
    "See <A HREF=http://www.host.org/a.html>http://www.host.org/a.html</A>. "
    "Or <A HREF=ftp://ftp.host.org/pub>ftp://ftp.host.org/pub</A>, now<br>",
    "HTTP://UPPER.HOST.ORG/ only<br>",
    "---------- Forwarded message: ----------<br>",
    "From: Someone &lt;<a href=mailto:some@host.org>some@host.org</a>&gt;<br>",
    "forwarded & kept<br>",
]


class MailPagesCase(unittest.TestCase):
    files = FILES

    @classmethod
    def setUpClass(cls):
        cls.site = harness.Site(files=cls.files).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.site.__exit__(None, None, None)

    def assertPage(self, path, expected):
        reply = self.site.request(("GET %s HTTP/1.0\r\n\r\n" % path).encode("latin-1"))
        head = HEAD.match(reply)
        self.assertIsNotNone(head, reply[:300])
        self.assertEqual(reply[head.end():].decode("latin-1"), expected)


class IndexPage(MailPagesCase):
    def test_threaded_orders(self):
        cases = [
            ("", index_page([
                row(4, BOX + "4?TOPOFLIST=4"),
                row(2, BOX + "2?TOPOFLIST=2"),
                row(0, BOX + "0#TOP?TOPOFLIST=0", date="01/11/95 12:00"),
            ])),
            ("?EXPAND=0", index_page([
                row(4, BOX + "4?EXPAND=0&TOPOFLIST=4"),
                row(2, BOX + "2?EXPAND=0&TOPOFLIST=2"),
                row(0, BOX + "0/?EXPAND=0&TOPOFLIST=0"),
                row(1, BOX + "1?EXPAND=0&TOPOFLIST=1"),
                row(3, BOX + "3?EXPAND=0&TOPOFLIST=3"),
            ])),
            # A reply's number opens nothing.
            ("?EXPAND=1", index_page([
                row(4, BOX + "4?EXPAND=1&TOPOFLIST=4"),
                row(2, BOX + "2?EXPAND=1&TOPOFLIST=2"),
                row(0, BOX + "0#TOP?EXPAND=1&TOPOFLIST=0", date="01/11/95 12:00"),
            ])),
            ("?TOPOFLIST=2", index_page([
                row(4, BOX + "4?TOPOFLIST=4"),
                row(2, BOX + "2?TOPOFLIST=2", top=True),
                row(0, BOX + "0#TOP?TOPOFLIST=0", date="01/11/95 12:00"),
            ], top_anchor=False)),
            # No listed row has number 9: no anchor at all.
            ("?TOPOFLIST=9", index_page([
                row(4, BOX + "4?TOPOFLIST=4"),
                row(2, BOX + "2?TOPOFLIST=2"),
                row(0, BOX + "0#TOP?TOPOFLIST=0", date="01/11/95 12:00"),
            ], top_anchor=False)),
            # A closed root asked for on its own opens its thread at its row.
            ("0", index_page([
                row(4, BOX + "4?EXPAND=0&TOPOFLIST=4"),
                row(2, BOX + "2?EXPAND=0&TOPOFLIST=2"),
                row(0, BOX + "0/?EXPAND=0&TOPOFLIST=0", top=True),
                row(1, BOX + "1?EXPAND=0&TOPOFLIST=1"),
                row(3, BOX + "3?EXPAND=0&TOPOFLIST=3"),
            ], top_anchor=False)),
        ]
        for query, expected in cases:
            with self.subTest(query=query):
                self.assertPage(BOX + query, expected)

    def test_sorted_orders(self):
        def sorted_rows(order, sort):
            return [row(n, "%s%d%s?SORT=%s&TOPOFLIST=%d" % (BOX, n, "", sort, n)) for n in order]
        cases = [
            ("?SORT=FROM", sorted_rows([4, 0, 1, 3, 2], "FROM")),
            ("?SORT=SUBJECT", sorted_rows([1, 3, 4, 0, 2], "SUBJECT")),
            ("?SORT=DATE", sorted_rows([4, 0, 1, 2, 3], "DATE")),
            ("?SORT=date", sorted_rows([4, 0, 1, 2, 3], "DATE")),
            # Not a sort word: every message, newest first.
            ("?SORT=THREADS", sorted_rows([4, 3, 2, 1, 0], "THREADS")),
        ]
        for query, rows in cases:
            with self.subTest(query=query):
                self.assertPage(BOX + query, index_page(rows, sorted_view=True))

    def test_echoed_sort_cannot_open_markup(self):
        reply = self.site.request(b"GET /topics/list/?SORT=<B>X HTTP/1.0\r\n\r\n")
        body = reply[HEAD.match(reply).end():].decode("latin-1")
        self.assertIn("<a href=/topics/list/4?SORT=&lt;B&gt;X&TOPOFLIST=4>", body)
        self.assertNotIn("<B>", body)


class IndexPageWithIcons(MailPagesCase):
    files = ICON_FILES

    def test_icons(self):
        cases = [
            ("", index_page([
                row(4, BOX + "4?TOPOFLIST=4", icon="tptext.gif"),
                row(2, BOX + "2?TOPOFLIST=2", icon="tptext.gif"),
                row(0, BOX + "0#TOP?TOPOFLIST=0", icon="tpfldcls.gif", date="01/11/95 12:00"),
            ], icons=True)),
            ("?EXPAND=0", index_page([
                row(4, BOX + "4?EXPAND=0&TOPOFLIST=4", icon="tptext.gif"),
                row(2, BOX + "2?EXPAND=0&TOPOFLIST=2", icon="tptext.gif"),
                row(0, BOX + "0/?EXPAND=0&TOPOFLIST=0", icon="tpfldopn.gif"),
                row(1, BOX + "1?EXPAND=0&TOPOFLIST=1"),
                row(3, BOX + "3?EXPAND=0&TOPOFLIST=3"),
            ], icons=True)),
            ("?SORT=DATE", index_page(
                [row(n, "%s%d?SORT=DATE&TOPOFLIST=%d" % (BOX, n, n), icon="tptext.gif")
                 for n in [4, 0, 1, 2, 3]], sorted_view=True, icons=True)),
        ]
        for query, expected in cases:
            with self.subTest(query=query):
                self.assertPage(BOX + query, expected)

    def test_message_page_icons(self):
        self.assertPage(BOX + "1", message_page(
            1, BOX[:-1] + "#TOP?TOPOFLIST=1", BOX + "2?TOPOFLIST=1",
            BOX + "0/?EXPAND=0&TOPOFLIST=1", BOX + "0/?EXPAND=0&TOPOFLIST=1",
            BOX + "3?TOPOFLIST=1", BODY_1, icons=True))


class MessagePage(MailPagesCase):
    def test_threaded_navigation(self):
        up = BOX[:-1] + "#TOP"
        cases = [
            ("newest, a root without replies", "4", message_page(
                4, up + "?TOPOFLIST=4", None, BOX + "2?TOPOFLIST=4", None, None, BODY_4)),
            ("a reply", "1", message_page(
                1, up + "?TOPOFLIST=1", BOX + "2?TOPOFLIST=1",
                BOX + "0/?EXPAND=0&TOPOFLIST=1", BOX + "0/?EXPAND=0&TOPOFLIST=1",
                BOX + "3?TOPOFLIST=1", BODY_1)),
            ("the last reply", "3", message_page(
                3, up + "?TOPOFLIST=3", BOX + "4?TOPOFLIST=3", BOX + "2?TOPOFLIST=3",
                BOX + "0/?EXPAND=0&TOPOFLIST=3", None, ["<br>", "Me too.<br>"])),
            ("oldest, an opened root", "0?EXPAND=0", message_page(
                0, up + "?EXPAND=0&TOPOFLIST=0", BOX + "2?EXPAND=0&TOPOFLIST=0", None, None,
                BOX + "1?EXPAND=0&TOPOFLIST=0", BODY_0)),
            ("a root asked for by a trailing slash link", "0/?EXPAND=0", message_page(
                0, up + "?EXPAND=0&TOPOFLIST=0", BOX + "2?EXPAND=0&TOPOFLIST=0", None, None,
                BOX + "1?EXPAND=0&TOPOFLIST=0", BODY_0)),
        ]
        for label, path, expected in cases:
            with self.subTest(label):
                self.assertPage(BOX + path, expected)

    def test_sorted_navigation(self):
        up = BOX[:-1] + "#TOP"
        root = BOX + "0/?SORT=%s&EXPAND=0&TOPOFLIST=1"
        cases = [
            ("FROM", BOX + "0/?SORT=FROM&EXPAND=0&TOPOFLIST=1", BOX + "3?SORT=FROM&TOPOFLIST=1"),
            ("SUBJECT", None, BOX + "3?SORT=SUBJECT&TOPOFLIST=1"),
            ("DATE", BOX + "0/?SORT=DATE&EXPAND=0&TOPOFLIST=1", BOX + "2?SORT=DATE&TOPOFLIST=1"),
            ("THREADS", BOX + "2?SORT=THREADS&TOPOFLIST=1",
             BOX + "0/?SORT=THREADS&EXPAND=0&TOPOFLIST=1"),
        ]
        for sort, prev, next_ in cases:
            with self.subTest(sort):
                self.assertPage(BOX + "1?SORT=" + sort, message_page(
                    1, up + "?SORT=%s&TOPOFLIST=1" % sort, prev, next_, root % sort,
                    BOX + "3?SORT=%s&TOPOFLIST=1" % sort, BODY_1, sort=sort))
        # With a sort a closed root shows its own page, its thread cell pointing at a reply.
        self.assertPage(BOX + "0?SORT=DATE", message_page(
            0, up + "?SORT=DATE&TOPOFLIST=0", BOX + "4?SORT=DATE&TOPOFLIST=0",
            BOX + "1?SORT=DATE&TOPOFLIST=0", None, BOX + "1?SORT=DATE&TOPOFLIST=0", BODY_0,
            sort="DATE"))

    def test_link_examples(self):
        # A page of message 4 (a plain message) asked with sort FROM and expand 2: its up link;
        # the link to a plain message and to a thread root with replies without options.
        reply = self.site.request(b"GET /topics/list/4?SORT=FROM&EXPAND=2 HTTP/1.0\r\n\r\n")
        self.assertIn(b"<A HREF=/topics/list#TOP?SORT=FROM&EXPAND=2&TOPOFLIST=4>UP ", reply)
        reply = self.site.request(b"GET /topics/list/1 HTTP/1.0\r\n\r\n")
        self.assertIn(b"<A HREF=/topics/list/3?TOPOFLIST=1>Next in thread ", reply)
        self.assertIn(b"<A HREF=/topics/list/0/?EXPAND=0&TOPOFLIST=1>Next msg ", reply)
        # An expand value without digits counts as 0.
        reply = self.site.request(b"GET /topics/list/4?EXPAND=X HTTP/1.0\r\n\r\n")
        self.assertIn(b"<A HREF=/topics/list/2?EXPAND=0&TOPOFLIST=4>Next msg ", reply)

    def test_missing_message_and_missing_spool(self):
        status, _, _ = self.site.get(BOX + "5")
        self.assertNotIn("200", status)
        spool = self.site.root / "topics" / "list" / "mailbox"
        moved = spool.with_name("kept")
        spool.rename(moved)
        try:
            reply = self.site.request(b"GET /topics/list/2 HTTP/1.0\r\n\r\n")
        finally:
            moved.rename(spool)
        self.assertTrue(reply.endswith(
            b"</Table>\r\n<STRONG> Message spool file not available\r\n"), reply[-200:])
        self.assertIn("Could not open mail spool file", self.site.stderr())


class DemoArchive(unittest.TestCase):
    """Follows every link of the demo's mail archive as a browser would (a fragment, and so a
    query after "#TOP", is not sent): every page answers whole."""

    def test_every_link_answers(self):
        link = re.compile(r"(?i)<a href=([^ >]+)>")
        with harness.Site(demo=True) as site:
            messages = set()

            def visit(path, status, _, body):
                self.assertEqual(status, "HTTP/1.0 200 Document follows", path)
                text = body.decode("latin-1")
                self.assertTrue(text.endswith("</BODY>\r\n"), path)
                if text.startswith("<HEAD><TITLE>Msg:"):
                    messages.add(path.split("?")[0].rstrip("/"))
                hrefs = (href.split("#")[0] for href in link.findall(text))
                # Parts of a message are downloads, not pages.
                return [href for href in hrefs if href.startswith("/topics/")
                        and not href.endswith("?SCENE") and "/part/" not in href]

            harness.crawl(site, ["/topics/general/", "/topics/vrml-talk/"], visit)
            # Every message of both spools has been reached through the pages' own links.
            self.assertEqual(len({m for m in messages if m.startswith("/topics/general/")}), 10)
            self.assertEqual(len({m for m in messages if m.startswith("/topics/vrml-talk/")}), 5)


if __name__ == "__main__":
    unittest.main()
