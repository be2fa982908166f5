"""smtp_client.py - helpers for the SMTP end-to-end tests: a raw line-level SMTP client (for
the byte-exact edge cases smtplib would smooth over), a site with mailbox folders, and the
spool text with its separator lines masked."""

import re
import socket
import time

from harness import Site, is_listening

GREETING = b"220 Korvane SMTP Service ready\r\n"
OK = b"250 OK  Requested mail action okay, completed\r\n"
START = b"354 Start mail input; end with <CRLF>.<CRLF>\r\n"
R500 = b"500 Syntax error, command unrecognized\r\n"
R502 = b"502 Command not implemented\r\n"
R550 = b"550 Requested action not taken: mailbox unavailable\r\n"
R553 = b"553 Requested action not taken: Mailbox name not allowed\r\n"
R552 = b"552 Requested mail action aborted: exceeded storage allocation\r\n"
R451 = b"451 Requested action aborted: local error in processing\r\n"
R452 = b"452 Requested action not taken: insufficient system storage\r\n"

SEPARATOR = re.compile(
    rb"From \?\?\?@\?\?\? (Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct"
    rb"|Nov|Dec) [0-3]\d [0-2]\d:[0-5]\d:[0-6]\d \d{4}\n")


def host_name():
    """The official name of "localhost", as the server resolves it for HELO and QUIT."""
    try:
        name = socket.getaddrinfo("localhost", None, 0, socket.SOCK_STREAM, 0,
                                  socket.AI_CANONNAME)[0][3]
    except OSError:
        name = ""
    return (name or "localhost").encode("latin-1")


def quit_reply():
    return b"221 " + host_name() + b" Service closing transmission channel\r\n"


def mask(spool):
    """The spool bytes with every separator line written as b"SEP\\n"."""
    return SEPARATOR.sub(b"SEP\n", spool)


def mailbox_site(boxes=("alpha", "beta"), files=None, **kwargs):
    """A site whose "topics" folder holds one mailbox folder per name (empty, no spool)."""
    content = {"topics/vantrel.cfg": "topics\n"}
    for box in boxes:
        content["topics/%s/vantrel.cfg" % box] = ""
    content.update(files or {})
    return Site(content, **kwargs)


def spool(site, box="alpha", name="mailbox"):
    """The bytes of a mailbox's spool file; None when there is none."""
    path = site.root / "topics" / box / name
    return path.read_bytes() if path.exists() else None


def wait_smtp(site, timeout=10.0):
    """The SMTP listener starts just after the HTTP one; wait until it listens."""
    deadline = time.monotonic() + timeout
    while not is_listening(site.smtp_port):
        if time.monotonic() > deadline:
            raise RuntimeError("SMTP port %d not listening" % site.smtp_port)
        time.sleep(0.02)


class RawSmtp:
    """One connection; send() writes bytes as they are, reply() reads one CR LF line."""

    def __init__(self, site, timeout=30):
        wait_smtp(site)
        self.sock = socket.create_connection(("127.0.0.1", site.smtp_port), timeout=timeout)
        self.file = self.sock.makefile("rb")
        self.greeting = self.reply()

    def send(self, data):
        self.sock.sendall(data)

    def reply(self):
        return self.file.readline()

    def talk(self, data, replies=1):
        """Sends `data` and returns the next `replies` reply lines joined."""
        self.send(data)
        return b"".join(self.reply() for _ in range(replies))

    def closed_by_server(self):
        return self.file.read() == b""

    def close(self):
        self.file.close()
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
