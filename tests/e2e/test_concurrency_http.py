"""Many clients at once: some change delay, hostname, type and the cart through queries while
others read files and the cart. Run under TSan in CI, where any data race fails the run."""

import threading
import unittest

from harness import Site, parse_reply

ROUNDS = 20
WRITERS = [
    b"GET /f.txt?delay=1 HTTP/1.0\r\n\r\n",
    b"GET /f.txt?delay=0 HTTP/1.0\r\n\r\n",
    b"GET /f.txt?hostname=host-a.example HTTP/1.0\r\n\r\n",
    b"GET /f.txt?hostname=host-b.example HTTP/1.0\r\n\r\n",
    b"GET /f.txt?type=text/plain HTTP/1.0\r\n\r\n",
    b"GET /?item=0&quantity=1&add HTTP/1.0\r\n\r\n",
    b"GET /?item=1&quantity=2&add HTTP/1.0\r\n\r\n",
    b"HEAD /?item=2&quantity=3&add HTTP/1.0\r\n\r\n",
]
READERS = [
    b"GET /f.txt HTTP/1.0\r\n\r\n",
    b"GET /sub/g.bin HTTP/1.0\r\n\r\n",
    b"GET /?show HTTP/1.0\r\n\r\n",
    b"GET /missing HTTP/1.0\r\n\r\n",
]


class ManyClients(unittest.TestCase):
    def test_concurrent_readers_and_writers(self):
        body = b"0123456789" * 1000
        blob = bytes(range(256)) * 64
        with Site({"f.txt": body, "sub/g.bin": blob}, cfg="type txt=text/plain\nadmin=127.0.0.1\n", clients=8) as site:
            failures = []
            start = threading.Barrier(len(WRITERS) + len(READERS))

            def client(raw):
                try:
                    start.wait()
                    for _ in range(ROUNDS):
                        status, headers, got = parse_reply(site.request(raw, timeout=60))
                        if b"/missing" in raw:
                            ok = status == "HTTP/1.0 404 FILE NOT FOUND"
                        elif raw.startswith(b"HEAD"):
                            ok = status.endswith("200 Document follows") and got == b""
                        elif b"f.txt" in raw:
                            ok = got == body
                        elif b"g.bin" in raw:
                            ok = got == blob
                        else:
                            ok = b"<H2>Shopping Cart: </H2>" in got
                        if not ok:
                            failures.append((raw, status, got[:200]))
                except Exception as error:  # noqa: BLE001 - reported below
                    failures.append((raw, repr(error)))

            threads = [threading.Thread(target=client, args=(raw,)) for raw in WRITERS + READERS]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            self.assertEqual(failures, [])

            # Every add landed in its own slot: the cart is full with exactly ten rows.
            _, _, page = site.get("/?show")
            self.assertEqual(page.count(b"<BR></TR>"), 10)
            self.assertEqual(site.stop(), 0)
            self.assertEqual(site.stderr(), "")


if __name__ == "__main__":
    unittest.main()
