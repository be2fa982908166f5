"""Serving files from a real server: types, sizes, vanished files, HEAD, case, escapes."""

import hashlib
import os
import shutil
import subprocess
import unittest
from urllib.parse import quote

from harness import Site, parse_reply

TYPES = "type html=text/html\ntype txt=text/plain\ntype gif=image/gif\n"


def header(headers, name):
    values = [v for n, v in headers if n.lower() == name.lower()]
    return values[0] if values else None


class ServingFiles(unittest.TestCase):
    def test_files_with_and_without_types(self):
        files = {"Docs/ReadMe.txt": "read me\n", "page.html": "<p>x</p>", "data.bin": b"\x00\x01\xff",
                 "empty.txt": ""}
        with Site(files, cfg=TYPES) as site:
            cases = [
                ("/docs/readme.txt", "text/plain", b"read me\n"),
                ("/page.html", "text/html", b"<p>x</p>"),
                ("/data.bin", None, b"\x00\x01\xff"),
            ]
            for path, ctype, body in cases:
                with self.subTest(path=path):
                    status, headers, got = site.get(path)
                    self.assertEqual(status, "HTTP/1.0 200 Document follows")
                    self.assertEqual([n for n, _ in headers][:2], ["Server", "Last-Modified"])
                    self.assertEqual(header(headers, "Server"), "Zephrin/0.9b3")
                    self.assertEqual(header(headers, "Content-type"), ctype)
                    self.assertEqual(header(headers, "Content-length"), str(len(body)))
                    self.assertRegex(header(headers, "Last-Modified"),
                                     r"^[A-Z][a-z]+day, \d\d-[A-Z][a-z]{2}-\d\d \d\d:\d\d:\d\d GMT$")
                    self.assertEqual(got, body)
            # A zero-byte file: a Date line, no length, no body.
            status, headers, body = site.get("/empty.txt")
            self.assertEqual(status, "HTTP/1.0 200 Document follows")
            self.assertEqual([n for n, _ in headers], ["Server", "Date", "Content-type"])
            self.assertEqual(body, b"")
            self.assertIn("] 0 bytes sent.\n", site.stdout())

    def test_vanished_file_names_itself_escaped_and_not_its_disk_path(self):
        name = "report<img src=x onerror=alert(1)>.txt"
        with Site({"gone.txt": "soon gone", name: "soon gone"}) as site:
            for file, shown in (("gone.txt", "gone.txt"),
                                (name, "report&lt;img src=x onerror=alert(1)>.txt")):
                with self.subTest(file=file):
                    os.unlink(site.root / file)
                    reply = site.request(("GET /%s HTTP/1.0\r\n\r\n" % quote(file)).encode())
                    self.assertEqual(reply, (
                        'HTTP/1.0 404 FILE NOT FOUND\r\nContent-type: text/html\r\n\r\n<HEAD>'
                        '<TITLE>File Not Found</TITLE></HEAD><BODY><H1>404 File "%s" Not Found</H1>'
                        'The file is not available or may have moved since the server was started'
                        '\r\n' % shown).encode())

    def test_changed_file_is_sent_with_its_new_size(self):
        with Site({"grow.txt": "ab"}) as site:
            (site.root / "grow.txt").write_bytes(b"abcdef")
            status, headers, body = site.get("/grow.txt")
            self.assertEqual(header(headers, "Content-length"), "6")
            self.assertEqual(body, b"abcdef")

    def test_head_has_the_get_header_and_no_body(self):
        with Site({"a.txt": "x" * 5000}, cfg=TYPES) as site:
            get = site.request(b"GET /a.txt HTTP/1.0\r\n\r\n")
            head = site.request(b"HEAD /a.txt HTTP/1.0\r\n\r\n")
            self.assertEqual(head, get[:get.index(b"\r\n\r\n") + 4])
            self.assertIn("] 0 bytes sent.\n", site.stdout())
            # HEAD on the cart page adds, like GET, and sends the header only.
            head = site.request(b"HEAD /?item=2&quantity=1&add HTTP/1.0\r\n\r\n")
            self.assertTrue(head.endswith(b"Content-type: text/html\r\n\r\n"), head)
            _, _, body = site.get("/?show")
            self.assertIn(b"<TD>Cheese Puffs</TD><TD>1</TD>", body)

    def test_paths_ignore_case_and_decode_escapes(self):
        files = {"Docs/ReadMe.txt": "r", "a b/c.txt": "space", "x/y/z.txt": "deep"}
        with Site(files) as site:
            cases = [
                (b"get /docs/readme.txt http/1.0\r\n\r\n", b"r"),
                (b"GET /a%20b/c.txt HTTP/1.0\r\n\r\n", b"space"),
                (b"GET /x%2Fy%2fz.txt HTTP/1.0\r\n\r\n", b"deep"),
                (b"GET //x///y/z.txt HTTP/1.0\r\n\r\n", b"deep"),
            ]
            for raw, body in cases:
                with self.subTest(raw=raw):
                    status, _, got = parse_reply(site.request(raw))
                    self.assertEqual(status, "HTTP/1.0 200 Document follows")
                    self.assertEqual(got, body)

    def test_request_log_lines(self):
        with Site({"f.txt": "12345"}, cfg=TYPES) as site:
            site.request(b"GET /f.txt HTTP/1.0\r\nUser-Agent: t\r\n\r\n")
            site.request(b"\r\n")
            site.request(b"GET /missing HTTP/1.0\r\n\r\n")
            site.stop()  # all log lines are on disk now; thread ids vary, compare the rest
            out = site.stdout()
        lines = [line.split("] ", 1)[1] if line.startswith("[") else line for line in out.splitlines()]
        self.assertEqual(lines, [
            "Starting Vantrel.",
            "Request: GET /f.txt HTTP/1.0",
            "Reply: HTTP/1.0 200 Document follows",
            "\tContent-type: text/plain",
            "\tContent-length: 5",
            "5 bytes sent.",
            "Reply completed.",
            "Request: NULL ",
            "Request: GET /missing HTTP/1.0",
            "Reply completed.",
            "Stopping Vantrel.",
        ])

    def test_cmd_mode_writes_no_request_log(self):
        with Site({"f.txt": "1"}, debug=False) as site:
            site.get("/f.txt")
            site.stop()
            self.assertEqual(site.stdout(), "Starting Vantrel.\nStopping Vantrel.\n")

    @unittest.skipUnless(shutil.which("curl"), "curl not installed")
    def test_curl_fetches_a_large_file_intact(self):
        data = os.urandom(7 * 1024 * 1024 + 13)
        with Site({"big/blob.bin": data}) as site:
            out = site.root.parent / "fetched.bin"
            subprocess.run(["curl", "-sS", "--http1.0", "-o", str(out),
                            "http://127.0.0.1:%d/big/blob.bin" % site.port], check=True, timeout=60)
            self.assertEqual(hashlib.sha256(out.read_bytes()).hexdigest(),
                             hashlib.sha256(data).hexdigest())

    def test_sparse_file_keeps_its_true_length(self):
        with Site({}) as site:
            with open(site.root / "sparse.bin", "wb") as f:
                f.truncate(3 * 1024 ** 3)
            site.restart()  # the tree is scanned at start-up
            status, headers, body = site.get("/sparse.bin", method="HEAD")
            self.assertEqual(status, "HTTP/1.0 200 Document follows")
            self.assertEqual(header(headers, "Content-length"), str(3 * 1024 ** 3))
            self.assertEqual(body, b"")

if __name__ == "__main__":
    unittest.main()
