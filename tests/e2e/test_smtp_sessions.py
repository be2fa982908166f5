"""Sessions at once and failures kept to one mailbox: a client idling mid-transaction, a
spool locked by another program and a spool that is a symbolic link hold up nobody else."""
import fcntl
import os
import threading
import unittest

from smtp_client import OK, R451, START, RawSmtp, mailbox_site, mask, quit_reply, spool, wait_smtp


class SessionsAtOnce(unittest.TestCase):
    def test_idle_client_locked_spool_and_symlinked_spool_hold_up_nobody(self):
        files = {"outside.txt": "precious\n"}
        with mailbox_site(boxes=("alpha", "beta", "linked"), files=files) as site:
            os.symlink(site.root / "outside.txt", site.root / "topics" / "linked" / "mailbox")
            (site.root / "topics" / "beta" / "mailbox").write_bytes(b"")
            wait_smtp(site)
            idle = RawSmtp(site, timeout=60)
            self.assertEqual(idle.talk(b"RCPT TO:<alpha@x>\r\nDATA\r\n", 2), OK + START)
            idle.send(b"Subject: slow\r\n\r\nhalf of it\r\n")

            # Another program holds a shared lock on beta's spool for the whole test.
            with open(site.root / "topics" / "beta" / "mailbox", "rb") as held:
                fcntl.flock(held, fcntl.LOCK_SH)
                locked_reply = []

                def to_locked_box():
                    with RawSmtp(site, timeout=60) as smtp:
                        smtp.talk(b"RCPT TO:<beta@x>\r\nDATA\r\n", 2)
                        locked_reply.append(smtp.talk(b"Subject: b\r\n\r\nwaits\r\n.\r\n"))

                waiting = threading.Thread(target=to_locked_box)
                waiting.start()
                with RawSmtp(site) as smtp:
                    self.assertEqual(smtp.talk(b"RCPT TO:<linked@x>\r\nDATA\r\nnot here\r\n.\r\n", 3),
                                     OK + START + R451)
                    self.assertEqual(smtp.talk(b"MAIL FROM:<a@b>\r\nRCPT TO:<alpha@x>\r\n"
                                               b"DATA\r\nmeanwhile\r\n.\r\nQUIT\r\n", 5),
                                     OK + OK + START + OK + quit_reply())
                waiting.join(60)
                self.assertEqual(locked_reply, [R451])
            self.assertEqual(spool(site, "beta"), b"")
            self.assertEqual((site.root / "outside.txt").read_bytes(), b"precious\n")
            self.assertIn("is a symbolic link, not written", site.stderr())
            self.assertIn("stayed locked by another program", site.stderr())

            self.assertEqual(idle.talk(b"the rest\r\n.\r\nQUIT\r\n", 2), OK + quit_reply())
            idle.close()
            self.assertEqual(mask(spool(site)),
                             b"SEP\nmeanwhile\n\nSEP\nSubject: slow\n\nhalf of it\nthe rest\n")

    def test_commands_sent_at_once_are_all_answered_in_order(self):
        # Thousands of commands in one burst, the client reading nothing until it has sent them
        # all: the replies back up, and every one must still come, in order, before the store.
        count = 20000
        burst = b"NOOP\r\n" * count + (b"MAIL FROM:<a@b>\r\nRCPT TO:<alpha@x>\r\nDATA\r\n"
                                        b"Subject: last\r\n\r\nafter the burst\r\n.\r\nQUIT\r\n")
        with mailbox_site() as site, RawSmtp(site, timeout=60) as smtp:
            sender = threading.Thread(target=smtp.send, args=(burst,))
            sender.start()
            replies = [smtp.reply() for _ in range(count + 5)]
            sender.join(60)
            self.assertEqual(replies[:count], [OK] * count)
            self.assertEqual(b"".join(replies[count:]), OK + OK + START + OK + quit_reply())
            self.assertTrue(smtp.closed_by_server())
            self.assertEqual(mask(spool(site)), b"SEP\nSubject: last\n\nafter the burst\n")


if __name__ == "__main__":
    unittest.main()
