"""The archive and the tree as data, end to end: raw messages, mbox downloads, JSON listings,
the Atom feed, permalinks by Message-ID, search and paging of the mailbox index. Each reply
is read by a real parser (email, mailbox, json, xml.etree, feedparser)."""

import email
import email.policy
import json
import mailbox
import os
import re
import smtplib
import tempfile
import threading
import unittest
import xml.etree.ElementTree as ET

import feedparser

from harness import Site
from mailutil import CORPUS_DIR

RFC3339 = re.compile(r"\A\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\Z")
ATOM = "{http://www.w3.org/2005/Atom}"
ROW = re.compile(rb"<TR><TD Width=25><a href=/topics/list/(\d+)")


def message(number, sender, subject, date="Mon, 9 Jan 1995 10:%02d:00 -0800", body=b"Hello.\n",
            extra=b""):
    """One spool message as bytes; `date` may hold %d for the message number."""
    if "%" in date:
        date = date % (number % 60)
    return (b"From ???@??? Mon Jan 09 10:%02d:00 1995\n" % (number % 60) +
            b"From: " + sender + b"\nSubject: " + subject + b"\nDate: " + date.encode() +
            b"\nMessage-Id: <m%d@host.org>\n" % number + extra + b"\n" + body)


# Message 0 is ASCII, 1 has a Latin-1 byte, 2 is UTF-8 with CR LF line ends, 3 answers 0.
SPOOL = [
    message(0, b"Ann Lee <ann@host.org>", b"lunch?"),
    message(1, b"Bob <bob@host.org>", b"caf\xe9", body=b"Caf\xe9 at noon.\n"),
    message(2, b"Zo\xc3\xab <zoe@host.org>", b"na\xc3\xafve\r", body=b"Line one\r\nLine two\r\n"),
    message(3, b"Carl <carl@host.org>", b"Re: lunch?", extra=b"In-Reply-To: <m0@host.org>\n"),
]


def box_files(spool, cfg=b""):
    return {"topics/vantrel.cfg": "topics\n", "topics/list/mailbox": b"".join(spool),
            "topics/list/vantrel.cfg": cfg, "topics/empty/vantrel.cfg": ""}


def header(headers, name):
    return next((v for n, v in headers if n.lower() == name.lower()), None)


def body_of(site, path):
    status, headers, body = site.get(path)
    if not status.startswith("HTTP/1.0 200 "):
        raise AssertionError("%s: %s" % (path, status))
    return headers, body


def index_rows(site, path):
    return [int(n) for n in ROW.findall(body_of(site, path)[1])]


class RawAndMbox(unittest.TestCase):
    def test_raw_message_is_the_stored_bytes(self):
        with Site(box_files(SPOOL)) as site:
            for number, stored in enumerate(SPOOL):
                with self.subTest(number=number):
                    headers, body = body_of(site, "/topics/list/%d?raw" % number)
                    self.assertEqual(body, stored)
                    self.assertEqual(header(headers, "Content-length"), str(len(stored)))
                    utf8 = number != 1
                    self.assertEqual(header(headers, "Content-type"),
                                     "text/plain; charset=utf-8" if utf8 else "text/plain")
                    parsed = email.message_from_bytes(body, policy=email.policy.compat32)
                    self.assertEqual(parsed["Message-Id"], "<m%d@host.org>" % number)
            status, headers, body = site.get("/topics/list/1?RAW", method="HEAD")
            self.assertEqual(header(headers, "Content-length"), str(len(SPOOL[1])))
            self.assertEqual(body, b"")
            self.assertTrue(site.get("/topics/list/4?raw")[0].startswith("HTTP/1.0 404 "))

    def test_mbox_is_the_spool_while_mail_arrives(self):
        with Site(box_files(SPOOL), cfg="") as site:
            headers, body = body_of(site, "/topics/list/?mbox")
            self.assertEqual(body, b"".join(SPOOL))
            self.assertEqual(header(headers, "Content-type"), "application/mbox")
            self.assertEqual(header(headers, "Content-Disposition"),
                             'attachment; filename="list.mbox"')
            self.assertEqual(header(headers, "Content-length"), str(len(body)))
            with tempfile.NamedTemporaryFile(suffix=".mbox") as f:
                f.write(body)
                f.flush()
                box = mailbox.mbox(f.name)
                subjects = [m["Subject"] for m in box]
                box.close()
            self.assertEqual(subjects[0], "lunch?")
            self.assertEqual(len(subjects), len(SPOOL))
            self.assertTrue(site.get("/topics/empty/?mbox")[0].startswith("HTTP/1.0 404 "))

            # Large deliveries while the spool is fetched: every download ends where a
            # delivery ended, so it parses into whole messages, each with its last line.
            big = "Subject: big\r\n\r\n" + ("x" * 70 + "\r\n") * 100000 + "end of message\r\n"
            done = threading.Event()

            def deliver():
                with smtplib.SMTP("127.0.0.1", site.smtp_port, timeout=30) as smtp:
                    for _ in range(6):
                        smtp.sendmail("a@host.org", ["list"], big)
                done.set()

            sender = threading.Thread(target=deliver)
            sender.start()
            downloads = []
            while not done.is_set():
                downloads.append(body_of(site, "/topics/list/?mbox")[1])
            sender.join()
            for download in downloads:
                tail = download[len(b"".join(SPOOL)):]
                self.assertEqual(tail.count(b"end of message\n"), tail.count(b"Subject: big\n"))
                self.assertTrue(tail == b"" or tail.endswith(b"end of message\n"))


class JsonListings(unittest.TestCase):
    HOSTILE = [b'a"b.txt', b"back\\slash", b"<script>x", b"caf\xe9.txt", b"caf\xc3\xa9.txt",
               b"tab\there", b"ctl\x01.txt"]

    def test_folder_entries_in_listing_order(self):
        files = dict(box_files(SPOOL))
        files.update({os.fsdecode(b"docs/" + name): "x" * i for i, name in enumerate(self.HOSTILE)})
        files["docs/sub/inner.txt"] = "inner"
        with Site(files) as site:
            headers, body = body_of(site, "/docs/?json")
            self.assertEqual(header(headers, "Content-type"), "application/json")
            self.assertEqual(header(headers, "Content-length"), str(len(body)))
            text = body.decode("ascii")  # every non-ASCII character is escaped
            self.assertIn(r'"caf\u00e9.txt"', text)
            entries = json.loads(text)
            listing = body_of(site, "/docs/")[1]
            hrefs = [h.decode() for h in re.findall(rb'<A HREF="(/docs/[^"?]*)">', listing)]
            self.assertEqual([e["url"] for e in entries], hrefs)
            self.assertEqual(next(e for e in entries if e["name"] == "sub")["kind"], "folder")
            by_size = {e["size"]: e for e in entries if e["kind"] == "file"}
            for i, raw in enumerate(self.HOSTILE):
                # UTF-8 names as they are, any other byte as the character of its value.
                try:
                    name = raw.decode("utf-8")
                except UnicodeDecodeError:
                    name = raw.decode("latin-1")
                entry = by_size[i]
                self.assertEqual(entry["name"], name)
                self.assertRegex(entry["mtime"], RFC3339)
                self.assertTrue(site.get(entry["url"])[0].startswith("HTTP/1.0 200 "), raw)
            # A file that grew, once a reply has seen it, shows its new size: the kept
            # document is made again.
            url = next(e["url"] for e in entries if e["name"] == 'a"b.txt')
            (site.root / "docs" / 'a"b.txt').write_bytes(b"y" * 500)
            self.assertEqual(len(body_of(site, url)[1]), 500)
            grown = {e["url"]: e["size"] for e in json.loads(body_of(site, "/docs/?json")[1])}
            self.assertEqual(grown[url], 500)
            topics = json.loads(body_of(site, "/topics/?JSON")[1])
            self.assertEqual([(e["name"], e["kind"]) for e in topics],
                             [("list", "mailbox"), ("empty", "mailbox")])  # non-empty first

    def test_mailbox_messages(self):
        with Site(box_files(SPOOL)) as site:
            messages = json.loads(body_of(site, "/topics/list/?json")[1])
            self.assertEqual([m["number"] for m in messages], [3, 2, 1, 0])
            first = messages[-1]
            self.assertEqual((first["name"], first["address"], first["subject"]),
                             ("Ann Lee", "ann@host.org", "lunch?"))
            self.assertEqual(first["time"], "1995-01-09T18:00:00Z")
            self.assertEqual((messages[0]["reply"], messages[0]["root"]), (True, 0))
            self.assertEqual(messages[2]["subject"], "caf\u00e9")
            self.assertEqual(messages[1]["name"], "Zo\u00eb")
            # The root with a reply links to its own page, not to the index.
            status, _, page = site.get(first["url"])
            self.assertIn(b"<TITLE>Msg:lunch?", page)
            found = json.loads(body_of(site, "/topics/list/?json&find=LUNCH")[1])
            self.assertEqual([m["number"] for m in found], [3, 0])


class AtomFeed(unittest.TestCase):
    def test_feed_parses_and_escapes(self):
        spool = [message(n, b"Sender %d <s%d@host.org>" % (n, n), b"note %d" % n)
                 for n in range(53)]
        spool.append(message(53, b'"Eve & <co>" <eve@host.org>', b"a & b <c> \"d\" \x01\xe9",
                             date="not a date", body=b"> quoted\n\nFirst <b>line</b> & more\n"))
        spool.append(message(54, b"<nobody@host.org>", b"plain"))
        with Site(box_files(spool, cfg=b"title=Lunch <list> \"x\"\n")) as site:
            headers, body = body_of(site, "/topics/list/?atom")
            self.assertEqual(header(headers, "Content-type"), "application/atom+xml")
            root = ET.fromstring(body)
            self.assertEqual(root.tag, ATOM + "feed")
            self.assertEqual(root.find(ATOM + "title").text, 'Mailbox Lunch <list> "x"')
            entries = root.findall(ATOM + "entry")
            self.assertEqual(len(entries), 50)
            feed = feedparser.parse(body)
            self.assertFalse(feed.bozo, feed.get("bozo_exception"))
            self.assertEqual(feed.feed.id, "http://localhost:%d/topics/list/" % site.port)
            self.assertEqual([e.id.rsplit("/", 1)[1] for e in feed.entries],
                             [str(n) for n in range(54, 4, -1)])
            plain, hostile = feed.entries[0], feed.entries[1]
            self.assertEqual(plain.author_detail.email, "nobody@host.org")
            self.assertEqual(hostile.title, 'a & b <c> "d" \u00e9')
            self.assertEqual(hostile.author_detail.name, "Eve &")
            self.assertEqual(hostile.summary, "First <b>line</b> & more")
            # An unreadable Date line: the envelope's date, read as local time.
            self.assertRegex(hostile.updated, RFC3339)
            self.assertEqual(feed.entries[2].updated, "1995-01-09T18:52:00Z")
            self.assertEqual(feed.entries[2].title, "note 52")
            link = feed.entries[2].link
            self.assertTrue(link.startswith("http://localhost:%d/" % site.port))
            page = body_of(site, link.split(str(site.port), 1)[1])[1]
            self.assertIn(b"<TITLE>Msg:note 52", page)


class PermalinksSearchPaging(unittest.TestCase):
    def test_permalink_by_message_id(self):
        with Site(box_files(SPOOL)) as site:
            base = "http://localhost:%d/topics/list/" % site.port
            for query, location in (("id=m1@host.org", "1"), ("ID=%3CM2@HOST.ORG%3E", "2"),
                                    ("id=m0@host.org", "0?EXPAND=0")):
                with self.subTest(query=query):
                    status, headers, _ = site.get("/topics/list/?" + query)
                    self.assertEqual(status, "HTTP/1.0 302 Found")
                    self.assertEqual(header(headers, "Location"), base + location)
            self.assertIn(b"<TITLE>Msg:lunch?", body_of(site, "/topics/list/0?EXPAND=0")[1])
            for query in ("id=m9@host.org", "id=", "id=m1@host"):
                with self.subTest(query=query):
                    self.assertTrue(site.get("/topics/list/?" + query)[0]
                                    .startswith("HTTP/1.0 404 "))

    def test_find_and_pages_visit_every_row_once(self):
        names = [b"Ann", b"Bob", b"Cy", b"Dee", b"Eve", b"Flo", b"Gus"]
        spool = [message(n, b"%s <p%d@%s.org>" % (names[n % 7], n, b"odd" if n % 2 else b"even"),
                         b"Re: topic %d" % (n % 5) if n % 3 else b"topic %d" % (n % 5))
                 for n in range(40)]
        with Site(box_files(spool, cfg=b"perpage=6\n")) as site:
            page = body_of(site, "/topics/list/?find=gus+%20ODD")[1]
            expected = [n for n in range(39, -1, -1) if n % 7 == 6 and n % 2]
            self.assertEqual([int(n) for n in ROW.findall(page)], expected)
            self.assertIn(b"<P>Found %d messages for: GUS ODD</P>" % len(expected), page)
            for view in ("", "SORT=FROM&", "SORT=SUBJECT&", "SORT=DATE&", "EXPAND=0&",
                         "FIND=EVEN&", "SORT=DATE&FIND=TOPIC+1&"):
                with self.subTest(view=view):
                    whole = index_rows(site, "/topics/list/?" + view.rstrip("&"))
                    seen, path = [], "/topics/list/?%sSTART=0" % view
                    while path:
                        html = body_of(site, path)[1]
                        rows = [int(n) for n in ROW.findall(html)]
                        self.assertLessEqual(len(rows), 6)
                        seen += rows
                        nexts = re.findall(rb"<A HREF=([^>]*)>next</A>", html)
                        self.assertEqual(len(nexts), 0 if len(seen) == len(whole) else 2)
                        path = nexts[0].decode() if nexts else None
                    self.assertEqual(seen, whole)
            last = body_of(site, "/topics/list/?sort=date&start=38&perpage=4")[1]
            self.assertIn(b"<P><A HREF=/topics/list/?SORT=DATE&PERPAGE=4&START=34>previous</A> "
                          b"rows 39-40 of 40</P>", last)


class Corpora(unittest.TestCase):
    def test_odd_corpus_as_data(self):
        odd = CORPUS_DIR / "odd.mbox"
        if not odd.exists():
            self.skipTest("corpus not present")
        stored = odd.read_bytes()
        with Site({"topics/vantrel.cfg": "topics\n", "topics/odd/mailbox": stored}) as site:
            self.assertEqual(body_of(site, "/topics/odd/?mbox")[1], stored)
            messages = json.loads(body_of(site, "/topics/odd/?json")[1])
            pieces = [body_of(site, "/topics/odd/%d?raw" % m["number"])[1]
                      for m in reversed(messages)]
            self.assertEqual(b"".join(pieces), stored)
            feed = feedparser.parse(body_of(site, "/topics/odd/?atom")[1])
            self.assertFalse(feed.bozo, feed.get("bozo_exception"))
            self.assertEqual(len(feed.entries), min(50, len(messages)))


if __name__ == "__main__":
    unittest.main()
