"""What today's HTTP clients ask for: conditional requests, byte ranges, system content types,
and that a request without the new headers gets the old bytes."""

import http.client
import os
import re
import signal
import subprocess
import time
import unittest

from harness import Site, parse_reply

BODY = bytes(range(256)) * 40  # 10,240 bytes, every offset distinct modulo 256
OLD = 1_000_000_000            # 2001-09-09: the files' modification time


def curl(*args):
    done = subprocess.run(["curl", "-s", "-i", "--max-time", "20", *args], capture_output=True,
                          check=True)
    return parse_reply(done.stdout)


def header(headers, name):
    values = [v for n, v in headers if n.lower() == name.lower()]
    return values[0] if values else None


class Features(unittest.TestCase):
    def raw(self, site, path, *lines, method="GET"):
        head = "%s %s HTTP/1.0\r\n" % (method, path) + "".join(l + "\r\n" for l in lines) + "\r\n"
        return parse_reply(site.request(head.encode("latin-1")))

    def test_conditional_get_and_ranges(self):
        files = {"data.bin": BODY, "Docs/a.txt": "a\n", "empty.txt": ""}
        with Site(files) as site:
            for rel in ("data.bin", "Docs", "empty.txt"):
                os.utime(site.root / rel, (OLD, OLD))
            site.restart()  # the folder's time is read by the scan
            url = "http://127.0.0.1:%d" % site.port

            # curl -z: a file and a listing not changed since the date get 304 and no body.
            for path in ("/data.bin", "/docs/"):
                with self.subTest(path=path):
                    status, headers, body = curl("-z", "Sun, 09 Sep 2001 01:46:41 GMT", url + path)
                    self.assertEqual(status, "HTTP/1.0 304 Not Modified")
                    self.assertEqual([n for n, _ in headers], ["Server", "Date"])
                    self.assertEqual(body, b"")
                    # A date before the change: the whole reply.
                    status, _, body = curl("-z", "Sun, 09 Sep 2001 01:46:39 GMT", url + path)
                    self.assertEqual(status, "HTTP/1.0 200 Document follows")
                    self.assertTrue(body)
            # Our own Last-Modified text sent back (two-digit year) and the asctime form.
            _, headers, _ = site.get("/data.bin")
            for since in (header(headers, "Last-Modified"), "Sun Sep  9 01:46:40 2001"):
                status, _, body = self.raw(site, "/data.bin", "If-Modified-Since: " + since)
                self.assertEqual((status, body), ("HTTP/1.0 304 Not Modified", b""), since)
            # A date that cannot be read is ignored.
            status, _, body = self.raw(site, "/data.bin", "If-Modified-Since: yesterday")
            self.assertEqual((status, body), ("HTTP/1.0 200 Document follows", BODY))

            # Ranges with curl: A-B, A-, -N.
            for asked, first, last in (("100-299", 100, 299), ("10000-", 10000, 10239),
                                      ("-7", 10233, 10239)):
                with self.subTest(range=asked):
                    status, headers, body = curl("--range", asked, url + "/data.bin")
                    self.assertEqual(status, "HTTP/1.0 206 Partial Content")
                    self.assertEqual(header(headers, "Content-Range"),
                                     "bytes %d-%d/10240" % (first, last))
                    self.assertEqual(header(headers, "Content-length"), str(last - first + 1))
                    self.assertEqual(header(headers, "Accept-Ranges"), "bytes")
                    self.assertEqual(body, BODY[first:last + 1])
            # Edge cases with http.client: -0, past the end, an empty file, several ranges,
            # a Range on a listing, a stale If-Range.
            conn = http.client.HTTPConnection("127.0.0.1", site.port, timeout=10)
            for path, value, status, content_range in (
                    ("/data.bin", "bytes=-0", 416, "bytes */10240"),
                    ("/data.bin", "bytes=10240-", 416, "bytes */10240"),
                    ("/empty.txt", "bytes=0-", 416, "bytes */0"),
                    ("/data.bin", "bytes=0-1,5-6", 200, None),
                    ("/docs/", "bytes=0-5", 200, None)):
                with self.subTest(path=path, range=value):
                    conn.request("GET", path, headers={"Range": value})
                    reply = conn.getresponse()
                    body = reply.read()
                    conn.close()
                    self.assertEqual(reply.status, status)
                    self.assertEqual(reply.getheader("Content-Range"), content_range)
                    if path == "/data.bin" and status == 200:
                        self.assertEqual(body, BODY)
                    if status == 416:
                        self.assertEqual(body, b"")
            status, _, body = self.raw(site, "/data.bin", "Range: bytes=0-9",
                                       "If-Range: Mon, 10 Sep 2001 00:00:00 GMT")
            self.assertEqual((status, body), ("HTTP/1.0 200 Document follows", BODY))
            status, _, body = self.raw(site, "/data.bin", "Range: bytes=0-9",
                                       "If-Range: " + header(headers, "Last-Modified"))
            self.assertEqual((status, body), ("HTTP/1.0 206 Partial Content", BODY[:10]))
            # HEAD of a range: its header, no body.
            status, headers, body = self.raw(site, "/data.bin", "Range: bytes=5-", method="HEAD")
            self.assertEqual((status, header(headers, "Content-length"), body),
                             ("HTTP/1.0 206 Partial Content", "10235", b""))
            # Without a Range header and without `ranges`, no Accept-Ranges line.
            _, headers, _ = site.get("/data.bin")
            self.assertIsNone(header(headers, "Accept-Ranges"))

    def test_system_types_and_ranges_keyword(self):
        files = {"app.wasm": b"\0asm", "page.svg": "<svg/>", "notes.txt": "n", "x.unknownkind": "u"}
        cfg = "mimetypes\nranges\ntype txt=text/x-site\n"
        with Site(files, cfg=cfg) as site:
            for path, ctype in (("/app.wasm", "application/wasm"), ("/page.svg", "image/svg+xml"),
                                ("/notes.txt", "text/x-site"), ("/x.unknownkind", None)):
                with self.subTest(path=path):
                    status, headers, _ = site.get(path)
                    self.assertEqual(status, "HTTP/1.0 200 Document follows")
                    self.assertEqual(header(headers, "Content-type"), ctype)
                    self.assertEqual(header(headers, "Accept-Ranges"), "bytes")
            # Generated pages never announce ranges.
            _, headers, _ = site.get("/")
            self.assertIsNone(header(headers, "Accept-Ranges"))
        # A table that cannot be read: said on standard error, the site still served.
        with Site({"a.svg": "<svg/>"}, cfg="mimetypes=/nonexistent/mime.types\n") as site:
            status, headers, _ = site.get("/a.svg")
            self.assertEqual((status, header(headers, "Content-type")),
                             ("HTTP/1.0 200 Document follows", None))
            self.assertIn("/nonexistent/mime.types", site.stderr())

    def test_access_log(self):
        clf = re.compile(r'^(\S+) - - \[(\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d [+-]\d{4})\] '
                         r'"((?:[^"\\]|\\x[0-9A-F]{2})*)" (\d{3}) (\d+|-) "([^"]*)" "([^"]*)"$')
        with Site({"a.txt": "0123456789"}, cfg="accesslog=access.log\n", debug=False) as site:
            log = site.root / "access.log"
            curl("-A", "curl-test", "-e", "http://ref.example/", "--range", "2-4",
                 "http://127.0.0.1:%d/a.txt" % site.port)
            missing = site.request(b'GET /nothing"\x1b[31m HTTP/1.0\r\nUser-Agent: a\tb\r\n\r\n')
            missing_body = parse_reply(missing)[2]
            site.get("/a.txt", method="HEAD")
            # logrotate: move the file away, SIGHUP, the next line goes to a new file.
            os.rename(log, site.root / "access.log.1")
            site.proc.send_signal(signal.SIGHUP)
            deadline = time.monotonic() + 10
            while not log.exists() and time.monotonic() < deadline:
                time.sleep(0.02)
            site.get("/a.txt")
            rotated = (site.root / "access.log.1").read_text("latin-1").splitlines()
            fresh = log.read_text("latin-1").splitlines()
        parsed = [clf.match(line) for line in rotated + fresh]
        self.assertTrue(all(parsed), rotated + fresh)
        self.assertEqual([m.group(1) for m in parsed], ["127.0.0.1"] * 4)
        self.assertEqual([m.groups()[2:] for m in parsed], [
            ("GET /a.txt HTTP/1.1", "206", "3", "http://ref.example/", "curl-test"),
            ("GET /nothing\\x22\\x1B[31m HTTP/1.0", "404", str(len(missing_body)), "-", "a\\x09b"),
            ("HEAD /a.txt HTTP/1.0", "200", "-", "-", "-"),
            ("GET /a.txt HTTP/1.0", "200", "10", "-", "-"),
        ])
        self.assertEqual(len(fresh), 1)


if __name__ == "__main__":
    unittest.main()
