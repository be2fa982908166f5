"""Hostile clients against the running server: idle and bursting connections, clients that
vanish mid-reply, oversized and binary heads, path traversal, process-wide values set by
queries, and SMTP sessions that try to exhaust memory. Every case ends by checking that the
server still answers and that nothing outside the published tree was sent."""

import os
import random
import resource
import socket
import struct
import threading
import unittest

from harness import Site, assert_stops_cleanly, parse_reply, recv_all
from smtp_client import OK, R550, R552, START, RawSmtp, mailbox_site, quit_reply, spool, wait_smtp

OUTSIDE = b"OUTSIDE-THE-TREE-71d0"
BIG = 8 * 1024 * 1024


def raise_descriptor_limit(wanted):
    """This test process needs more sockets than a default soft limit may give."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(wanted, hard), hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


def memory_kib(pid, field):
    """VmRSS or VmHWM (the peak) of process `pid`, in KiB."""
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise AssertionError("no %s for %d" % (field, pid))


def send_ignoring_reset(site, raw, timeout=30):
    """Sends a head the server may stop reading part-way, reading the reply meanwhile.
    Returns what it answered: once the server closes with bytes unread, the reset that
    follows may cost the client its reply, never the server its life."""
    with site.connect(timeout) as s:
        def send():
            try:
                s.sendall(raw)
                s.shutdown(socket.SHUT_WR)
            except OSError:
                pass

        sender = threading.Thread(target=send)
        sender.start()
        reply = recv_all(s, reset_ends=True)
        sender.join()
        return reply


class Connections(unittest.TestCase):
    def assert_serves(self, site, path="/f.txt", body=b"still here"):
        status, _, got = site.get(path)
        self.assertEqual(status, "HTTP/1.0 200 Document follows")
        self.assertEqual(got, body)

    def test_idle_clients_beyond_the_pool_are_timed_out(self):
        # Two workers, five silent clients: the read time-out frees each worker in turn, so a
        # real request behind them is answered once the idle ones are closed.
        with Site({"f.txt": "still here"}, cfg="timeout=2\n", clients=2) as site:
            idle = [site.connect(timeout=30) for _ in range(5)]
            try:
                with site.connect(timeout=30) as client:
                    client.sendall(b"GET /f.txt HTTP/1.0\r\n\r\n")
                    status, _, body = parse_reply(recv_all(client, reset_ends=True))
                    self.assertEqual((status, body), ("HTTP/1.0 200 Document follows", b"still here"))
                for s in idle:
                    self.assertEqual(s.recv(10), b"", "an idle client was not closed")
            finally:
                for s in idle:
                    s.close()

    def test_thousand_connections_opened_at_once(self):
        count = 1000
        if raise_descriptor_limit(count + 64) < count + 64:
            self.skipTest("descriptor limit too low for %d sockets" % count)
        with Site({"f.txt": "still here"}, clients=16) as site:
            socks = []
            try:
                for _ in range(count):
                    socks.append(site.connect(timeout=60))
                for s in socks:
                    s.sendall(b"GET /f.txt HTTP/1.0\r\n\r\n")
                answered = sum(1 for s in socks
                               if recv_all(s, reset_ends=True).endswith(b"\r\n\r\nstill here"))
            finally:
                for s in socks:
                    s.close()
            self.assertEqual(answered, count)
            self.assert_serves(site)
            assert_stops_cleanly(self, site)

    def test_clients_vanishing_mid_reply(self):
        files = {"big.bin": os.urandom(BIG), "f.txt": "still here"}
        files.update({"many/file%04d.txt" % i: "x" for i in range(2000)})
        with Site(files, clients=4) as site:
            for round_ in range(40):
                path = ("/big.bin", "/many/", "/many/?scene", "/?graph")[round_ % 4]
                s = site.connect()
                s.sendall(("GET %s HTTP/1.0\r\n\r\n" % path).encode())
                s.recv(1 + round_ * 97)
                # A reset rather than an orderly close: the server's next write fails at once.
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                s.close()
            self.assert_serves(site)
            status, headers, body = site.get("/big.bin")
            self.assertEqual(len(body), BIG)
            assert_stops_cleanly(self, site)


class HostileHeads(unittest.TestCase):
    def test_oversized_binary_and_nul_heads(self):
        rng = random.Random(10)
        with Site({"f.txt": "still here"}) as site:
            cases = [
                # (label, raw head, what the reply must start with; None: anything or nothing)
                ("1 MB request line", b"GET /" + b"a" * (1 << 20) + b" HTTP/1.0\r\n\r\n",
                 b"HTTP/1.0 404 "),
                ("10,000 header lines", b"GET /f.txt HTTP/1.0\r\n" + b"X-Junk: y\r\n" * 10000 + b"\r\n",
                 b"HTTP/1.0 200 "),
                ("one 1 MB header", b"GET /f.txt HTTP/1.0\r\nX: " + b"z" * (1 << 20) + b"\r\n\r\n",
                 b"HTTP/1.0 200 "),
                ("NUL in the path", b"GET /f.txt\x00.gif HTTP/1.0\r\n\r\n", None),
                ("NULs only", b"\x00" * 4096, None),
                ("escaped NUL", b"GET /f%00.txt HTTP/1.0\r\n\r\n", b"HTTP/1.0 404 "),
                ("binary junk", bytes(rng.randrange(256) for _ in range(65536)), None),
                ("junk lines", b"\r\n".join(bytes(rng.randrange(1, 256) for _ in range(80))
                                           for _ in range(500)) + b"\r\n\r\n", None),
            ]
            for label, raw, expected in cases:
                with self.subTest(label):
                    reply = send_ignoring_reset(site, raw)
                    if expected is not None and (reply or len(raw) < 65536):
                        self.assertTrue(reply.startswith(expected), reply[:80])
                    self.assertNotIn(OUTSIDE, reply)
                    status, _, body = site.get("/f.txt")
                    self.assertEqual((status, body), ("HTTP/1.0 200 Document follows", b"still here"))
            assert_stops_cleanly(self, site)


class Traversal(unittest.TestCase):
    def test_nothing_outside_the_tree_is_sent(self):
        files = {"f.txt": "inside", "Docs/readme.txt": "docs", ".hidden": OUTSIDE,
                 "Docs/.secret": OUTSIDE}
        with Site(files) as site:
            outside = site.root.parent / "outside.txt"
            outside.write_bytes(OUTSIDE)
            # Made after the scan, so never published: a file link, a folder link, and a
            # published name replaced by nothing.
            os.symlink(outside, site.root / "late.txt")
            os.symlink(site.root.parent, site.root / "Docs" / "up")
            absolute = str(outside)
            paths = [
                "/../outside.txt", "/Docs/../../outside.txt", "/%2E%2E/outside.txt",
                "/%2e%2e/%2e%2e/outside.txt", "/Docs/%2E%2E/%2E%2E/outside.txt",
                "/Docs%2F..%2F..%2Foutside.txt", "/%2F..%2Foutside.txt", "/..%2Foutside.txt",
                "/..\\outside.txt", "/Docs\\..\\..\\outside.txt", "/%5C..%5Coutside.txt",
                "/Docs/..%5C..%5Coutside.txt", absolute, "/" + absolute, "/%2F" + absolute[1:],
                "http://localhost/../outside.txt", "/late.txt", "/Docs/up/outside.txt",
                "/Docs/up/site/f.txt", "/.hidden", "/Docs/.secret", "/./../outside.txt",
                "/Docs/./../../outside.txt", "/.%2E/outside.txt", "/%252E%252E/outside.txt",
                "/" + "../" * 50 + "etc/passwd", "/f.txt/../../outside.txt",
            ]
            for path in paths:
                for method in ("GET", "HEAD"):
                    with self.subTest(path=path, method=method):
                        reply = site.request(("%s %s HTTP/1.0\r\n\r\n" % (method, path)).encode("latin-1"))
                        self.assertNotIn(OUTSIDE, reply)
                        self.assertNotIn(b"root:", reply)
                        self.assertTrue(reply.startswith(b"HTTP/1.0 404 "), reply[:80])
            # The listings never name what was not published either.
            for path, shown in (("/", b"Docs"), ("/Docs/", b"readme"), ("/?scene", b"Docs"),
                                ("/Docs/?scene", b"readme")):
                with self.subTest(listing=path):
                    _, _, body = site.get(path)
                    self.assertIn(shown, body)
                    for name in (b"late.txt", b".hidden", b".secret", b"outside"):
                        self.assertNotIn(name, body)
            # Positive control: the same server does send what is published.
            self.assertEqual(site.get("/Docs/readme.txt")[2], b"docs")
            assert_stops_cleanly(self, site)


class ProcessWideValues(unittest.TestCase):
    def test_hostile_host_name_never_reaches_a_page_or_scene(self):
        files = {"f.txt": "f", "topics/vantrel.cfg": "topics\n",
                 "topics/list/mailbox": "From ???@??? Mon Jan 09 10:11:12 1995\nFrom: a@b.c\n"
                                        "Subject: s\n\nbody\n"}
        with Site(files, cfg="admin=127.0.0.1") as site:
            site.get("/?hostname=good.example")
            good = ("http://good.example:%d/" % site.port).encode()
            # The request line reaches the keywords upper-cased, so compare ignoring case.
            self.assertIn(good, site.get("/?scene")[2].lower())
            hostile = ["evil%22%3Cx-a%3E.com", 'evil"<x-a>.com', "evil%20onload%3Dx",
                       "a/b", "a%0D%0ASet-Cookie:x", "%00", "", "evil.example<x-a>"]
            for value in hostile:
                with self.subTest(value=value[:40]):
                    site.request(("GET /?hostname=%s HTTP/1.0\r\n\r\n" % value).encode("latin-1"))
                    for path in ("/?scene", "/?graph", "/topics/list/0", "/topics/list/"):
                        reply = site.request(("GET %s HTTP/1.0\r\n\r\n" % path).encode()).lower()
                        self.assertNotIn(b"<x-a", reply)
                        self.assertNotIn(b"evil", reply)
                        self.assertNotIn(b"set-cookie", reply)
                    self.assertIn(good, site.get("/?scene")[2].lower())

    def test_delay_stays_clamped(self):
        # A huge delay is clamped to 5 s, so the next request is still answered within the
        # client's bound; a negative one counts as none.
        with Site({"f.txt": "still here"}, cfg="admin=127.0.0.1") as site:
            for value in ("999999999999", "-5", "0"):
                with self.subTest(delay=value):
                    site.request(("GET /?delay=%s HTTP/1.0\r\n\r\n" % value).encode(), timeout=30)
                    with site.connect(timeout=30) as s:
                        s.sendall(b"GET /f.txt HTTP/1.0\r\n\r\n")
                        self.assertTrue(recv_all(s, reset_ends=True).endswith(b"\r\n\r\nstill here"))


class SmtpMemory(unittest.TestCase):
    # Under AddressSanitizer freed blocks wait in a quarantine and stay resident; keep it
    # small so that peak memory measures what the server holds, not what it has freed.
    # (Nothing reads the variable in a plain build.)
    @classmethod
    def setUpClass(cls):
        cls.saved_asan = os.environ.get("ASAN_OPTIONS")
        os.environ["ASAN_OPTIONS"] = ":".join(
            filter(None, [cls.saved_asan, "quarantine_size_mb=1", "thread_local_quarantine_size_kb=64"]))

    @classmethod
    def tearDownClass(cls):
        if cls.saved_asan is None:
            del os.environ["ASAN_OPTIONS"]
        else:
            os.environ["ASAN_OPTIONS"] = cls.saved_asan

    def test_hundred_megabyte_data_is_refused_and_memory_bounded(self):
        with mailbox_site() as site:
            wait_smtp(site)
            pid = site.proc.pid
            before = memory_kib(pid, "VmRSS")
            line = b"y" * 998 + b"\r\n"
            chunk = line * 1024  # 1 MiB
            with RawSmtp(site, timeout=120) as smtp:
                smtp.talk(b"RCPT TO:<alpha@x>\r\n")
                self.assertEqual(smtp.talk(b"DATA\r\n"), START)
                for _ in range(100):
                    smtp.send(chunk)
                self.assertEqual(smtp.talk(b".\r\n"), R552)
                self.assertEqual(smtp.talk(b"QUIT\r\n"), quit_reply())
            peak = memory_kib(pid, "VmHWM")
            # One recipient's pending message may hold 32 MiB of lines, and growing to it must
            # not hold much more at once; the other 68 MiB were read and dropped.
            self.assertLess(peak - before, 48 * 1024, "peak %d KiB from %d KiB" % (peak, before))
            self.assertFalse((site.root / "topics" / "alpha" / "mailbox").exists())
            print("\n100 MB DATA: VmRSS before %d KiB, peak %d KiB, after %d KiB"
                  % (before, peak, memory_kib(pid, "VmRSS")))
            assert_stops_cleanly(self, site)

    def test_hundred_thousand_recipients_with_random_names(self):
        count = 100000
        rng = random.Random(100000)
        with mailbox_site() as site:
            wait_smtp(site)
            pid = site.proc.pid
            before = memory_kib(pid, "VmRSS")
            with RawSmtp(site, timeout=120) as smtp:
                replies = []

                def read_replies():
                    for _ in range(count):
                        replies.append(smtp.reply())

                reader = threading.Thread(target=read_replies)
                reader.start()
                batch = []
                for n in range(count):
                    name = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789")
                                   for _ in range(rng.randrange(8, 40)))
                    batch.append(b"RCPT TO:<%s@x>\r\n" % name.encode())
                    if len(batch) == 1000:
                        smtp.send(b"".join(batch))
                        batch = []
                reader.join(120)
                self.assertFalse(reader.is_alive())
                self.assertEqual(replies.count(R550), count)
                # The session still delivers to a real mailbox afterwards.
                self.assertEqual(smtp.talk(b"RCPT TO:<alpha@x>\r\nDATA\r\nSubject: after\r\n\r\nok\r\n.\r\n", 3),
                                 OK + START + OK)
                self.assertEqual(smtp.talk(b"QUIT\r\n"), quit_reply())
            peak = memory_kib(pid, "VmHWM")
            # Remembering all 100,000 names would take some 20 MB; 1,000 take well under one.
            self.assertLess(peak - before, 8 * 1024, "peak %d KiB from %d KiB" % (peak, before))
            self.assertIn(b"Subject: after\n\nok\n", spool(site))
            print("\n100,000 RCPT: VmRSS before %d KiB, peak %d KiB" % (before, peak))
            assert_stops_cleanly(self, site)


if __name__ == "__main__":
    unittest.main()
