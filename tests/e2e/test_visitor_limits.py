"""What a visitor can and cannot do: control bytes never reach the operator's console raw,
process-wide values change only for listed admin clients, a name swapped for a link after
the scan is not followed, and a spool changed under the server is read again whole."""

import os
import re
import smtplib
import socket
import time
import unittest

from harness import Site, assert_stops_cleanly, parse_reply, recv_all
from smtp_client import OK, RawSmtp, mailbox_site, wait_smtp

OUTSIDE = b"OUTSIDE-THE-TREE-5c2e"


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



class OnlyWhatTheScanPublished(unittest.TestCase):
    def test_names_swapped_for_links_after_the_scan_answer_404(self):
        files = {"readme.txt": "published", "Docs/a.txt": "docs", "keep.txt": "kept",
                 "linked.txt": "-", "edited.txt": "old"}
        with Site(files) as site:
            outside = site.root.parent / "outside"
            outside.mkdir()
            (outside / "a.txt").write_bytes(OUTSIDE)
            (outside / "passwd").write_bytes(OUTSIDE)
            # A link the operator made before start-up is followed.
            os.unlink(site.root / "linked.txt")
            os.symlink(site.root / "keep.txt", site.root / "linked.txt")
            site.restart()
            self.assertEqual(site.get("/linked.txt")[2], b"kept")
            # A file replaced by a link to the outside, the target of a published link
            # swapped, a file replaced by another one (a new inode), a folder swapped for a
            # link to the outside.
            os.unlink(site.root / "readme.txt")
            os.symlink(outside / "passwd", site.root / "readme.txt")
            os.unlink(site.root / "linked.txt")
            os.symlink(outside / "passwd", site.root / "linked.txt")
            (site.root / "edited.new").write_bytes(b"new")
            os.rename(site.root / "edited.new", site.root / "edited.txt")
            os.rename(site.root / "Docs", site.root / "Docs.old")
            os.symlink(outside, site.root / "Docs")
            for path in ("/readme.txt", "/linked.txt", "/edited.txt"):
                with self.subTest(path=path):
                    status, _, body = site.get(path)
                    self.assertEqual(status, "HTTP/1.0 404 FILE NOT FOUND")
                    self.assertNotIn(OUTSIDE, body)
            log = site.stderr()
            self.assertIn("Not sent: /readme.txt is a link now\n", log)
            self.assertIn("Not sent: /linked.txt is not the file published at start-up\n", log)
            self.assertIn("Not sent: /edited.txt is not the file published at start-up\n", log)
            self.assertEqual(log.count("Not sent: "), 3, log)
            # The folder is still the directory the scan opened, wherever it went now.
            self.assertEqual(site.get("/Docs/a.txt")[2], b"docs")
            self.assertNotIn(OUTSIDE, site.get("/?scene")[2])
            self.assertEqual(site.get("/keep.txt")[2], b"kept")
            assert_stops_cleanly(self, site)



def message(n, tag):
    return ("From ???@??? Mon Jan 09 10:11:%02d 1995\nFrom: p%d@example.org\n"
            "Subject: subject-%s\n\nbody-%s\n" % (n, n, tag, tag))


class SpoolsChangingUnderTheServer(unittest.TestCase):
    def deliver(self, site, tag):
        with smtplib.SMTP("127.0.0.1", site.smtp_port, timeout=30) as client:
            client.sendmail("x@example.org", ["alpha"],
                            "Subject: subject-%s\r\n\r\nbody-%s\r\n" % (tag, tag))

    def assert_archive(self, site, tags):
        """The index lists exactly `tags`, and page n shows the n-th one's own body."""
        _, _, index = site.get("/topics/alpha/")
        self.assertEqual(sorted(re.findall(rb"subject-(\w+)", index)),
                         sorted(t.encode() for t in tags), index[-400:])
        for number, tag in enumerate(tags):
            status, _, page = site.get("/topics/alpha/%d" % number)
            self.assertIn(b"Msg:subject-" + tag.encode(), page)
            self.assertEqual(re.findall(rb"body-(\w+)", page), [tag.encode()], page)

    def test_truncated_and_replaced_spools_show_every_message_with_its_body(self):
        spool = "".join(message(n, "old%d" % n) for n in range(5))
        with mailbox_site(boxes=("alpha",), files={"topics/alpha/mailbox": spool}) as site:
            wait_smtp(site)
            path = site.root / "topics" / "alpha" / "mailbox"
            self.assert_archive(site, ["old%d" % n for n in range(5)])
            # Cut down in place (same file, shorter than what was read), then new mail.
            with open(path, "r+b") as f:
                f.truncate(0)
                f.write(message(1, "cut").encode())
            for tag in ("d1", "d2"):
                self.deliver(site, tag)
            self.assert_archive(site, ["cut", "d1", "d2"])
            # Rewritten in place and longer: a line added to the first message moves every
            # later one, which an append never does.
            path.write_bytes(path.read_bytes().replace(b"body-cut\n", b"body-cut\nadded\n"))
            self.deliver(site, "d3")
            self.assert_archive(site, ["cut", "d1", "d2", "d3"])
            # Replaced by another file (an editor's save, mv): seen at the next page request.
            fresh = site.root / "topics" / "alpha" / "mailbox.new"
            fresh.write_bytes((message(2, "new0") + message(3, "new1")).encode())
            os.rename(fresh, path)
            self.assert_archive(site, ["new0", "new1"])
            self.deliver(site, "d4")
            self.assert_archive(site, ["new0", "new1", "d4"])
            assert_stops_cleanly(self, site)


if __name__ == "__main__":
    unittest.main()
