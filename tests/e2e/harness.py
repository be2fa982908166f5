"""harness.py - runs build/vantrel in a temporary site for end-to-end tests.

Site builds a temp directory (files given inline, or a copy of the demo site), writes the
root vantrel.cfg with free loopback ports, starts the server with its working directory
there, and gives raw-request helpers. Used as a context manager; nothing outlives it.

Environment: VANTREL_BIN (the binary), VANTREL_SOURCE (repository root, for demo/).
"""

import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

SOURCE = pathlib.Path(os.environ.get("VANTREL_SOURCE", pathlib.Path(__file__).resolve().parents[2]))
BIN = os.environ.get("VANTREL_BIN", str(SOURCE / "build" / "vantrel"))

START_TIMEOUT = 10.0
STOP_TIMEOUT = 10.0


def temp_dir(test, prefix):
    """A fresh folder under the system's temporary folder, removed with all it holds when
    `test` ends (whether it passes or not)."""
    path = pathlib.Path(tempfile.mkdtemp(prefix=prefix))
    test.addCleanup(shutil.rmtree, path, True)
    return path


def free_port():
    """A loopback port nobody listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def is_listening(port):
    """True when some socket listens on `port` (read from /proc, so probing it costs the
    server no connection and its request log no "Request: NULL" line)."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                        return True
        except OSError:
            continue
    return False


def parse_reply(reply):
    """Splits a raw reply into (status_line, [(name, value)], body). The header block ends at
    the first empty line; a reply without one is all status line and headers."""
    head, sep, body = reply.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    status = lines[0].decode("latin-1")
    headers = []
    for line in lines[1:]:
        name, _, value = line.decode("latin-1").partition(":")
        headers.append((name, value.lstrip(" ")))
    return status, headers, body if sep else b""


def recv_all(sock, reset_ends=False):
    """Everything the peer writes until it closes. With `reset_ends`, a reset also ends the
    reply (the server may close with bytes of ours unread); otherwise a reset is an error."""
    chunks = []
    while True:
        try:
            chunk = sock.recv(65536)
        except ConnectionResetError:
            if not reset_ends:
                raise
            break
        if not chunk:
            break
        chunks.append(chunk)
    return b"".join(chunks)


def assert_stops_cleanly(test, site):
    """The server ends on its stop signal with status 0 and no sanitizer report (a leak or
    memory error found at exit shows only here)."""
    code = site.stop()
    test.assertNotIn("Sanitizer", site.stderr())
    test.assertEqual(code, 0, site.stderr()[-2000:])


def crawl(site, start, visit):
    """GETs every path reachable from the `start` paths, each once: `visit(path, status,
    headers, body)` checks a reply and returns the paths it leads to. Returns the paths seen."""
    seen, pending = set(), list(start)
    while pending:
        path = pending.pop()
        if path in seen:
            continue
        seen.add(path)
        pending.extend(visit(path, *site.get(path)))
    return seen


class Background:
    """Runs each target on its own thread for the length of a `with` block; on leaving, sets
    `done` (which the targets watch) and joins them all, also when the block failed."""

    def __init__(self, done, targets):
        self.done = done
        self.threads = [threading.Thread(target=target) for target in targets]

    def __enter__(self):
        for thread in self.threads:
            thread.start()
        return self

    def __exit__(self, *exc):
        self.done.set()
        for thread in self.threads:
            thread.join()
        return False


class Site:
    def __init__(self, files=None, cfg="", debug=True, demo=False, clients=None, extra_args=()):
        self.files = dict(files or {})
        self.cfg = cfg
        self.debug = debug
        self.demo = demo
        self.clients = clients
        self.extra_args = tuple(extra_args)
        self.proc = None
        self._tmp = None
        self.root = None
        self.port = None
        self.smtp_port = None
        self._out = None
        self._err = None

    # --- building the site ---
    def _build(self):
        self._tmp = pathlib.Path(tempfile.mkdtemp(prefix="vantrel-e2e-"))
        self.root = self._tmp / "site"
        self.port = free_port()
        self.smtp_port = free_port()
        while self.smtp_port == self.port:
            self.smtp_port = free_port()
        if self.demo:
            shutil.copytree(SOURCE / "demo", self.root, symlinks=True)
            cfg_path = self.root / "vantrel.cfg"
            text = cfg_path.read_text(encoding="latin-1") if cfg_path.exists() else ""
            text = re.sub(r"(?im)^(port|smtpport)=.*\n?", "", text)
            if text and not text.endswith("\n"):
                text += "\n"
            cfg_path.write_text(
                "port=%d\nsmtpport=%d\n" % (self.port, self.smtp_port) + text + self._extra_cfg(),
                encoding="latin-1")
        else:
            self.root.mkdir()
            (self.root / "vantrel.cfg").write_bytes(
                ("port=%d\nsmtpport=%d\n" % (self.port, self.smtp_port) + self._extra_cfg())
                .encode("latin-1"))
        for rel, content in self.files.items():
            path = self.root / rel
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(content.encode("latin-1") if isinstance(content, str) else content)

    def _extra_cfg(self):
        text = self.cfg
        if text and not text.endswith("\n"):
            text += "\n"
        if self.clients is not None:
            text += "clients=%d\n" % self.clients
        return text

    # --- running ---
    def start(self):
        self._out = open(self._tmp / "stdout.txt", "wb")
        self._err = open(self._tmp / "stderr.txt", "wb")
        args = [BIN, "-debug" if self.debug else "-cmd", *self.extra_args]
        self.proc = subprocess.Popen(args, cwd=self.root, stdout=self._out, stderr=self._err,
                                     stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("vantrel exited with %d: %s" % (self.proc.returncode, self.stderr()))
            if is_listening(self.port):
                return self
            time.sleep(0.02)
        self.stop()
        raise RuntimeError("vantrel did not accept on port %d within %.0f s" % (self.port, START_TIMEOUT))

    def stop(self):
        """Stops the server (SIGINT, then SIGKILL after a bounded wait); returns its exit code."""
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for f in (self._out, self._err):
            if f:
                f.close()
        return self.proc.returncode

    def restart(self):
        self.stop()
        return self.start()

    def __enter__(self):
        self._build()
        try:
            return self.start()
        except BaseException:
            self._cleanup()
            raise

    def __exit__(self, *exc):
        try:
            self.stop()
        finally:
            self._cleanup()
        return False

    def _cleanup(self):
        if self._tmp is not None:
            shutil.rmtree(self._tmp, ignore_errors=True)
            self._tmp = None

    # --- talking to it ---
    def connect(self, timeout=10):
        return socket.create_connection(("127.0.0.1", self.port), timeout=timeout)

    def request(self, raw, timeout=10):
        """Sends raw bytes and returns everything the server wrote until it closed."""
        with self.connect(timeout) as s:
            s.sendall(raw)
            return recv_all(s, reset_ends=True)

    def get(self, path, method="GET"):
        """(status_line, [(name, value)], body) of `method path HTTP/1.0`."""
        return parse_reply(self.request(("%s %s HTTP/1.0\r\n\r\n" % (method, path)).encode("latin-1")))

    def stdout(self):
        return self._read("stdout.txt")

    def stderr(self):
        return self._read("stderr.txt")

    def _read(self, name):
        if self._tmp is None:
            return ""
        for f in (self._out, self._err):
            if f and not f.closed:
                f.flush()
        return (self._tmp / name).read_bytes().decode("latin-1")
