"""Which paths below a mailbox reach a message: canonical numbers of existing messages only."""

import unittest

from harness import Site
from mailutil import CORPUS_DIR, LUNCH_SPOOL


def is_not_found(reply):
    return reply.startswith(b"HTTP/1.0 404 ")


class MailPaths(unittest.TestCase):
    def test_message_numbers(self):
        files = {
            "topics/vantrel.cfg": "topics\n",
            "topics/list/MAILBOX": LUNCH_SPOOL,
            "topics/list/picture.gif": "GIF89a",
            "topics/list/sub/inner.txt": "hidden\n",
            "topics/quiet/readme.txt": "no spool here\n",
        }
        with Site(files) as site:
            for path in ("/topics/list/0", "/topics/list/1", "/TOPICS/List/1"):
                with self.subTest(path=path):
                    reply = site.request(("GET %s HTTP/1.0\r\n\r\n" % path).encode())
                    self.assertFalse(is_not_found(reply), reply[:80])
            for path in ("/topics/list/2", "/topics/list/01", "/topics/list/-1", "/topics/list/+1",
                         "/topics/list/1x", "/topics/list/99999999999", "/topics/list/picture.gif",
                         "/topics/list/sub/inner.txt", "/topics/list/mailbox",
                         "/topics/list/1/0", "/topics/quiet/0", "/topics/quiet/readme.txt"):
                with self.subTest(path=path):
                    reply = site.request(("GET %s HTTP/1.0\r\n\r\n" % path).encode())
                    self.assertTrue(is_not_found(reply), reply[:80])
            self.assertIsNone(site.proc.poll(), "the server must still run")

    def test_real_corpus_is_served(self):
        odd = CORPUS_DIR / "odd.mbox"
        if not odd.exists():
            self.skipTest("corpus not present")
        files = {"topics/vantrel.cfg": "topics\n", "topics/odd/mailbox": odd.read_bytes()}
        with Site(files) as site:
            reply = site.request(b"GET /topics/odd/55 HTTP/1.0\r\n\r\n")
            self.assertFalse(is_not_found(reply), reply[:80])
            reply = site.request(b"GET /topics/odd/100000 HTTP/1.0\r\n\r\n")
            self.assertTrue(is_not_found(reply), reply[:80])
            self.assertIsNone(site.proc.poll())


if __name__ == "__main__":
    unittest.main()
