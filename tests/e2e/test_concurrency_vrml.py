"""Worlds written while mail arrives: one SMTP client delivers 300 messages to a mailbox while
four HTTP clients ask for the topics room (the mailbox turns from an empty folder into a
bulletin board) and the graph (which walks the mailbox's growing list of messages). Every
world must come out whole; afterwards the mailbox is a board."""

import smtplib
import threading
import unittest

from harness import Background
from smtp_client import mailbox_site, wait_smtp

MESSAGES = 300
READERS = 4
WORLD_START = b"#VRML V1.0 ascii\r\n\r\nSeparator {\r\n"


class WorldsWhileMailArrives(unittest.TestCase):
    def test_worlds_stay_whole_during_delivery(self):
        with mailbox_site(boxes=("alpha",), clients=READERS) as site:
            wait_smtp(site)
            done = threading.Event()
            problems = []
            reads = [0] * READERS

            def reader(index):
                path = "/topics/?scene" if index % 2 == 0 else "/?graph"
                while True:  # at least one world per reader, however fast the delivery
                    try:
                        reply = site.request(("GET %s HTTP/1.0\r\n\r\n" % path).encode(), timeout=60)
                    except OSError as error:
                        problems.append("%s: %s" % (path, error))
                        return
                    head, _, body = reply.partition(b"\r\n\r\n")
                    if not head.startswith(b"HTTP/1.0 200 ") or not body.startswith(WORLD_START) \
                            or not body.endswith(b"\r\n}\r\n"):
                        problems.append("%s: %r ... %r" % (path, reply[:80], reply[-40:]))
                    reads[index] += 1
                    if done.is_set():
                        return

            with Background(done, [lambda i=i: reader(i) for i in range(READERS)]):
                with smtplib.SMTP("127.0.0.1", site.smtp_port, timeout=120) as client:
                    for n in range(MESSAGES):
                        body = "Subject: note %d\r\n\r\nline %d\r\n" % (n, n)
                        self.assertEqual(client.sendmail("s@example.org", ["alpha@here"], body), {})
            self.assertEqual(problems, [])
            self.assertTrue(all(count > 0 for count in reads), reads)

            room = site.get("/topics/?scene")[2]
            self.assertEqual(room.count(b"\tUSE BBoard\r\n"), 1)
            graph = site.get("/?graph")[2]
            self.assertIn(b"Separator {\t# Directory alpha\r\n", graph)


if __name__ == "__main__":
    unittest.main()
