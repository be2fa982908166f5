"""One SMTP client delivers 1,000 messages to a mailbox while four HTTP clients read that
mailbox's index and message pages; afterwards every message is in the spool and in the
archive exactly once, in order, with its body intact."""

import random
import re
import smtplib
import threading
import unittest

from harness import Background
from smtp_client import mailbox_site, mask, spool, wait_smtp

MESSAGES = 1000
READERS = 4


def message(n):
    return ("From: Sender %d <s%d@example.org>\r\nSubject: message %d\r\n\r\n"
            "first body line of %d\r\n.dotted %d\r\nFrom the body of %d\r\n" % (n, n, n, n, n, n))


def stored(n):
    return ("SEP\nFrom: Sender %d <s%d@example.org>\nSubject: message %d\n\n"
            "first body line of %d\n.dotted %d\n>From the body of %d\n" % (n, n, n, n, n, n)).encode()


class ConcurrentDeliveryAndReading(unittest.TestCase):
    def test_delivery_while_pages_are_read(self):
        with mailbox_site(boxes=("alpha",), clients=READERS) as site:
            wait_smtp(site)
            done = threading.Event()
            problems = []
            reads = [0] * READERS

            def reader(index):
                rng = random.Random(index)
                while not done.is_set():
                    path = "/topics/alpha/" if rng.random() < 0.3 else \
                        "/topics/alpha/%d" % rng.randrange(MESSAGES)
                    try:
                        reply = site.request(("GET %s HTTP/1.0\r\n\r\n" % path).encode(), timeout=60)
                    except OSError as error:
                        problems.append("%s: %s" % (path, error))
                        return
                    status = reply.split(b"\r\n", 1)[0]
                    if not re.match(rb"HTTP/1\.0 (200|404) ", status):
                        problems.append("%s: %r" % (path, status))
                    reads[index] += 1

            with Background(done, [lambda i=i: reader(i) for i in range(READERS)]):
                with smtplib.SMTP("127.0.0.1", site.smtp_port, timeout=120) as client:
                    for n in range(MESSAGES):
                        self.assertEqual(client.sendmail("s@example.org", ["alpha@here"], message(n)), {})
            self.assertEqual(problems, [])
            self.assertTrue(all(count > 0 for count in reads), reads)

            self.assertEqual(mask(spool(site)), b"".join(stored(n) for n in range(MESSAGES)))
            self.assertNotIn(b" 404 ", site.request(b"GET /topics/alpha/999 HTTP/1.0\r\n\r\n")[:40])
            self.assertIn(b" 404 ", site.request(b"GET /topics/alpha/1000 HTTP/1.0\r\n\r\n")[:40])
            for n in (0, 500, 999):
                page = site.request(("GET /topics/alpha/%d HTTP/1.0\r\n\r\n" % n).encode())
                self.assertRegex(page, rb"message %d\b" % n)
                self.assertIn(b"first body line of %d<br>" % n, page)


if __name__ == "__main__":
    unittest.main()
