"""What a visitor can and cannot do: control bytes never reach the operator's console raw,
process-wide values change only for listed admin clients, a name swapped for a link after
the scan is not followed, and a spool changed under the server is read again whole."""

import os
import time
import unittest

from harness import Site, assert_stops_cleanly
from smtp_client import OK, RawSmtp, mailbox_site


class ConsoleLog(unittest.TestCase):
    def test_control_bytes_reach_the_log_escaped(self):
        with mailbox_site(boxes=("alpha",)) as site:
            site.request(b"GET /\x1b[2J\x7fx?type=a\x1bb HTTP/1.0\r\nUser-Agent: x\r\n\r\n")
            site.get("/topics/?type=text/x\x1b]0;owned\x07")
            with RawSmtp(site) as smtp:
                smtp.talk(b"HELO \x1b[31mred\r\n")
                self.assertEqual(smtp.talk(b"MAIL FROM:<a@b>\r\n"), OK)
                smtp.talk(b"RCPT TO:<alpha>\r\n")
                smtp.talk(b"DATA\r\n")
                smtp.talk(b"Subject: s\r\n\r\nbody \x1b[5m blink\r\n.\r\n")
                smtp.talk(b"QUIT\r\n")
            deadline = time.monotonic() + 10
            while "blink" not in site.stdout() and time.monotonic() < deadline:
                time.sleep(0.05)
            log = site.stdout()
            self.assertNotIn("\x1b", log)
            self.assertNotIn("\x7f", log)
            self.assertNotIn("\x07", log)
            self.assertIn("Request: GET /\\x1B[2J\\x7Fx?type=a\\x1Bb HTTP/1.0\n", log)
            self.assertIn("HELO \\x1B[31mred\n", log)
            self.assertIn("body \\x1B[5m blink\n", log)
            # A folder's listing logs its header; the type value from the query is dropped
            # rather than logged, as it holds control bytes.
            self.assertNotIn("OWNED", log)
            assert_stops_cleanly(self, site)


if __name__ == "__main__":
    unittest.main()
