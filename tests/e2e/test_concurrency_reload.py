"""SIGHUP rescans the tree: added, changed and removed files, folders and mailboxes show
without a restart, a reply in progress finishes from the tree it began on, mail taken for a
mailbox before the reload is stored in the new tree's mailbox, and the console says what
changed."""

import os
import shutil
import signal
import smtplib
import time
import unittest

from harness import parse_reply, recv_all
from smtp_client import mailbox_site, wait_smtp

BIG = 32 * 1024 * 1024


def spool_message(subject):
    return ("From sender@example.org Mon Jan  1 00:00:00 2024\nFrom: Sender <sender@example.org>\n"
            "Subject: %s\n\nbody of %s\n\n" % (subject, subject))


def wait_for_reloads(site, count, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        lines = [l for l in site.stdout().splitlines() if l.startswith("Reloaded:")]
        if len(lines) >= count:
            return lines
        time.sleep(0.05)
    raise AssertionError("no reload line: " + site.stdout()[-2000:])


class Reload(unittest.TestCase):
    def test_sighup_rescans_while_a_reply_and_mail_are_in_progress(self):
        files = {"a.txt": "old", "gone.txt": "soon gone", "big.bin": b"\x5a" * BIG,
                 "topics/alpha/mailbox": spool_message("alpha one"),
                 "topics/beta/mailbox": spool_message("beta one")}
        with mailbox_site(boxes=("alpha", "beta"), files=files, debug=False) as site:
            wait_smtp(site)
            # A large reply, begun and then left waiting while the tree changes under it.
            slow = site.connect(timeout=60)
            slow.sendall(b"GET /big.bin HTTP/1.0\r\n\r\n")
            first = slow.recv(65536)
            self.assertTrue(first.startswith(b"HTTP/1.0 200"), first[:100])
            # A mail transaction whose recipient was accepted before the reload.
            mta = smtplib.SMTP("127.0.0.1", site.smtp_port, timeout=30)
            mta.helo("client.example.org")
            mta.mail("sender@example.org")
            self.assertEqual(mta.rcpt("alpha@example.org")[0], 250)

            root = site.root
            (root / "new.txt").write_text("new file")
            (root / "sub").mkdir()
            (root / "sub" / "inner.txt").write_text("inner")
            (root / "a.txt").write_text("changed content")
            os.remove(root / "gone.txt")
            (root / "topics" / "gamma").mkdir()
            (root / "topics" / "gamma" / "mailbox").write_text(spool_message("gamma one"))
            shutil.rmtree(root / "topics" / "beta")
            with open(root / "topics" / "alpha" / "mailbox", "a") as box:
                box.write(spool_message("alpha two"))
            site.proc.send_signal(signal.SIGHUP)
            lines = wait_for_reloads(site, 1)
            self.assertEqual(lines, ["Reloaded: folders +1 -0, files +2 -1 ~1, "
                                     "mailboxes +1 -1 ~1."])

            self.assertEqual(site.get("/new.txt")[2], b"new file")
            self.assertEqual(site.get("/sub/inner.txt")[2], b"inner")
            self.assertEqual(site.get("/a.txt")[2], b"changed content")
            self.assertIn(" 404 ", site.get("/gone.txt")[0])
            self.assertIn(" 404 ", site.get("/topics/beta/")[0])
            self.assertIn(b"gamma one", site.get("/topics/gamma/")[2])
            self.assertIn(b"alpha two", site.get("/topics/alpha/")[2])

            # The transaction begun before the reload stores into the new tree's mailbox.
            code, _ = mta.data("From: Late <late@example.org>\r\nSubject: alpha late\r\n\r\n"
                               "taken across a reload\r\n")
            self.assertEqual(code, 250)
            mta.quit()
            self.assertIn(b"alpha late", site.get("/topics/alpha/")[2])
            # And a new mailbox takes mail at once.
            with smtplib.SMTP("127.0.0.1", site.smtp_port, timeout=30) as again:
                again.helo("client.example.org")
                again.sendmail("sender@example.org", ["gamma@example.org"],
                               "From: S <s@example.org>\r\nSubject: gamma two\r\n\r\nhi\r\n")
            self.assertIn(b"gamma two", site.get("/topics/gamma/")[2])

            # The waiting reply finishes whole, from the tree it began on.
            rest = recv_all(slow)
            slow.close()
            status, headers, body = parse_reply(first + rest)
            self.assertEqual(len(body), BIG)
            self.assertEqual(body.count(b"\x5a"), BIG)

            # A second reload with nothing changed says so.
            site.proc.send_signal(signal.SIGHUP)
            self.assertEqual(wait_for_reloads(site, 2)[1],
                             "Reloaded: folders +0 -0, files +0 -0 ~0, mailboxes +0 -0 ~0.")
            self.assertEqual(site.stop(), 0)


if __name__ == "__main__":
    unittest.main()
