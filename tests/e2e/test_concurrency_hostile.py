"""Hostile clients in parallel: clients that hang up mid-reply on files, listings, scenes and
mail pages, and clients sending junk heads, while mail is delivered and pages of the growing
mailbox are read. Afterwards every delivered message is in the archive exactly once and the
server still answers. Run under TSan in CI."""

import random
import socket
import struct
import threading
import unittest

from harness import Background, assert_stops_cleanly
from smtp_client import OK, START, RawSmtp, mailbox_site, quit_reply, spool, wait_smtp

MESSAGES = 200
HANGUPS = 3


class HostileClientsDuringDelivery(unittest.TestCase):
    def test_hangups_and_junk_while_mail_arrives(self):
        files = {"big.bin": bytes(range(256)) * 8192, "f.txt": "still here"}
        files.update({"docs/file%03d.txt" % i: "x" * i for i in range(200)})
        with mailbox_site(boxes=("alpha",), files=files, clients=HANGUPS + 2) as site:
            wait_smtp(site)
            done = threading.Event()
            problems = []
            counts = [0] * (HANGUPS + 1)

            def hang_up(index):
                rng = random.Random(index)
                while not done.is_set():
                    path = rng.choice(["/big.bin", "/docs/", "/docs/?scene", "/?graph",
                                       "/topics/alpha/", "/topics/alpha/?sort=subject",
                                       "/topics/alpha/%d" % rng.randrange(MESSAGES)])
                    try:
                        with site.connect(timeout=60) as s:
                            if rng.random() < 0.2:
                                s.sendall(bytes(rng.randrange(256) for _ in range(2000)))
                            else:
                                s.sendall(("GET %s HTTP/1.0\r\n\r\n" % path).encode())
                                s.recv(rng.randrange(1, 3000))
                            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    except OSError:
                        pass  # a reset of our own making
                    counts[index] += 1

            def reader():
                while not done.is_set():
                    reply = site.request(b"GET /topics/alpha/ HTTP/1.0\r\n\r\n", timeout=60)
                    if not reply.startswith(b"HTTP/1.0 200 "):
                        problems.append(reply[:80])
                    counts[HANGUPS] += 1

            workers = [lambda i=i: hang_up(i) for i in range(HANGUPS)] + [reader]
            with Background(done, workers):
                for n in range(MESSAGES):
                    with RawSmtp(site, timeout=60) as smtp:
                        reply = smtp.talk(b"MAIL FROM:<s%d@x>\r\nRCPT TO:<alpha@x>\r\nDATA\r\n" % n, 3)
                        reply += smtp.talk(b"Subject: hostile %d\r\n\r\nbody %d\r\n.\r\nQUIT\r\n" % (n, n), 2)
                        self.assertEqual(reply, OK + OK + START + OK + quit_reply())
            self.assertEqual(problems, [])
            self.assertTrue(all(counts), counts)
            self.assertIsNone(site.proc.poll())
            text = spool(site)
            for n in range(MESSAGES):
                self.assertEqual(text.count(b"Subject: hostile %d\n" % n), 1, n)
            last = site.request(b"GET /topics/alpha/%d HTTP/1.0\r\n\r\n" % (MESSAGES - 1))
            self.assertIn(b"hostile %d" % (MESSAGES - 1), last)
            self.assertEqual(site.get("/f.txt")[2], b"still here")
            assert_stops_cleanly(self, site)


if __name__ == "__main__":
    unittest.main()
