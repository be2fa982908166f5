"""A real MTA in front: a private Postfix instance on loopback relays a test domain to the SMTP
port, swaks submits to Postfix. Relayed mail reaches the archive whole, also over a connection
Postfix keeps open and reuses; a temporary failure on our side leaves the message in Postfix's
queue, and a flush after the fault is cleared delivers it once."""

import fcntl
import re
import signal
import smtplib
import time
import unittest

from private_mta import PrivatePostfix, unavailable
from smtp_client import mailbox_site, mask, spool, wait_smtp

DOMAIN = "vantrel.test"
# A hard bound on each test, whatever hangs: Postfix, swaks or the server.
TEST_BOUND = 150
WAIT = 30.0

# Lines a relay could alter: dot-stuffing (a lone dot, leading dots), a "From " line the spool
# quotes, leading white space, an empty line, a long line, an 8-bit byte and markup characters.
BODY_LINES = [
    b"Relayed through a real MTA, every byte as sent.",
    b".",
    b"..two leading dots",
    b"From the kitchen, a line the spool quotes",
    b">From an already quoted line",
    b"  two leading spaces",
    b"\ta leading tab",
    b"",
    b"caf\xe9 <b>bold</b> & \"quoted\"",
    b"x" * 900,
    b"last line",
]
BODY = b"\r\n".join(BODY_LINES) + b"\r\n"


def message(subject):
    return b"From: Ann <ann@example.org>\r\nTo: alpha@%s\r\nSubject: %s\r\n\r\n%s" % (
        DOMAIN.encode(), subject, BODY)


def stored_body():
    """BODY as the spool keeps it: "\\n" line ends, a "From " line (behind any ">"s) quoted."""
    return b"".join((b">" + line if re.match(rb">*From ", line) else line) + b"\n"
                    for line in BODY_LINES)


def stored_messages(site, box="alpha"):
    """The messages of a spool, each without its separator line."""
    return mask(spool(site, box) or b"").split(b"SEP\n")[1:]


def page_body(site, box, number):
    """The message text as the archive page shows it: from the header table to the rule."""
    page = site.request(("GET /topics/%s/%d HTTP/1.0\r\n\r\n" % (box, number)).encode())
    if not page.startswith(b"HTTP/1.0 200 "):
        return None
    return page.split(b"</Table>", 1)[1].split(b"<HR>", 1)[0]


def page_count(site, box):
    count = 0
    while page_body(site, box, count) is not None:
        count += 1
    return count


class _Bounded(Exception):
    pass


_CANNOT_RUN = unavailable()


@unittest.skipIf(_CANNOT_RUN, _CANNOT_RUN)
class RelayedByPostfix(unittest.TestCase):
    def setUp(self):
        def out_of_time(*_):
            raise _Bounded("test ran past %d s" % TEST_BOUND)

        signal.signal(signal.SIGALRM, out_of_time)
        signal.alarm(TEST_BOUND)

    def tearDown(self):
        signal.alarm(0)

    def wait_in_log(self, mta, pattern, count=1):
        """Waits until the mail log holds `count` lines matching `pattern`; returns them."""
        deadline = time.monotonic() + WAIT
        while True:
            found = re.findall(r"^.*%s.*$" % pattern, mta.log(), re.M)
            if len(found) >= count:
                return found
            if time.monotonic() > deadline:
                self.fail("no %d log lines matching %r:\n%s" % (count, pattern, mta.log()[-4000:]))
            time.sleep(0.1)

    def submit(self, mta, subject):
        """Submits one message to Postfix; returns its queue id."""
        said = mta.send("ann@example.org", "alpha@" + DOMAIN, message(subject))
        return re.search(r"queued as ([0-9A-Za-z]+)", said).group(1)

    def test_relayed_mail_arrives_whole_also_over_a_reused_connection(self):
        with mailbox_site(boxes=("alpha", "direct")) as site:
            wait_smtp(site)
            # The same body sent straight to us: what the archive page must show.
            with smtplib.SMTP("127.0.0.1", site.smtp_port, timeout=WAIT) as client:
                client.sendmail("ann@example.org", ["direct@here"], message(b"direct"))
            with PrivatePostfix(DOMAIN, site.smtp_port) as mta:
                first = self.submit(mta, b"relayed one")
                self.wait_in_log(mta, first + r": to=<alpha@vantrel\.test>.* status=sent \(250 ")
                second = self.submit(mta, b"relayed two")
                sent = self.wait_in_log(mta, second + r": to=<alpha@vantrel\.test>.* status=sent")
                # Postfix reused the open connection for the second message (after its RSET
                # probe), so a reused connection delivers, not only a fresh one.
                self.assertIn("conn_use=2", sent[0])
                self.assertIn("RSET\n", site.stdout())

                stored = stored_messages(site)
                self.assertEqual(len(stored), 2, spool(site))
                for text, subject in zip(stored, (b"relayed one", b"relayed two")):
                    head, _, body = text.partition(b"\n\n")
                    self.assertIn(b"\nSubject: " + subject + b"\n", head)
                    self.assertIn(b"by mta.vantrel-test.invalid (Postfix)", head)
                    self.assertEqual(body.rstrip(b"\n"), stored_body().rstrip(b"\n"))
                shown = page_body(site, "direct", 0)
                self.assertIn(b"caf\xe9", shown)
                self.assertEqual([page_body(site, "alpha", n) for n in range(3)],
                                 [shown, shown, None])

    def test_temporary_failure_stays_queued_until_the_fault_is_cleared(self):
        with mailbox_site(boxes=("alpha",)) as site:
            wait_smtp(site)
            with PrivatePostfix(DOMAIN, site.smtp_port) as mta:
                first = self.submit(mta, b"before the fault")
                self.wait_in_log(mta, first + r": .* status=sent")
                before = spool(site)

                # Another program (a mail reader, say) holds the spool locked: our 451 makes
                # Postfix keep the message and try again later.
                with open(site.root / "topics" / "alpha" / "mailbox", "rb") as held:
                    fcntl.flock(held, fcntl.LOCK_SH)
                    second = self.submit(mta, b"during the fault")
                    deferred = self.wait_in_log(mta, second + r": .* status=deferred")
                    self.assertIn("said: 451 Requested action aborted: local error in processing",
                                  deferred[0])
                    self.assertIn(second, mta.queue())
                    self.assertEqual(spool(site), before)
                    self.assertEqual(page_count(site, "alpha"), 1)

                mta.flush()
                self.wait_in_log(mta, second + r": .* status=sent \(250 ")
                self.wait_in_log(mta, second + r": removed")
                self.assertIn("Mail queue is empty", mta.queue())
                stored = stored_messages(site)
                self.assertEqual([b"\nSubject: during the fault\n" in m for m in stored],
                                 [False, True], spool(site))
                self.assertTrue(spool(site).startswith(before))
                self.assertEqual(page_count(site, "alpha"), 2)


if __name__ == "__main__":
    unittest.main()
