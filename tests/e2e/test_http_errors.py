"""Refusals, missing paths, hostile requests, time-outs and the worker pool, on a real server."""

import os
import resource
import subprocess
import socket
import select
import time
import unittest

from harness import BIN, Site, parse_reply, recv_all

NOT_FOUND = (b"HTTP/1.0 404 FILE NOT FOUND\r\n\r\n<HEAD><TITLE>File Not Found</TITLE></HEAD><BODY>"
             b"<H1>404 File Not Found</H1>The file is not found on this server\r\n")


class Refusals(unittest.TestCase):
    def test_status_replies_byte_for_byte(self):
        with Site({"f.txt": "f", "secret/inner.txt": "s"}) as site:
            (site.root.parent / "outside.txt").write_bytes(b"outside the tree")
            cases = [
                ("post", b"POST /f.txt HTTP/1.0\r\n\r\n", b"HTTP/1.0 599 POST method not supported\r\n\r\n"),
                ("put", b"PUT /f.txt HTTP/1.0\r\n\r\n", b"HTTP/1.0 599 Unrecognized method request\r\n\r\n"),
                ("missing", b"GET /nothing.txt HTTP/1.0\r\n\r\n", NOT_FOUND),
                ("parent", b"GET /../outside.txt HTTP/1.0\r\n\r\n", NOT_FOUND),
                ("escaped parent", b"GET /%2e%2e/outside.txt HTTP/1.0\r\n\r\n", NOT_FOUND),
                ("escaped slash parent", b"GET /secret%2F..%2F..%2Foutside.txt HTTP/1.0\r\n\r\n", NOT_FOUND),
                ("absolute", b"GET /etc/passwd HTTP/1.0\r\n\r\n", NOT_FOUND),
                ("NUL escape", b"GET /f.txt%00.gif HTTP/1.0\r\n\r\n", NOT_FOUND),
                ("config file", b"GET /vantrel.cfg HTTP/1.0\r\n\r\n", NOT_FOUND),
                ("empty line only", b"\r\n", b""),
            ]
            for label, raw, reply in cases:
                with self.subTest(label):
                    self.assertEqual(site.request(raw), reply)

    def test_hostile_requests_leave_the_server_serving(self):
        with Site({"f.txt": "still here"}) as site:
            hostile = [
                ("binary", bytes(range(256)) * 8 + b"\r\n\r\n"),
                ("raw NUL", b"GET /f.txt\x00/../x HTTP/1.0\r\n\r\n"),
                ("10000 segments", b"GET " + b"/a" * 10000 + b" HTTP/1.0\r\n\r\n"),
                ("10000 slashes", b"GET " + b"/" * 10000 + b" HTTP/1.0\r\n\r\n"),
                ("long query", b"GET /?" + b"type=x&" * 20000 + b" HTTP/1.0\r\n\r\n"),
                ("many header lines", b"GET / HTTP/1.0\r\n" + b"X: y\r\n" * 5000 + b"\r\n"),
                ("1 MB header", b"GET /f.txt HTTP/1.0\r\nX: " + b"z" * (1 << 20) + b"\r\n\r\n"),
                ("percent at the end", b"GET /f.txt% HTTP/1.0\r\n\r\n"),
                ("lone escapes", b"GET /%/%4/%zz HTTP/1.0\r\n\r\n"),
            ]
            for label, raw in hostile:
                with self.subTest(label):
                    try:
                        site.request(raw)
                    except (ConnectionResetError, BrokenPipeError):
                        pass  # the server may stop reading a head past its bound
                    status, _, body = site.get("/f.txt")
                    self.assertEqual(status, "HTTP/1.0 200 Document follows")
                    self.assertEqual(body, b"still here")
            self.assertIsNone(site.proc.poll())


class TimeOutsAndPool(unittest.TestCase):
    def test_time_outs(self):
        with Site({"f.txt": "12345"}, cfg="timeout=1\n", clients=1) as site:
            # Silent client: closed without a reply once the read time-out passes.
            with site.connect() as quiet:
                self.assertEqual(quiet.recv(100), b"")
            # A request line and then silence: answered as if the head had ended.
            with site.connect() as slow:
                slow.sendall(b"GET /f.txt HTTP/1.0\r\nX: y\r\n")
                status, _, body = parse_reply(recv_all(slow))
                self.assertEqual(status, "HTTP/1.0 200 Document follows")
                self.assertEqual(body, b"12345")
            site.stop()
            log = [line.split("] ", 1)[-1] for line in site.stdout().splitlines()]
            self.assertEqual(log[1:3], ["Request: NULL ", "Request: GET /f.txt HTTP/1.0"])

    def test_trickled_heads_are_cut_off(self):
        # Each piece comes well within the read time-out; the server must answer long before
        # the 60 pieces are out. Whole header lines that never end the head, or one byte at a
        # time that never ends the request line: the head's time-out ends either read.
        cases = [
            ("header lines", b"GET /f.txt HTTP/1.0\r\n", b"X: y\r\n",
             "the head was read on past its time-out"),
            ("one line", b"GET /f.txt HTTP/1.0", b" ",
             "one line was read on past the head's time-out"),
        ]
        for label, start, piece, failure in cases:
            with self.subTest(label), Site({"f.txt": "12345"}, cfg="timeout=1\n", clients=1) as site:
                with site.connect() as slow:
                    slow.sendall(start)
                    for _ in range(60):
                        readable, _, _ = select.select([slow], [], [], 0.3)
                        if readable:
                            break
                        slow.sendall(piece)
                    self.assertTrue(readable, failure)
                    status, _, body = parse_reply(recv_all(slow))
                    self.assertEqual((status, body), ("HTTP/1.0 200 Document follows", b"12345"))

    def test_unfinished_heads_hold_no_worker(self):
        with Site({"a.txt": "a", "b.txt": "b", "c.txt": "c"}, clients=2) as site:
            first, second, third = site.connect(), site.connect(), site.connect()
            try:
                # Two workers, two connections that have begun their request: a waiting head
                # holds no worker, so the third, complete one is answered first.
                first.sendall(b"GET /a.txt HTTP/1.0\r\n")
                second.sendall(b"GET /b.txt HTTP/1.0\r\n")
                third.sendall(b"GET /c.txt HTTP/1.0\r\n\r\n")
                self.assertTrue(recv_all(third).endswith(b"\r\n\r\nc"))
                first.sendall(b"\r\n")
                self.assertTrue(recv_all(first).endswith(b"\r\n\r\na"))
                second.sendall(b"\r\n")
                self.assertTrue(recv_all(second).endswith(b"\r\n\r\nb"))
            finally:
                for s in (first, second, third):
                    s.close()
            site.stop()
            requests = [line.split("] ", 1)[1] for line in site.stdout().splitlines()
                        if "] Request: " in line]
            self.assertEqual(requests, ["Request: GET /c.txt HTTP/1.0", "Request: GET /a.txt HTTP/1.0",
                                        "Request: GET /b.txt HTTP/1.0"])

    def test_a_silent_connection_waits_for_its_bytes_before_taking_a_worker(self):
        # One worker. A client that connects and says nothing does not hold it at first, so a
        # request behind it is answered at once; later the silent one is taken, timed out and
        # logged like any client that sent nothing.
        with Site({"f.txt": "f"}, cfg="timeout=1\n", clients=1) as site:
            with site.connect(timeout=30) as silent:
                started = time.monotonic()
                with site.connect(timeout=30) as client:
                    client.sendall(b"GET /f.txt HTTP/1.0\r\n\r\n")
                    self.assertTrue(recv_all(client).endswith(b"\r\n\r\nf"))
                self.assertLess(time.monotonic() - started, 0.9)
                self.assertEqual(silent.recv(10), b"")
            site.stop()
            requests = [line.split("] ", 1)[1] for line in site.stdout().splitlines()
                        if "] Request: " in line]
            self.assertEqual(requests, ["Request: GET /f.txt HTTP/1.0", "Request: NULL "])

    def test_stop_is_prompt_with_idle_clients_connected(self):
        with Site({"f.txt": "f"}, clients=2) as site:
            idle = [site.connect(), site.connect()]
            try:
                # With the default 30 s read time-out, only interrupting the workers lets the
                # server end well within the harness's 10 s bound.
                self.assertEqual(site.stop(), 0)
                self.assertIn("Stopping Vantrel.\n", site.stdout())
            finally:
                for s in idle:
                    s.close()

    def test_port_in_use_is_reported(self):
        holder = socket.socket()
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        holder.bind(("0.0.0.0", 0))
        holder.listen(1)
        port = holder.getsockname()[1]
        try:
            site = Site({})
            site._build()
            try:
                text = (site.root / "vantrel.cfg").read_text()
                (site.root / "vantrel.cfg").write_text(text + "port=%d\n" % port)
                site.port = port
                site.start()  # the port accepts (the holder's), so start returns at once
                deadline = time.monotonic() + 10
                while "Couldn't" not in site.stderr() and time.monotonic() < deadline:
                    time.sleep(0.02)  # polling a file the server writes, bounded
                # It says which port and why, and ends: a server without its port serves nothing.
                self.assertEqual(site.proc.wait(timeout=10), 1)
                self.assertEqual(site.stderr(), "Windows Socket error 98:  Couldn't bind the server socket.\n"
                                 "Cannot listen on port %d: Address already in use\n" % port)
            finally:
                site._cleanup()
        finally:
            holder.close()

    def test_too_few_descriptors_end_the_server_at_once(self):
        site = Site({})
        site._build()
        try:
            def limit():
                resource.setrlimit(resource.RLIMIT_NOFILE, (40, 40))
            proc = subprocess.run([BIN, "-cmd"], cwd=site.root, preexec_fn=limit,
                                  capture_output=True, timeout=30)
            self.assertEqual(proc.returncode, 0)
            self.assertEqual(proc.stdout, b"Starting Vantrel.\n")
            self.assertEqual(proc.stderr, b"Not enough TCP sockets available, 60 more needed\n")
        finally:
            site._cleanup()


if __name__ == "__main__":
    unittest.main()
