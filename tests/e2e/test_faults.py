"""Faults under a running server: a spool that cannot grow during a delivery, the process
killed in the middle of a burst of deliveries and restarted, a file truncated or removed
while it is being sent, and running out of file descriptors."""

import os
import re
import resource
import signal
import socket
import subprocess
import threading
import time
import unittest

from harness import (BIN, START_TIMEOUT, Site, assert_stops_cleanly, is_listening, parse_reply,
                     recv_all)
from smtp_client import OK, R452, START, RawSmtp, mailbox_site, mask, quit_reply, spool, wait_smtp


def start_limited(site, limits, ignore=()):
    """Starts `site`'s server as the harness does, under the given resource limits and with
    the given signals ignored (an ignored signal stays ignored across exec)."""
    def prepare():
        for kind, value in limits:
            resource.setrlimit(kind, (value, value))
        for number in ignore:
            signal.signal(number, signal.SIG_IGN)

    site._out = open(site._tmp / "stdout.txt", "wb")
    site._err = open(site._tmp / "stderr.txt", "wb")
    site.proc = subprocess.Popen([BIN, "-debug"], cwd=site.root, stdout=site._out,
                                 stderr=site._err, stdin=subprocess.DEVNULL, preexec_fn=prepare)
    deadline = time.monotonic() + START_TIMEOUT
    while not is_listening(site.port):
        if site.proc.poll() is not None or time.monotonic() > deadline:
            site.stop()
            raise RuntimeError("vantrel did not start: %s" % site.stderr())
        time.sleep(0.02)


def deliver(site, sender, subject, body, timeout=30, quit=True):
    """One connection, one message: MAIL, RCPT, DATA, QUIT. Returns the QUIT reply, or the
    reply to the end of the data when that was not 250 (b"" when the connection broke)."""
    try:
        with RawSmtp(site, timeout=timeout) as smtp:
            head = smtp.talk(b"MAIL FROM:<%s>\r\nRCPT TO:<alpha@x>\r\nDATA\r\n" % sender, 3)
            if head != OK + OK + START:
                return b""
            text = b"From: %s\r\nSubject: %s\r\n\r\n%s\r\n.\r\n" % (sender, subject, body)
            stored = smtp.talk(text)
            if stored != OK or not quit:
                return stored
            return smtp.talk(b"QUIT\r\n")
    except (OSError, RuntimeError):  # refused, reset, or no longer listening after a kill
        return b""


def message_pages(site, box="alpha"):
    """Every message page of the mailbox, from number 0 up to the first 404."""
    pages = []
    while True:
        reply = site.request(("GET /topics/%s/%d HTTP/1.0\r\n\r\n" % (box, len(pages))).encode())
        if reply.startswith(b"HTTP/1.0 404 "):
            return pages
        pages.append(reply)


class SpoolFaults(unittest.TestCase):
    def test_full_spool_is_answered_452_at_the_end_mark_and_leaves_no_half_message(self):
        # The spool may not grow past 100 KB: a write that would pass it fails part-way (as on
        # a full file system), so the store must cut the spool back and say so at once.
        limit = 100 * 1024
        site = mailbox_site(boxes=("alpha",))
        site._build()
        try:
            start_limited(site, [(resource.RLIMIT_FSIZE, limit)], ignore=(signal.SIGXFSZ,))
            wait_smtp(site)
            spool_path = site.root / "topics" / "alpha" / "mailbox"
            self.assertEqual(deliver(site, b"first@x", b"first", b"one"), quit_reply())
            before = spool_path.read_bytes()
            big = b"\r\n".join([b"z" * 990] * 150)  # ~150 KB: fails after a partial write
            self.assertEqual(deliver(site, b"big@x", b"big", big, timeout=60), R452)
            self.assertEqual(spool_path.read_bytes(), before, "the failed delivery left bytes behind")
            self.assertIn("Write failed\n", site.stderr())
            self.assertEqual(deliver(site, b"third@x", b"third", b"three"), quit_reply())
            self.assertEqual(mask(spool_path.read_bytes()),
                             b"SEP\nFrom: first@x\nSubject: first\n\none\n"
                             b"SEP\nFrom: third@x\nSubject: third\n\nthree\n")
            pages = message_pages(site)
            self.assertEqual(len(pages), 2)
            self.assertIn(b"three", pages[1])
            assert_stops_cleanly(self, site)
        finally:
            site.stop()
            site._cleanup()

    def test_kill_during_a_burst_loses_no_confirmed_message(self):
        with mailbox_site(boxes=("alpha",)) as site:
            wait_smtp(site)
            confirmed = []
            attempted = []
            stop = threading.Event()
            enough = threading.Event()

            def burst():
                n = 0
                while not stop.is_set() and n < 2000:
                    attempted.append(n)
                    reply = deliver(site, b"s%d@x.example" % n, b"subject %d" % n, b"body of %d" % n,
                                    timeout=10, quit=n % 2 == 0)
                    # The 250 at the end of the data is the promise; QUIT adds nothing.
                    if reply in (OK, quit_reply()):
                        confirmed.append(n)
                        if len(confirmed) >= 40:
                            enough.set()
                    elif reply == b"" and site.proc.poll() is not None:
                        return
                    n += 1

            sender = threading.Thread(target=burst)
            sender.start()
            self.assertTrue(enough.wait(120), "the burst did not get going")
            site.proc.send_signal(signal.SIGKILL)
            site.proc.wait()
            stop.set()
            sender.join(60)
            self.assertFalse(sender.is_alive())

            site.restart()
            wait_smtp(site)
            # A delivery after the restart is kept apart from whatever the kill cut short.
            self.assertEqual(deliver(site, b"after@x.example", b"after the kill", b"body after"),
                             quit_reply())
            pages = message_pages(site)
            for n in confirmed + ["after"]:
                subject = b"subject %d" % n if n != "after" else b"after the kill"
                sender_name = b"s%d@x.example" % n if n != "after" else b"after@x.example"
                body = b"body of %d" % n if n != "after" else b"body after"
                holding = [p for p in pages if re.search(re.escape(subject) + rb"(?!\d)", p)]
                with self.subTest(message=n):
                    self.assertEqual(len(holding), 1, "found %d times" % len(holding))
                    self.assertIn(sender_name, holding[0])
                    self.assertRegex(holding[0], re.escape(body) + rb"(?!\d)")
            index = site.request(b"GET /topics/alpha/ HTTP/1.0\r\n\r\n")
            self.assertTrue(index.startswith(b"HTTP/1.0 200 "))
            print("\nkill during burst: %d confirmed, %d attempted, %d pages after restart"
                  % (len(confirmed), len(attempted), len(pages)))


    def test_message_acknowledged_before_a_kill_is_there_after_the_restart(self):
        with mailbox_site(boxes=("alpha",)) as site:
            wait_smtp(site)
            with RawSmtp(site) as smtp:
                smtp.talk(b"MAIL FROM:<a@x>\r\nRCPT TO:<alpha@x>\r\nDATA\r\n", 3)
                self.assertEqual(smtp.talk(b"Subject: promised\r\n\r\nkept\r\n.\r\n"), OK)
                site.proc.send_signal(signal.SIGKILL)  # before QUIT, connection still open
                site.proc.wait()
            site.restart()
            wait_smtp(site)
            pages = message_pages(site)
            self.assertEqual(len(pages), 1)
            self.assertIn(b"promised", pages[0])

    def test_header_only_message_is_still_apart_after_a_restart(self):
        # A message without an empty line leaves its header block open up to the next
        # separator; the archive read from scratch at start-up must still see two messages.
        with mailbox_site(boxes=("alpha",)) as site:
            wait_smtp(site)
            with RawSmtp(site) as smtp:
                self.assertEqual(smtp.talk(b"MAIL FROM:<a@x>\r\nRCPT TO:<alpha@x>\r\nDATA\r\n"
                                           b"Subject: only a header\r\n.\r\nQUIT\r\n", 5),
                                 OK + OK + START + OK + quit_reply())
            self.assertEqual(deliver(site, b"b@x", b"with a body", b"the body"), quit_reply())
            for moment in ("live", "after restart"):
                with self.subTest(moment):
                    pages = message_pages(site)
                    self.assertEqual(len(pages), 2)
                    self.assertIn(b"only a header", pages[0])
                    self.assertIn(b"with a body", pages[1])
                    self.assertIn(b"the body", pages[1])
                    site.restart()
                    wait_smtp(site)


class FilesChangingUnderAReply(unittest.TestCase):
    SIZE = 64 * 1024 * 1024

    def test_file_truncated_or_removed_while_sent(self):
        with Site({"f.txt": "still here"}) as site:
            for name in ("cut.bin", "gone.bin"):
                with open(site.root / name, "wb") as f:
                    f.truncate(self.SIZE)
            site.restart()  # published at start-up with their full size
            for name, change, whole in (("cut.bin", lambda p: os.truncate(p, 1000), False),
                                        ("gone.bin", os.unlink, True)):
                with self.subTest(name):
                    s = site.connect(timeout=30)
                    s.sendall(("GET /%s HTTP/1.0\r\n\r\n" % name).encode())
                    head = s.recv(4096)
                    self.assertTrue(head.startswith(b"HTTP/1.0 200 "), head[:80])
                    # The socket buffers hold a few megabytes at most, so the server is now
                    # blocked part-way through the file.
                    change(site.root / name)
                    header_length = head.index(b"\r\n\r\n") + 4
                    received = len(head) - header_length
                    while True:
                        chunk = s.recv(1 << 20)
                        if not chunk:
                            break
                        received += len(chunk)
                    s.close()
                    if whole:
                        # A removed file is still open: it goes out whole.
                        self.assertEqual(received, self.SIZE)
                    else:
                        # A shrunk file ends the reply early instead of hanging or padding.
                        self.assertLess(received, self.SIZE)
                    status, _, body = site.get("/f.txt")
                    self.assertEqual(body, b"still here")
            status, headers, body = site.get("/cut.bin")
            self.assertEqual((status, len(body)), ("HTTP/1.0 200 Document follows", 1000))
            self.assertTrue(site.get("/gone.bin")[0].startswith("HTTP/1.0 404"))
            assert_stops_cleanly(self, site)


class Descriptors(unittest.TestCase):
    def test_server_serves_again_after_running_out_of_descriptors(self):
        site = mailbox_site(boxes=("alpha",), files={"f.txt": "still here"}, clients=200)
        site._build()
        held = []
        try:
            start_limited(site, [(resource.RLIMIT_NOFILE, 128)])
            wait_smtp(site)
            # Each idle worker in accept holds a descriptor: 200 of them would leave none for
            # the files, so the pool is cut to what 128 descriptors carry, and said so.
            self.assertIn("200 clients requested, 56 served at once: the descriptor limit is 128\n",
                          site.stderr())
            self.assertEqual(site.get("/f.txt")[2], b"still here")
            # More clients than workers and descriptors: the rest wait in the listen queue.
            for _ in range(160):
                held.append(site.connect(timeout=30))
            waiting = site.connect(timeout=30)
            held.append(waiting)
            waiting.sendall(b"GET /f.txt HTTP/1.0\r\n\r\n")
            for s in held[:-1]:
                s.close()
            self.assertTrue(recv_all(waiting).endswith(b"\r\n\r\nstill here"))
            waiting.close()
            held = []
            ok = 0
            for _ in range(20):
                status, _, body = site.get("/f.txt")
                ok += (status, body) == ("HTTP/1.0 200 Document follows", b"still here")
            self.assertEqual(ok, 20)
            self.assertEqual(deliver(site, b"later@x", b"later", b"stored later"), quit_reply())
            self.assertIn(b"stored later", spool(site))
            assert_stops_cleanly(self, site)
        finally:
            for s in held:
                s.close()
            site.stop()
            site._cleanup()


if __name__ == "__main__":
    unittest.main()
