"""Connections that wait cost no worker: slow heads and slow readers around normal clients,
the minimum reply rate, and a prompt stop with clients in every state."""

import os
import resource
import socket
import time
import unittest

from harness import Site, assert_stops_cleanly, parse_reply, recv_all
from smtp_client import OK, START, RawSmtp, mailbox_site, spool

BIG = 32 * 1024 * 1024


def raise_descriptor_limit(wanted):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(wanted, hard), hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


def slow_reader(site, path):
    """A connection that asks for `path` and then reads nothing (a small receive buffer, so
    the server soon has to hold the rest)."""
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.settimeout(60)
    s.connect(("127.0.0.1", site.port))
    s.sendall(("GET %s HTTP/1.0\r\n\r\n" % path).encode())
    return s


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.1)  # polling what the server writes, bounded
    return predicate()


class Attack(unittest.TestCase):
    def test_normal_clients_pass_attackers_and_slow_readers_are_cut_off(self):
        if raise_descriptor_limit(600) < 600:
            self.skipTest("descriptor limit too low")
        files = {"f.txt": "still here", "big.bin": os.urandom(BIG)}
        with Site(files, clients=5) as site:
            heads, readers = [], []
            try:
                for _ in range(300):
                    s = site.connect(timeout=60)
                    s.sendall(b"GET /f.txt HTTP/1.0\r\n")  # and never the empty line
                    heads.append(s)
                readers = [slow_reader(site, "/big.bin") for _ in range(50)]
                # Well inside the 30 s head time-out: no normal client waits for an attacker.
                for _ in range(5):
                    with site.connect(timeout=15) as client:
                        client.sendall(b"GET /f.txt HTTP/1.0\r\n\r\n")
                        status, _, body = parse_reply(recv_all(client, reset_ends=True))
                        self.assertEqual((status, body), ("HTTP/1.0 200 Document follows", b"still here"))
                # Readers that take nothing fall below the minimum rate once its grace period
                # is over: each is cut off and logged.
                self.assertTrue(wait_for(lambda: site.stderr().count("Slow reader cut off") >= 50, 100),
                                site.stderr()[-500:])
                self.assertRegex(site.stderr(), r"Slow reader cut off: 127\.0\.0\.1 got \d+ bytes in \d+ s, "
                                                r"below 1024 bytes/s\n")
                received = 0
                for s in readers:
                    received = len(recv_all(s, reset_ends=True))
                    self.assertLess(received, BIG)
            finally:
                for s in heads + readers:
                    s.close()
            assert_stops_cleanly(self, site)


class Stop(unittest.TestCase):
    def test_stop_is_prompt_with_clients_in_every_state(self):
        files = {"f.txt": "still here", "big.bin": os.urandom(BIG)}
        # Two workers for each kind, and more waiting SMTP sessions than workers.
        with mailbox_site(files=files, clients=2, cfg="smtpclients=2\n") as site:
            idle = [site.connect(timeout=30) for _ in range(3)]
            mid_head = site.connect(timeout=30)
            mid_head.sendall(b"GET /f.txt HTTP/1.0\r\nX: ")
            reader = slow_reader(site, "/big.bin")
            self.assertTrue(reader.recv(100).startswith(b"HTTP/1.0 200 "))
            sessions = [RawSmtp(site, timeout=30) for _ in range(4)]
            self.assertEqual(sessions[0].talk(b"RCPT TO:<alpha@x>\r\nDATA\r\n", 2), OK + START)
            sessions[0].send(b"half a mess")
            try:
                # Waiting sessions hold no worker: one more client is greeted and stores.
                with RawSmtp(site, timeout=15) as smtp:
                    self.assertTrue(smtp.greeting.startswith(b"220 "))
                    self.assertEqual(smtp.talk(b"RCPT TO:<beta@x>\r\nDATA\r\nstored\r\n.\r\n", 3),
                                     OK + START + OK)
                # The harness gives a stop several seconds before it kills; a server that
                # waits for any of these clients (or for a read time-out) fails here.
                started = time.monotonic()
                assert_stops_cleanly(self, site)
                self.assertLess(time.monotonic() - started, 5.0)
                self.assertEqual(recv_all(mid_head, reset_ends=True), b"")
                self.assertTrue(all(s.closed_by_server() for s in sessions))
                self.assertEqual(spool(site, "alpha"), None)
            finally:
                for s in idle + [mid_head, reader]:
                    s.close()
                for s in sessions:
                    s.close()


if __name__ == "__main__":
    unittest.main()
