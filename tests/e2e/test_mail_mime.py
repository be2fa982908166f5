"""Mailboxes with the `mime` keyword: pages declare UTF-8 and hold only valid UTF-8, markup from
mail never reaches a page, and each further part is a download at <message>/part/<n>."""

import base64
import re
import unittest

from harness import Site
from mailutil import CORPUS_DIR

PNG = b"\x89PNG\r\n\x1a\n<script>alert(1)</script>"
SPOOL = (
    b"From ???@??? Mon Jan 09 10:11:12 1995\n"
    b"From: =?utf-8?q?Ren=C3=A9e?= <renee@host.org>\n"
    b"Subject: =?utf-8?q?Caf=C3=A9?=\n"
    b"Date: Mon, 9 Jan 1995 10:11:12 -0800\n"
    b"MIME-Version: 1.0\n"
    b"Content-Type: multipart/mixed; boundary=B\n"
    b"\n"
    b"--B\nContent-Type: text/html; charset=iso-8859-1\n\n"
    b"<p>Gr\xfc\xdfe <img src=http://tracker.example/x.gif> &amp; <b>bye</b></p>\n"
    b"--B\nContent-Type: image/png; name=\"a b\xc3\xa9.png\"\n"
    b"Content-Transfer-Encoding: base64\n\n" + base64.encodebytes(PNG) +
    b"--B--\n"
)


def site_files(cfg):
    return {"topics/vantrel.cfg": cfg, "topics/list/mailbox": SPOOL}


class MimeMailbox(unittest.TestCase):
    def test_pages_parts_and_the_keyword_off(self):
        with Site(site_files("topics\nmime\n")) as site:
            for path in ("/topics/list/", "/topics/list/0"):
                with self.subTest(path=path):
                    status, headers, body = site.get(path)
                    self.assertEqual(dict(headers)["Content-type"], "text/html; charset=utf-8")
                    text = body.decode("utf-8")  # raises on invalid UTF-8
                    self.assertIn("Ren\u00e9e", text)
                    self.assertIn("Caf\u00e9", text)
            _, _, page = site.get("/topics/list/0")
            text = page.decode("utf-8")
            self.assertIn("Gr\u00fc\u00dfe &amp; bye<br>", text.replace(" & ", " &amp; "))
            self.assertNotIn("<img src=http", text)
            self.assertNotIn("<b>", text)
            self.assertIn("<A HREF=/topics/list/0/part/2>a b\u00e9.png</A> (image/png, %d bytes)"
                          % len(PNG), text)

            status, headers, body = site.get("/topics/list/0/part/2")
            fields = dict(headers)
            self.assertTrue(status.startswith("HTTP/1.0 200"), status)
            self.assertEqual(fields["Content-type"], "image/png")
            self.assertEqual(fields["X-Content-Type-Options"], "nosniff")
            self.assertTrue(fields["Content-Disposition"].startswith('attachment; filename="a b__.png"'))
            self.assertEqual(int(fields["Content-length"]), len(PNG))
            self.assertEqual(body, PNG)
            for missing in ("/topics/list/0/part/3", "/topics/list/0/part/0",
                            "/topics/list/0/part/x", "/topics/list/0/other"):
                with self.subTest(path=missing):
                    self.assertTrue(site.request(("GET %s HTTP/1.0\r\n\r\n" % missing).encode())
                                    .startswith(b"HTTP/1.0 404 "))
        # A query cannot turn it on, and without it nothing below a message exists.
        with Site(site_files("topics\n")) as site:
            status, headers, _ = site.get("/topics/list/0?mime")
            self.assertEqual(dict(headers)["Content-type"], "text/html")
            self.assertTrue(site.request(b"GET /topics/list/0/part/2 HTTP/1.0\r\n\r\n")
                            .startswith(b"HTTP/1.0 404 "))

    def test_corpus_pages_are_utf8(self):
        odd = CORPUS_DIR / "odd.mbox"
        if not odd.exists():
            self.skipTest("corpus not present")
        files = {"topics/vantrel.cfg": "topics\nmime\n", "topics/odd/mailbox": odd.read_bytes()}
        with Site(files) as site:
            _, _, index = site.get("/topics/odd/?SORT=DATE")
            index.decode("utf-8")
            numbers = sorted({int(n) for n in re.findall(rb"/topics/odd/(\d+)", index)})
            self.assertGreater(len(numbers), 50)
            for n in numbers:
                with self.subTest(message=n):
                    _, _, page = site.get("/topics/odd/%d?SORT=DATE" % n)
                    page.decode("utf-8")
            self.assertIsNone(site.proc.poll(), "the server must still run")


if __name__ == "__main__":
    unittest.main()
