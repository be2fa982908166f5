"""private_mta.py - a private Postfix instance on loopback for end-to-end tests: its own
configuration and queue under a temporary folder, an SMTP listener on a free loopback port, and a
transport that relays one test domain to a given loopback port. Nothing outside the folder is
read or changed (no system main.cf, no DNS, no syslog), and every process it starts ends with it.

Postfix's master process must start as the superuser (it hands each service to the unprivileged
`postfix` user), so `unavailable()` says why an instance cannot run here instead of failing.
"""

import grp
import os
import pathlib
import pty
import pwd
import shutil
import signal
import subprocess
import tempfile
import time

from harness import free_port, is_listening

COMMAND_TIMEOUT = 20.0
START_TIMEOUT = 20.0

# The services a relay needs; none chrooted, so the instance needs nothing copied into its queue.
MASTER_CF = """\
{listen} inet n - n - - smtpd
pickup    unix  n - n 60 1 pickup
cleanup   unix  n - n -  0 cleanup
qmgr      unix  n - n 300 1 qmgr
rewrite   unix  - - n -  - trivial-rewrite
bounce    unix  - - n -  0 bounce
defer     unix  - - n -  0 bounce
trace     unix  - - n -  0 bounce
verify    unix  - - n -  1 verify
flush     unix  n - n 1000? 0 flush
proxymap  unix  - - n -  - proxymap
proxywrite unix - - n -  1 proxymap
smtp      unix  - - n -  - smtp
relay     unix  - - n -  - smtp
showq     unix  n - n -  - showq
error     unix  - - n -  - error
retry     unix  - - n -  - error
discard   unix  - - n -  - discard
local     unix  - n n -  - local
anvil     unix  - - n -  1 anvil
scache    unix  - - n -  1 scache
postlog   unix-dgram n - n - 1 postlogd
"""

MAIN_CF = """\
compatibility_level = 3.6
queue_directory = {base}/queue
data_directory = {base}/data
mail_owner = postfix
setgid_group = postdrop
maillog_file = {base}/maillog
maillog_file_prefixes = {base}
myhostname = mta.vantrel-test.invalid
mydomain = vantrel-test.invalid
myorigin = $myhostname
mydestination =
append_dot_mydomain = no
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
relay_domains = {domain}
transport_maps = texthash:{base}/conf/transport
smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination
alias_maps =
alias_database =
local_recipient_maps =
smtputf8_enable = no
biff = no
# No DNS at all: the next hop is a literal address.
smtp_dns_support_level = disabled
smtp_host_lookup = native
# Keep the connection to the next hop open between messages and reuse it.
smtp_connection_cache_destinations = 127.0.0.1
smtp_connection_cache_time_limit = 30s
# Deferred mail waits for a flush by hand (postqueue -f), not for a timer.
minimal_backoff_time = 300s
maximal_backoff_time = 600s
queue_run_delay = 300s
"""


def unavailable():
    """Why no private Postfix can run here (a reason for skipping), or None when one can."""
    for tool in ("postfix", "postqueue", "swaks"):
        if shutil.which(tool) is None and not os.path.exists("/usr/sbin/" + tool):
            return "%s is not installed (scripts/install-deps test installs it)" % tool
    if os.geteuid() != 0:
        return "Postfix's master process must start as root; the tests run unprivileged"
    try:
        pwd.getpwnam("postfix")
        grp.getgrnam("postdrop")
    except KeyError:
        return "the postfix user or postdrop group is missing (package not set up)"
    return None


def _tool(name):
    return shutil.which(name) or "/usr/sbin/" + name


class PrivatePostfix:
    """Used as a context manager: started on entry, stopped and removed on exit."""

    def __init__(self, domain, relay_port):
        self.domain = domain
        self.relay_port = relay_port
        self.port = None
        self.base = None
        self.proc = None
        self._pty = None
        self._said = b""

    @property
    def conf(self):
        return self.base / "conf"

    def __enter__(self):
        self.base = pathlib.Path(tempfile.mkdtemp(prefix="vantrel-mta-"))
        try:
            self._start()
        except BaseException:
            self._stop()
            raise
        return self

    def __exit__(self, *exc):
        self._stop()
        return False

    def _start(self):
        # The postfix user walks into the queue below this folder.
        os.chmod(self.base, 0o755)
        self.conf.mkdir()
        self.port = free_port()
        while self.port == self.relay_port:
            self.port = free_port()
        (self.conf / "main.cf").write_text(
            MAIN_CF.format(base=self.base, domain=self.domain, relay_port=self.relay_port))
        (self.conf / "transport").write_text(
            "%s smtp:[127.0.0.1]:%d\n" % (self.domain, self.relay_port))
        (self.conf / "master.cf").write_text(MASTER_CF.format(listen="127.0.0.1:%d" % self.port))
        (self.base / "queue").mkdir(mode=0o755)
        # Postfix writes its own complaints to standard error only when that is a terminal
        # (the mail log takes the rest), so its start runs on a pseudo-terminal we can read.
        self._pty, terminal = pty.openpty()
        os.set_blocking(self._pty, False)
        # start-fg keeps the start command waiting on the master process, so its exit shows
        # when the instance has stopped (or failed to start).
        self.proc = subprocess.Popen([_tool("postfix"), "-c", str(self.conf), "start-fg"],
                                     stdin=subprocess.DEVNULL, stdout=terminal, stderr=terminal,
                                     start_new_session=True)
        os.close(terminal)
        deadline = time.monotonic() + START_TIMEOUT
        while not is_listening(self.port):
            if self.proc.poll() is not None:
                raise RuntimeError("postfix exited with %d: %s" % (self.proc.returncode, self.log()))
            if time.monotonic() > deadline:
                raise RuntimeError("postfix did not listen within %.0f s: %s"
                                   % (START_TIMEOUT, self.log()))
            time.sleep(0.05)

    def _stop(self):
        if self.proc is not None:
            master = self._master_pid()
            if self.proc.poll() is None:
                try:
                    subprocess.run([_tool("postfix"), "-c", str(self.conf), "stop"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   timeout=COMMAND_TIMEOUT, check=False)
                    self.proc.wait(COMMAND_TIMEOUT)
                except subprocess.TimeoutExpired:
                    pass
            # The master process leads a session of its own with every service it started:
            # whatever of it outlived the stop goes now, and so does our start command.
            if master is not None:
                try:
                    if os.getpgid(master) == master:
                        os.killpg(master, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            if self.proc.poll() is None:
                self.proc.kill()
            self.proc.wait(COMMAND_TIMEOUT)
            self.proc = None
        if self._pty is not None:
            os.close(self._pty)
            self._pty = None
        if self.base is not None:
            shutil.rmtree(self.base, ignore_errors=True)
            self.base = None

    def _master_pid(self):
        try:
            return int((self.base / "queue" / "pid" / "master.pid").read_text().split()[0])
        except (OSError, ValueError, IndexError):
            return None

    # --- talking to it ---
    def send(self, sender, recipient, data, timeout=COMMAND_TIMEOUT):
        """Submits one message with swaks; returns swaks' transcript (raises on failure)."""
        # swaks ends the data with a line end of its own: a final one of ours would become an
        # extra empty line.
        if data.endswith(b"\r\n"):
            data = data[:-2]
        result = subprocess.run(
            ["swaks", "--server", "127.0.0.1", "--port", str(self.port), "--helo", "client.test",
             "--from", sender, "--to", recipient, "--data", "-", "--timeout", "10"],
            input=data, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout,
            check=False)
        if result.returncode != 0:
            raise RuntimeError("swaks failed (%d): %s" % (result.returncode,
                                                          result.stdout.decode("latin-1")))
        return result.stdout.decode("latin-1")

    def queue(self):
        """The queue listing (postqueue -p)."""
        return self._run("postqueue", "-p")

    def flush(self):
        """Asks for an immediate delivery attempt of everything queued (postqueue -f)."""
        return self._run("postqueue", "-f")

    def _run(self, tool, *args):
        result = subprocess.run([_tool(tool), "-c", str(self.conf), *args],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                timeout=COMMAND_TIMEOUT, check=False)
        return result.stdout.decode("latin-1")

    def log(self):
        """What the instance said on its terminal and wrote to its mail log so far."""
        if self._pty is not None:
            try:
                while True:
                    chunk = os.read(self._pty, 65536)
                    if not chunk:
                        break
                    self._said += chunk
            except (BlockingIOError, OSError):
                pass
        text = self._said.decode("latin-1")
        path = self.base / "maillog" if self.base else None
        if path and path.exists():
            text += path.read_text(encoding="latin-1", errors="replace")
        return text
