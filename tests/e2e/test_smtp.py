"""Mail reception against the running server: smtplib as a real client, raw sessions for the
byte-exact edge cases, the spool bytes, and the delivered mail read back through the archive."""

import smtplib
import unittest

from harness import Site
from smtp_client import (GREETING, OK, R451, R500, R502, R550, R552, R553, START, RawSmtp,
                         host_name, mailbox_site, mask, quit_reply, spool, wait_smtp)


def archive_status(site, path):
    """Status line of a GET."""
    reply = site.request(("GET %s HTTP/1.0\r\n\r\n" % path).encode("latin-1"))
    return reply.split(b"\r\n", 1)[0].decode("latin-1")


class ArchiveChecks:
    def assert_messages_in_archive(self, site, box, count, must_contain=()):
        """Messages 0..count-1 have pages under /topics/box/, message `count` has none; the
        newest message's page and the mailbox index show the given texts."""
        for number in range(count):
            self.assertEqual(archive_status(site, "/topics/%s/%d" % (box, number)),
                             "HTTP/1.0 200 Document follows", "message %d" % number)
        self.assertIn(" 404 ", archive_status(site, "/topics/%s/%d" % (box, count)))
        newest = site.request(("GET /topics/%s/%d HTTP/1.0\r\n\r\n" % (box, count - 1)).encode())
        index = site.request(("GET /topics/%s/ HTTP/1.0\r\n\r\n" % box).encode())
        for text in must_contain:
            self.assertIn(text, newest)
            self.assertIn(text, index)


class SmtplibDelivery(unittest.TestCase, ArchiveChecks):
    def test_smtplib_message_reaches_spool_and_archive(self):
        with mailbox_site() as site:
            wait_smtp(site)
            with smtplib.SMTP("127.0.0.1", site.smtp_port, timeout=30) as client:
                code, name = client.helo("client.example")
                self.assertEqual((code, name), (250, host_name()))
                refused = client.sendmail(
                    "ann@example.org", ["alpha@here", "nobody@here"],
                    "From: Ann <ann@example.org>\r\nSubject: lunch?\r\n\r\nAt noon.\r\n"
                    ".hidden dot\r\nFrom the kitchen\r\n")
                self.assertEqual(refused, {"nobody@here": (550, R550[4:-2])})
                # Stored by the time the end of the data was acknowledged.
                self.assertIsNotNone(spool(site))
                code, text = client.quit()
                self.assertEqual(code, 221)
                self.assertEqual(text, quit_reply()[4:-2])
            self.assertEqual(mask(spool(site)),
                             b"SEP\nFrom: Ann <ann@example.org>\nSubject: lunch?\n\nAt noon.\n"
                             b".hidden dot\n>From the kitchen\n")
            self.assert_messages_in_archive(site, "alpha", 1, [b"lunch?"])
            # The console shows the command lines as received.
            self.assertIn("rcpt TO:<nobody@here>\n", site.stdout())

    def test_demo_archive_takes_new_mail(self):
        with Site(demo=True) as site:
            wait_smtp(site)
            boxes = sorted(p.name for p in (site.root / "topics").iterdir() if p.is_dir())
            self.assertTrue(boxes, "demo has no mailboxes")
            box = boxes[0]
            before = spool(site, box) or b""
            count = 0
            while " 404 " not in archive_status(site, "/topics/%s/%d" % (box, count)):
                count += 1
            with smtplib.SMTP("127.0.0.1", site.smtp_port, timeout=30) as client:
                client.sendmail("x@y", ["%s@demo" % box], "Subject: fresh demo mail\r\n\r\nhi\r\n")
            after = spool(site, box)
            self.assertTrue(after.startswith(before))
            self.assertEqual(mask(after[len(before):]).lstrip(b"\n"),
                             b"SEP\nSubject: fresh demo mail\n\nhi\n")
            self.assert_messages_in_archive(site, box, count + 1, [b"fresh demo mail"])


class SessionEdgeCases(unittest.TestCase, ArchiveChecks):
    def test_commands_replies_and_session_end(self):
        with mailbox_site() as site:
            cases = [
                ("lower-case helo", b"helo there\r\n", b"250 " + host_name() + b"\r\n"),
                ("HELO alone", b"HELO\r\n", b"250 " + host_name() + b"\r\n"),
                ("VRFY", b"VRFY alpha\r\n", R502),
                ("NOOP", b"noop\r\n", OK),
                ("empty brackets", b"RCPT TO:<>\r\n", R553),
                ("only at signs and dots", b"RCPT TO:<@.@.>\r\n", R553),
                ("space before <", b"RCPT TO: <alpha@x>\r\n", R550),
                ("unknown mailbox", b"RCPT TO:<nobody@x>\r\n", R550),
            ]
            with RawSmtp(site) as smtp:
                self.assertEqual(smtp.greeting, GREETING)
                for label, line, reply in cases:
                    with self.subTest(label):
                        self.assertEqual(smtp.talk(line), reply)
                self.assertEqual(smtp.talk(b"QUIT\r\n"), quit_reply())
                self.assertTrue(smtp.closed_by_server())
            for short in (b"QUI\r\n", b"\r\n", b"ab\n"):
                with self.subTest(short=short), RawSmtp(site) as smtp:
                    self.assertEqual(smtp.talk(short), R500)
                    self.assertTrue(smtp.closed_by_server())
            # A command line past 999 characters: the remainder is the next command.
            with RawSmtp(site) as smtp:
                self.assertEqual(smtp.talk(b"NOOP" + b" " * 995 + b"VRFY\r\n", 2), OK + R502)
            self.assertIsNone(spool(site))
            self.assertIn("helo there\n", site.stdout())

    def test_console_shows_each_command_before_its_reply(self):
        with mailbox_site() as site:
            with RawSmtp(site) as smtp:
                for line in (b"HELO console\r\n", b"MAIL FROM:<a@b>\r\n",
                             b"RCPT TO:<alpha@x>\r\n", b"DATA\r\n"):
                    smtp.talk(line)
                    self.assertTrue(site.stdout().endswith(line.decode()[:-2] + "\n"), line)
                self.assertEqual(smtp.talk(b"Subject: s\r\n\r\nbody\r\n.\r\n"), OK)  # stored
                self.assertEqual(smtp.talk(b"MAIL FROM:<c@d>\r\n"), OK)
                self.assertTrue(site.stdout().endswith(
                    "DATA\nSubject: s\n\nbody\nMAIL FROM:<c@d>\n"), site.stdout()[-200:])
                self.assertEqual(smtp.talk(b"RCPT TO:<alpha@x>\r\n"), OK)
                self.assertEqual(smtp.talk(b"DATA\r\n"), START)
                self.assertEqual(smtp.talk(b"second\r\n.\r\n"), OK)
                self.assertEqual(smtp.talk(b"QUIT\r\n"), quit_reply())
                self.assertTrue(site.stdout().endswith("DATA\nsecond\nQUIT\n"),
                                site.stdout()[-200:])

    def raw_message(self, site, data, rcpts=(b"alpha",)):
        """One transaction and QUIT on a fresh connection; returns all replies."""
        with RawSmtp(site) as smtp:
            out = smtp.talk(b"MAIL FROM:<a@b>\r\n")
            for rcpt in rcpts:
                out += smtp.talk(b"RCPT TO:<" + rcpt + b"@x>\r\n")
            out += smtp.talk(b"DATA\r\n")
            out += smtp.talk(data)
            out += smtp.talk(b"QUIT\r\n")
            return out

    def test_data_lines_as_stored(self):
        # A message without an empty line is closed with one, so the next one stays apart.
        long_line = b"L" * 2047 + b"tail"
        cases = [
            ("two dots", b"..\r\n.\r\n", b"SEP\n.\n\n"),
            ("leading dot of a stuffed line", b"..x\r\n.\r\n", b"SEP\n.x\n\n"),
            # DATA hands over a piece of 2047 bytes; the store keeps lines under 999 bytes.
            ("long line in pieces", long_line + b"\r\n.\r\n",
             b"SEP\n" + b"L" * 998 + b"\n" + b"L" * 998 + b"\n" + b"L" * 51 + b"\ntail\n\n"),
            ("lone dot ended by LF only", b"a\r\n.\nb\r\n.\r\n", b"SEP\na\n.\nb\n\n"),
            ("no end mark after a bare LF", b"a\n.\r\nMAIL FROM:<evil>\r\n.\r\n",
             b"SEP\na\n.\nMAIL FROM:<evil>\n\n"),
            ("From lines in the body", b"Subject: f\r\n\r\nFrom here\r\n>From: there\r\n.\r\n",
             b"SEP\nSubject: f\n\n>From here\n>>From: there\n"),
        ]
        for label, data, stored in cases:
            with self.subTest(label), mailbox_site() as site:
                self.assertEqual(self.raw_message(site, data), OK + OK + START + OK + quit_reply())
                self.assertEqual(mask(spool(site)), stored)
                count = stored.count(b"SEP\n")
                self.assert_messages_in_archive(site, "alpha", count)

    def test_recipients_and_transactions(self):
        with mailbox_site() as site:
            # One recipient named twice, in two cases: one copy.
            with RawSmtp(site) as smtp:
                self.assertEqual(smtp.talk(b"RCPT TO:<alpha@x>\r\nRCPT TO:<ALPHA@y>\r\n", 2), OK + OK)
                self.assertEqual(smtp.talk(b"DATA\r\nonce\r\n.\r\nQUIT\r\n", 3),
                                 START + OK + quit_reply())
            self.assertEqual(mask(spool(site)), b"SEP\nonce\n\n")
            # Two recipients: a copy each. Two DATA blocks: a message each.
            with RawSmtp(site) as smtp:
                smtp.talk(b"MAIL FROM:<a@b>\r\nRCPT TO:<alpha@x>\r\nRCPT TO:<beta@x>\r\n", 3)
                smtp.talk(b"DATA\r\npart one\r\n.\r\nDATA\r\npart two\r\n.\r\n", 4)
                self.assertEqual(smtp.talk(b"QUIT\r\n"), quit_reply())
            self.assertEqual(mask(spool(site)), b"SEP\nonce\n\nSEP\npart one\n\nSEP\npart two\n\n")
            self.assertEqual(mask(spool(site, "beta")), b"SEP\npart one\n\nSEP\npart two\n\n")
            # RSET after an acknowledged DATA (how a relay probes a connection it reuses)
            # keeps the message; RSET before the data ends the transaction.
            with RawSmtp(site) as smtp:
                smtp.talk(b"MAIL FROM:<a@b>\r\nRCPT TO:<beta@x>\r\nDATA\r\nkept\r\n.\r\n", 4)
                self.assertEqual(smtp.talk(b"RSET\r\nDATA\r\nnobody's\r\n.\r\nQUIT\r\n", 4),
                                 OK + START + OK + quit_reply())
            self.assertEqual(mask(spool(site, "beta")),
                             b"SEP\npart one\n\nSEP\npart two\n\nSEP\nkept\n\n")
            self.assert_messages_in_archive(site, "alpha", 3)
            self.assert_messages_in_archive(site, "beta", 3)

    def test_abandoned_connection_stores_nothing_and_names_nobody(self):
        with mailbox_site() as site:
            with RawSmtp(site) as smtp:  # drops in the middle of DATA
                smtp.talk(b"RCPT TO:<alpha@x>\r\nDATA\r\n", 2)
                smtp.send(b"half line\r\n")
            with RawSmtp(site) as smtp:  # names a recipient, then goes away
                self.assertEqual(smtp.talk(b"RCPT TO:<alpha@x>\r\n"), OK)
            with RawSmtp(site) as smtp:
                self.assertEqual(smtp.talk(b"RCPT TO:<beta@x>\r\nDATA\r\nfor beta\r\n.\r\n", 3),
                                 OK + START + OK)
            self.assertIsNone(spool(site))
            self.assertEqual(mask(spool(site, "beta")), b"SEP\nfor beta\n\n")

    def test_missing_spool_created_and_unusable_spool_answered_451(self):
        files = {"topics/blocked/mailbox/keep.txt": "a directory where the spool should be\n",
                 "topics/upper/MAILBOX": "From ???@??? Mon Jan 09 10:11:12 1995\nSubject: old\n\nold\n"}
        with mailbox_site(boxes=("alpha", "blocked", "upper"), files=files) as site:
            with RawSmtp(site) as smtp:
                smtp.talk(b"RCPT TO:<alpha@x>\r\nRCPT TO:<upper@x>\r\nDATA\r\nnew\r\n.\r\n", 4)
                self.assertEqual(smtp.talk(b"QUIT\r\n"), quit_reply())
            self.assertEqual(mask(spool(site)), b"SEP\nnew\n\n")
            self.assertEqual(mask(spool(site, "upper", "MAILBOX")),
                             b"SEP\nSubject: old\n\nold\nSEP\nnew\n\n")
            self.assertIsNone(spool(site, "upper", "mailbox"))
            self.assert_messages_in_archive(site, "upper", 2)
            with RawSmtp(site) as smtp:
                self.assertEqual(smtp.talk(b"RCPT TO:<blocked@x>\r\nDATA\r\nnot stored\r\n.\r\n", 3),
                                 OK + START + R451)
                # Only that mailbox: the next message, to another, is stored.
                self.assertEqual(smtp.talk(b"MAIL FROM:<a@b>\r\nRCPT TO:<alpha@x>\r\n"
                                           b"DATA\r\nafter\r\n.\r\nQUIT\r\n", 5),
                                 OK + OK + START + OK + quit_reply())
            self.assertIn("could not be opened", site.stderr())
            self.assertEqual(mask(spool(site)), b"SEP\nnew\n\nSEP\nafter\n\n")

    def test_oversized_message_refused_and_session_goes_on(self):
        with mailbox_site() as site:
            line = b"x" * 998 + b"\r\n"
            with RawSmtp(site, timeout=120) as smtp:
                smtp.talk(b"RCPT TO:<alpha@x>\r\n")
                self.assertEqual(smtp.talk(b"DATA\r\n"), START)
                chunk = line * 1024  # 1 MiB
                for _ in range(33):
                    smtp.send(chunk)
                self.assertEqual(smtp.talk(b".\r\n"), R552)
                self.assertEqual(smtp.talk(b"RCPT TO:<alpha@x>\r\nDATA\r\nsmall\r\n.\r\nQUIT\r\n", 4),
                                 OK + START + OK + quit_reply())
            self.assertEqual(mask(spool(site)), b"SEP\nsmall\n\n")


if __name__ == "__main__":
    unittest.main()
