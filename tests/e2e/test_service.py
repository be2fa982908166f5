"""The program's modes from outside: console stop signals, the service mode against a notify
socket this test owns, and the command line without a service manager."""

import os
import shutil
import signal
import socket
import subprocess
import time
import unittest

from harness import BIN, Site, free_port, is_listening, temp_dir

USAGE = ("Vantrel -install          to install the service\n"
         "Vantrel -remove           to remove the service\n"
         "Vantrel -cmd <params>     to run as a console app\n"
         "\n"
         "Use Control Panel to start as a NT service.\n")
WAIT = 10.0  # every wait below is bounded by this


def environment(**extra):
    env = {k: v for k, v in os.environ.items() if k != "NOTIFY_SOCKET"}
    env.update(extra)
    return env


class ConsoleMode(unittest.TestCase):
    def test_stop_signals_print_the_stopping_line_and_exit_zero(self):
        for sig in (signal.SIGINT, signal.SIGQUIT, signal.SIGTERM):
            with self.subTest(signal=sig.name), Site({"a.txt": "a"}, debug=False) as site:
                self.assertEqual(site.get("/a.txt")[2], b"a")
                site.proc.send_signal(sig)
                self.assertEqual(site.proc.wait(WAIT), 0)
                self.assertEqual(site.stdout(), "Starting Vantrel.\nStopping Vantrel.\n")
                self.assertEqual(site.stderr(), "")

    def test_extra_words_after_cmd_run_the_same(self):
        with Site({"a.txt": "a"}, debug=False, extra_args=("extra", "words")) as site:
            self.assertEqual(site.get("/a.txt")[2], b"a")
            self.assertEqual(site.stop(), 0)
            self.assertEqual(site.stdout(), "Starting Vantrel.\nStopping Vantrel.\n")


class WithoutServiceManager(unittest.TestCase):
    def run_program(self, *args):
        return subprocess.run([BIN, *args], env=environment(), capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=WAIT)

    def test_no_argument_or_unknown_switch_prints_usage_and_fails(self):
        for args in ((), ("install",), ("-installx",), ("/service",)):
            with self.subTest(args=args):
                done = self.run_program(*args)
                self.assertEqual(done.returncode, 1)
                self.assertEqual(done.stdout.decode(), USAGE)

    @unittest.skipIf(os.path.exists("/run/systemd/system"),
                     "systemd runs here: -install would change this machine")
    def test_install_and_remove_report_the_missing_manager(self):
        # The printed line stays; standard error says what is missing, and nothing changed.
        for switch in ("-install", "/REMOVE"):
            with self.subTest(switch=switch):
                done = self.run_program(switch)
                self.assertEqual(done.returncode, 1)
                self.assertEqual(done.stdout.decode(),
                                 "OpenSCManager failed - No such file or directory (0x2)\n")
                self.assertIn("Vantrel: systemd is not running as PID 1 on this machine",
                              done.stderr.decode())

    def test_help_and_version_exit_zero(self):
        for args in (("-help",), ("--help",), ("-h",)):
            with self.subTest(args=args):
                done = self.run_program(*args)
                self.assertEqual(done.returncode, 0)
                for switch in ("-cmd", "-debug", "-install [FOLDER]", "-remove", "--version"):
                    self.assertIn(switch, done.stdout.decode())
        done = self.run_program("--version")
        self.assertEqual(done.returncode, 0)
        self.assertRegex(done.stdout.decode(), r"\Avantrel \d+\.\d+\.\d+\n\Z")


class ServiceMode(unittest.TestCase):
    """The program as systemd starts it: no arguments, NOTIFY_SOCKET set, some other working
    directory. The test plays systemd's part of the notify socket."""

    def setUp(self):
        self.tmp = temp_dir(self, "vantrel-service-")
        # The service publishes the program's own folder, so the program lives in the site.
        self.site = self.tmp / "site"
        self.site.mkdir()
        self.program = self.site / "vantrel"
        shutil.copy2(BIN, self.program)
        self.port = free_port()
        (self.site / "vantrel.cfg").write_text("port=%d\n" % self.port)
        (self.site / "hello.txt").write_text("hello\n")
        self.elsewhere = self.tmp / "elsewhere"
        self.elsewhere.mkdir()
        self.proc = None

    def tearDown(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(WAIT)

    def notify_socket(self, abstract):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(s.close)
        if abstract:
            name = "vantrel-test-%d-%d" % (os.getpid(), time.monotonic_ns())
            s.bind("\0" + name)
            address = "@" + name
        else:
            address = str(self.tmp / "notify")
            s.bind(address)
        s.settimeout(WAIT)
        return s, address

    def start(self, address, cwd="/"):
        # A unit without WorkingDirectory= starts the service in "/".
        self.proc = subprocess.Popen([str(self.program)], cwd=cwd,
                                     env=environment(NOTIFY_SOCKET=address),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)

    def fetch(self, path):
        with socket.create_connection(("127.0.0.1", self.port), timeout=WAIT) as c:
            c.sendall(("GET %s HTTP/1.0\r\n\r\n" % path).encode())
            data = b""
            while chunk := c.recv(65536):
                data += chunk
            return data

    def test_reports_in_order_and_sigterm_ends_with_stopped(self):
        for abstract in (False, True):
            with self.subTest(abstract=abstract):
                sock, address = self.notify_socket(abstract)
                self.start(address)
                self.assertEqual(sock.recv(4096),
                                 b"STATUS=Start pending\nEXTEND_TIMEOUT_USEC=3000000")
                self.assertEqual(sock.recv(4096), b"READY=1\nSTATUS=Running")
                # Ready means listening, and the tree is the program's folder.
                self.assertTrue(is_listening(self.port))
                self.assertTrue(self.fetch("/hello.txt").endswith(b"\r\n\r\nhello\n"))
                self.proc.send_signal(signal.SIGTERM)
                self.assertEqual(sock.recv(4096), b"STOPPING=1\nSTATUS=Stop pending")
                self.assertEqual(sock.recv(4096), b"STATUS=Stopped (exit code 0)\nERRNO=0")
                out, err = self.proc.communicate(timeout=WAIT)
                self.assertEqual(self.proc.returncode, 0)
                self.assertEqual(out.decode(), USAGE)
                self.assertEqual(err, b"")
                sock.close()
                if not abstract:
                    os.unlink(address)

    def test_sighup_reloads_the_tree_and_keeps_serving(self):
        # `systemctl reload` sends SIGHUP (ExecReload=): the service rescans and goes on.
        sock, address = self.notify_socket(False)
        self.start(address)
        sock.recv(4096)
        self.assertEqual(sock.recv(4096), b"READY=1\nSTATUS=Running")
        self.assertIn(b" 404 ", self.fetch("/late.txt").split(b"\r\n")[0] + b" ")
        (self.site / "late.txt").write_text("late\n")
        self.proc.send_signal(signal.SIGHUP)
        deadline = time.monotonic() + WAIT
        while not self.fetch("/late.txt").endswith(b"\r\n\r\nlate\n"):
            self.assertIsNone(self.proc.poll(), "SIGHUP ended the service")
            self.assertLess(time.monotonic(), deadline, "the new file never showed")
            time.sleep(0.1)
        self.assertTrue(self.fetch("/hello.txt").endswith(b"\r\n\r\nhello\n"))
        self.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.proc.wait(WAIT), 0)

    def test_working_directory_is_the_published_tree(self):
        # The unit -install writes names the folder as the working directory; the program
        # itself lives elsewhere (an installed one in sbin/).
        program = self.elsewhere / "vantrel"
        shutil.move(str(self.program), program)
        sock, address = self.notify_socket(False)
        self.proc = subprocess.Popen([str(program)], cwd=self.site,
                                     env=environment(NOTIFY_SOCKET=address),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        sock.recv(4096)
        self.assertEqual(sock.recv(4096), b"READY=1\nSTATUS=Running")
        self.assertTrue(self.fetch("/hello.txt").endswith(b"\r\n\r\nhello\n"))
        self.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.proc.wait(WAIT), 0)

    def test_unreachable_notify_socket_never_serves(self):
        # The start report cannot be delivered: the service reports stopped (also undeliverable)
        # and ends without ever listening.
        self.start(str(self.tmp / "nobody-listens-here"))
        self.proc.communicate(timeout=WAIT)
        self.assertEqual(self.proc.returncode, 0)
        self.assertFalse(is_listening(self.port))


if __name__ == "__main__":
    unittest.main()
