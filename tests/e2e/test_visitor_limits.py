"""What a visitor can and cannot do: control bytes never reach the operator's console raw,
process-wide values change only for listed admin clients, a name swapped for a link after
the scan is not followed, and a spool changed under the server is read again whole."""

import os
import socket
import time
import unittest

from harness import Site, assert_stops_cleanly, parse_reply, recv_all
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


def get_from(site, source, path):
    """The body of GET `path` sent from the loopback address `source`."""
    with socket.create_connection(("127.0.0.1", site.port), timeout=10,
                                  source_address=(source, 0)) as s:
        s.sendall(("GET %s HTTP/1.0\r\n\r\n" % path).encode())
        return parse_reply(recv_all(s, reset_ends=True))


class ProcessWideValuesFromAdminsOnly(unittest.TestCase):
    def test_only_a_listed_client_changes_the_host_name(self):
        # 127.0.0.2 is the admin; every other client (127.0.0.1 here) is not. The delay and
        # the type table follow the same rule (DispatchTest.OnlyAdminClientsChange...).
        with Site({"f.txt": "f"}, cfg="hostname=cfg.example\nadmin=192.0.2.0/24, 127.0.0.2") as site:
            scene = lambda: get_from(site, "127.0.0.1", "/?scene")[2].lower()
            self.assertIn(b"http://cfg.example:", scene())  # vantrel.cfg lines still count
            status, _, body = get_from(site, "127.0.0.1", "/f.txt?hostname=attacker.example")
            self.assertEqual((status, body), ("HTTP/1.0 200 Document follows", b"f"))
            self.assertNotIn(b"attacker", scene())
            self.assertIn(b"http://cfg.example:", scene())
            # The admin's query still changes it for everyone.
            get_from(site, "127.0.0.2", "/f.txt?hostname=admin.example")
            self.assertIn(b"http://admin.example:", scene())
            # The per-reply type override is anyone's, for their own reply.
            self.assertEqual(dict(get_from(site, "127.0.0.1", "/f.txt?type=text/x")[1])
                             ["Content-type"], "TEXT/X")
            assert_stops_cleanly(self, site)


if __name__ == "__main__":
    unittest.main()
