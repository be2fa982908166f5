"""How replies travel: gzip for generated pages, IPv6 beside IPv4, one chosen listen address."""

import gzip
import socket
import subprocess
import unittest

from harness import Site, parse_reply

FILES = {"Big/f%04d.txt" % i: "x" * (i % 7) for i in range(300)}
FILES["notes.txt"] = "plain text " * 100


def curl(*args):
    done = subprocess.run(["curl", "-s", "-i", "--max-time", "20", *args], capture_output=True)
    return done.returncode, parse_reply(done.stdout)


def header(headers, name):
    values = [v for n, v in headers if n.lower() == name.lower()]
    return values[0] if values else None


def has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


class Transport(unittest.TestCase):
    def test_gzip_for_generated_pages_only(self):
        with Site(FILES, cfg="gzip\n") as site:
            for path in ("/big/", "/big/?scene", "/?show"):
                with self.subTest(path=path):
                    plain = site.request(("GET %s HTTP/1.0\r\n\r\n" % path).encode())
                    status, headers, body = parse_reply(site.request(
                        ("GET %s HTTP/1.0\r\nAccept-Encoding: gzip, deflate\r\n\r\n" % path).encode()))
                    self.assertEqual(status, "HTTP/1.0 200 Document follows")
                    self.assertEqual(header(headers, "Content-Encoding"), "gzip")
                    self.assertLess(len(body), len(parse_reply(plain)[2]))
                    # Same page: the plain reply has no encoding line, the bodies agree.
                    _, plain_headers, plain_body = parse_reply(plain)
                    self.assertIsNone(header(plain_headers, "Content-Encoding"))
                    self.assertEqual(gzip.decompress(body), plain_body)
            # curl --compressed decodes the listing.
            rc, (status, headers, body) = curl("--compressed", "http://127.0.0.1:%d/big/" % site.port)
            self.assertEqual((rc, header(headers, "Content-Encoding")), (0, "gzip"))
            self.assertIn(b"f0299.txt", body)
            # Files go as they are; a client that refuses gzip gets plain bytes; HEAD no body.
            for extra, encoded in (("Accept-Encoding: gzip", None), ("Accept-Encoding: gzip;q=0", None)):
                status, headers, body = parse_reply(site.request(
                    ("GET /notes.txt HTTP/1.0\r\n%s\r\n\r\n" % extra).encode()))
                self.assertEqual((header(headers, "Content-Encoding"), body),
                                 (encoded, FILES["notes.txt"].encode()))
            status, headers, body = parse_reply(site.request(
                b"HEAD /big/ HTTP/1.0\r\nAccept-Encoding: gzip\r\n\r\n"))
            self.assertEqual((header(headers, "Content-Encoding"), body), ("gzip", b""))
        # Without the keyword, Accept-Encoding changes nothing.
        with Site(FILES) as site:
            _, headers, body = parse_reply(site.request(
                b"GET /big/ HTTP/1.0\r\nAccept-Encoding: gzip\r\n\r\n"))
            self.assertIsNone(header(headers, "Content-Encoding"))
            self.assertIn(b"f0299.txt", body)

    @unittest.skipUnless(has_ipv6_loopback(), "no IPv6 loopback on this host")
    def test_ipv6_and_listen_address(self):
        with Site({"a.txt": "six"}, cfg="hostname=::1\n") as site:
            for url in ("http://[::1]:%d/a.txt", "http://127.0.0.1:%d/a.txt"):
                rc, (status, _, body) = curl("-g", url % site.port)
                self.assertEqual((rc, status, body), (0, "HTTP/1.0 200 Document follows", b"six"))
            rc, _ = curl("-6", "-g", "http://[::1]:%d/a.txt" % site.port)
            self.assertEqual(rc, 0)
            # A literal IPv6 host name is written in brackets in absolute URLs.
            _, _, world = site.get("/?scene")
            self.assertIn(b"http://[::1]:%d/" % site.port, world)
        with Site({"a.txt": "four"}, cfg="listen=127.0.0.1\n") as site:
            rc, (status, _, body) = curl("http://127.0.0.1:%d/a.txt" % site.port)
            self.assertEqual(body, b"four")
            rc, _ = curl("-g", "http://[::1]:%d/a.txt" % site.port)
            self.assertEqual(rc, 7)  # refused: only the IPv4 loopback listens
        with Site({"a.txt": "one"}, cfg="listen=[::1]\n") as site:
            rc, (_, _, body) = curl("-g", "http://[::1]:%d/a.txt" % site.port)
            self.assertEqual((rc, body), (0, b"one"))


if __name__ == "__main__":
    unittest.main()
