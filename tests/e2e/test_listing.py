"""Folder listings over HTTP: whole pages byte for byte (dates as the server's clock gives
them), icons or their text stand-ins, index files, the "New!" window, long names, big sizes,
HEAD and a requested content type."""

import os
import re
import time
import unittest

from harness import Site, parse_reply

DAY = 24 * 60 * 60
OLD = 1000000000  # 2001-09-09: far outside the "New!" window
NOW = int(time.time())

# The server keeps the C locale, as Python does for time formatting unless told otherwise.
HTTP_DATE = r"[A-Z][a-z]+day, \d\d-[A-Z][a-z]{2}-\d\d \d\d:\d\d:\d\d GMT"
LIST_TIME = r"[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-3]\d \d\d:\d\d:\d\d \d{4}"


def ctime(seconds):
    return time.strftime("%c", time.localtime(seconds))


class ListingSite(Site):
    """A Site whose files get chosen modification times and sparse sizes before start-up."""

    def __init__(self, files=None, times=None, sparse=None, **kwargs):
        super().__init__(files=files, **kwargs)
        self.times = dict(times or {})
        self.sparse = dict(sparse or {})

    def _build(self):
        super()._build()
        for rel, size in self.sparse.items():
            path = self.root / rel
            path.parent.mkdir(parents=True, exist_ok=True)
            with open(path, "wb") as f:
                f.truncate(size)
        # Deepest first, so setting a folder's time is the last change inside it.
        for rel, seconds in sorted(self.times.items(), key=lambda item: -item[0].count("/")):
            os.utime(self.root / rel, (seconds, seconds))


def row(name, size, seconds, icon="", url=None, new=""):
    """One listing row as the page writes it."""
    shown = name[:40]
    return ("<TR><TD>%s</TD><TD WIDTH=40%%><A HREF=\"%s\">%s</A>%s</TD><TD ALIGN=RIGHT>%10d  </TD>"
            "<TD ALIGN=RIGHT>%s</TD><TD>%s</TD><BR></TR>"
            % (('<IMG SRC="%s">' % icon) if icon else "", url or "/" + name, shown.replace("<", "&lt;"),
               " " * (40 - len(shown)), size, ctime(seconds), new))


def page(caption, top, rows, head="", tail=""):
    return ("<HEAD><TITLE>%s</TITLE></HEAD>\r\n<BODY>\r\n<H2>%s</H2>\r\n"
            "<HR><TABLE WIDTH=100%%><TR>%s</TR></TABLE><BR><HR>\r\n%s\r\n"
            "<PRE><TABLE BORDER=0 CELLSPACING=0 CELLPADDING=0>\r\n%s</TABLE></PRE><HR>\r\n%s\r\n</BODY>\r\n"
            % (caption, caption, top, head, "".join(rows), tail))


LISTING_HEADER = re.compile(
    r"HTTP/1\.0 200 Document follows\r\nServer: Zephrin/0\.9b3\r\nLast-Modified: (%s)\r\n"
    r"Content-type: ([A-Za-z/]+)\r\n\r\n" % HTTP_DATE)

LONG_NAME = "A-name-of-forty-five-characters-for-the-cut.x"  # 45 bytes, kind "x"
FILES = {
    "Docs/readme.txt": "read me\n",
    "Docs/notes.html": "<P>notes</P>\n",
    "b.txt": "hello",
    "a<b.txt": "less",
    "nine-days.txt": "9",
    "eleven-days.txt": "11",
    LONG_NAME: "",
    "Empty/.hidden": "not published",
}
TIMES = {"Docs/readme.txt": OLD, "Docs/notes.html": OLD + DAY, "Docs": OLD + 2 * DAY, "b.txt": OLD,
         "a<b.txt": OLD, "nine-days.txt": NOW - 9 * DAY, "eleven-days.txt": NOW - 11 * DAY, LONG_NAME: OLD,
         "big.bin": OLD + 3 * DAY, "Empty": OLD}
SPARSE = {"big.bin": 1234567}
ICONS = {"icons/vantrel.cfg": "icons\n", "icons/up.gif": "u", "icons/vrml.gif": "v", "icons/new.gif": "n",
         "icons/Folder.gif": "f", "icons/txt.gif": "t", "icons/Default.gif": "d"}
ICON_TIMES = {"icons/" + name: OLD for name in ("up.gif", "vrml.gif", "new.gif", "Folder.gif", "txt.gif",
                                                "Default.gif")}
ICON_TIMES["icons"] = OLD


def assert_listing(test, reply, body, content_type="text/html"):
    """The whole reply: the listing's header block, then exactly `body`."""
    match = LISTING_HEADER.match(reply.decode("latin-1"))
    test.assertIsNotNone(match, reply[:300])
    test.assertEqual(match.group(2), content_type)
    test.assertEqual(parse_reply(reply)[2].decode("latin-1"), body)


class ListingPages(unittest.TestCase):

    def test_root_page_without_icons_folder(self):
        with ListingSite(FILES, TIMES, SPARSE) as site:
            reply = site.request(b"GET / HTTP/1.0\r\n\r\n")
        rows = [
            row("Docs", 8 + 13, OLD + 2 * DAY, url="/Docs/"),
            row(LONG_NAME, 0, OLD),  # "-" sorts before "<"
            row("a<b.txt", 4, OLD, url="/a%3Cb.txt"),
            row("b.txt", 5, OLD),
            row("big.bin", 1234567, OLD + 3 * DAY),
            row("eleven-days.txt", 2, NOW - 11 * DAY),
            row("Empty", 0, OLD),
            row("nine-days.txt", 1, NOW - 9 * DAY, new="New!"),
        ]
        expected = page("Directory listing for: ", '<TD ALIGN=RIGHT><A HREF="/?SCENE">[VRML]VRML</A></TD>', rows)
        assert_listing(self, reply, expected)
        # The pieces the row helper builds, spelled out once.
        text = reply.decode("latin-1")
        self.assertIn('<A HREF="/%s">%s</A></TD>' % (LONG_NAME, LONG_NAME[:40]), text)
        self.assertIn('<A HREF="/b.txt">b.txt</A>' + " " * 35 + "</TD>", text)
        self.assertIn("<TD ALIGN=RIGHT>   1234567  </TD>", text)
        self.assertIn("<TD>New!</TD><BR></TR>", text)
        self.assertEqual(len(re.findall("<TR><TD></TD>", text)), 8)

    def test_subfolder_page_with_icons_folder(self):
        files = dict(FILES, **ICONS)
        files["Docs/vantrel.cfg"] = "title=The <Docs> folder\nhead=<P>Above</P>\ntail=<P>Below</P>\n"
        files["Docs/fresh.txt"] = "fresh"
        times = dict(TIMES, **ICON_TIMES)
        times["Docs/fresh.txt"] = NOW - DAY
        with ListingSite(files, times, SPARSE) as site:
            reply = site.request(b"GET /Docs/ HTTP/1.0\r\n\r\n")
            without_slash = site.request(b"GET /docs HTTP/1.0\r\n\r\n")
        top = ('<TD><A HREF="/"><IMG BORDER=0 SRC="/icons/up.gif">[UP]</A></TD>'
               '<TD ALIGN=RIGHT><A HREF="/Docs/?SCENE">[VRML]<IMG SRC="/icons/vrml.gif"></A></TD>')
        rows = [
            row("fresh.txt", 5, NOW - DAY, icon="/icons/txt.gif", url="/Docs/fresh.txt",
                new='<IMG SRC="/icons/new.gif">'),
            row("notes.html", 13, OLD + DAY, icon="/icons/Default.gif", url="/Docs/notes.html"),
            row("readme.txt", 8, OLD, icon="/icons/txt.gif", url="/Docs/readme.txt"),
        ]
        assert_listing(self, reply, page("The &lt;Docs> folder", top, rows, "<P>Above</P>", "<P>Below</P>"))
        self.assertEqual(parse_reply(without_slash)[2], parse_reply(reply)[2])

    def test_root_rows_pick_folder_kind_and_default_icons(self):
        files = dict(FILES, **ICONS)
        files["icons/scene.gif"] = "s"
        files["World/vantrel.cfg"] = "scene\ntopics\n"  # scene wins
        files["World/a.wrl"] = "w"
        times = dict(TIMES, **ICON_TIMES)
        times.update({"World/a.wrl": OLD, "World": OLD})
        with ListingSite(files, times, SPARSE) as site:
            _, _, body = site.get("/")
        text = body.decode("latin-1")
        for name, icon in (("Docs", "Folder"), ("icons", "Folder"), ("World", "scene"), ("b.txt", "txt"),
                           ("big.bin", "Default"), ("Empty", "Default"), (LONG_NAME[:40], "Default")):
            with self.subTest(name=name):
                self.assertRegex(text, r'<TR><TD><IMG SRC="/icons/%s\.gif"></TD><TD WIDTH=40%%><A HREF="[^"]+">%s</A>'
                                 % (icon, re.escape(name)))
        self.assertIn('<TD ALIGN=RIGHT><A HREF="/?SCENE">[VRML]<IMG SRC="/icons/vrml.gif"></A></TD></TR>', text)
        self.assertNotIn("[UP]", text)
        self.assertNotIn("New!", text)
        self.assertEqual(text.count('<IMG SRC="/icons/new.gif">'), 1)  # nine-days.txt only


class IndexFiles(unittest.TestCase):
    FILES = {"Site/index.html": "<P>the index</P>\n", "Site/other.txt": "x",
             "Locked/vantrel.cfg": "noindex\n", "Locked/index.htm": "<P>locked</P>\n"}

    def test_index_file_unless_asked_for_the_listing_and_allowed(self):
        cases = [("/Site/", b"<P>the index</P>\n"), ("/Site/?index", None), ("/Site/?noindex", b"<P>the index</P>\n"),
                 ("/Locked/", b"<P>locked</P>\n"), ("/Locked/?index", b"<P>locked</P>\n")]
        with ListingSite(self.FILES, cfg="type html=text/html\ntype htm=text/html") as site:
            for path, index_body in cases:
                with self.subTest(path=path):
                    status, headers, body = site.get(path)
                    self.assertEqual(status, "HTTP/1.0 200 Document follows")
                    if index_body is None:
                        self.assertTrue(body.startswith(b"<HEAD><TITLE>Directory listing for: Site</TITLE>"), body)
                        self.assertNotIn("Content-length", dict(headers))
                    else:
                        self.assertEqual(body, index_body)
                        self.assertEqual(dict(headers)["Content-length"], str(len(index_body)))
                        self.assertEqual(dict(headers)["Content-type"], "text/html")


class RequestForms(unittest.TestCase):
    def test_head_on_the_root_and_a_requested_type(self):
        with ListingSite(FILES, TIMES, SPARSE) as site:
            get = site.request(b"GET / HTTP/1.0\r\n\r\n")
            head = site.request(b"HEAD / HTTP/1.0\r\n\r\n")
            plain = site.request(b"GET /?type=text/plain HTTP/1.0\r\n\r\n")
        get_status, get_headers, get_body = parse_reply(get)
        self.assertTrue(get_body.startswith(b"<HEAD><TITLE>Directory listing for: </TITLE></HEAD>\r\n"))
        self.assertTrue(head.endswith(b"\r\n\r\n"), head)
        head_status, head_headers, head_body = parse_reply(head)
        self.assertEqual(head_body, b"")
        self.assertEqual((head_status, [name for name, _ in head_headers]),
                         (get_status, [name for name, _ in get_headers]))
        self.assertEqual(dict(head_headers)["Content-type"], "text/html")
        self.assertRegex(dict(head_headers)["Last-Modified"], "^%s$" % HTTP_DATE)
        # The request line is read upper-cased, the type value with it.
        assert_listing(self, plain, get_body.decode("latin-1"), content_type="TEXT/PLAIN")

    def test_sizes_past_two_and_four_gib(self):
        sparse = {"big.iso": 3 << 30, "Disks/one.img": 3 << 29, "Disks/two.img": 3 << 29,
                  "Disks/three.img": 1 << 30}
        with ListingSite({"small.txt": "12 bytes.\n\n\n"}, {}, sparse) as site:
            _, _, root = site.get("/")
        text = root.decode("latin-1")
        self.assertRegex(text, r'<A HREF="/Disks/">Disks</A> +</TD><TD ALIGN=RIGHT>4294967296  </TD>')
        self.assertRegex(text, r'<A HREF="/big.iso">big.iso</A> +</TD><TD ALIGN=RIGHT>3221225472  </TD>')
        self.assertRegex(text, r'<A HREF="/small.txt">small.txt</A> +</TD><TD ALIGN=RIGHT>        12  </TD>')
        self.assertRegex(text, r"<TD ALIGN=RIGHT>%s</TD>" % LIST_TIME)


if __name__ == "__main__":
    unittest.main()
