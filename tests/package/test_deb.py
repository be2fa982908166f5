#!/usr/bin/env python3
"""The Debian package on this machine: build it as `make deb` does, install it with dpkg, run
the unit's ExecStart by hand as the unit's user (there is no systemd here), fetch the default
page, stop it, remove the package and check the site stays.

Needs root and dpkg; exits 77 (skipped) with the reason when this machine cannot run it or
when it would touch what is not its own (an installed vantrel, an existing /srv/vantrel).
Everything it creates it removes again; a user it did not create it leaves alone."""

import fcntl
import os
import pathlib
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
SITE = pathlib.Path("/srv/vantrel")
UNIT = pathlib.Path("/usr/lib/systemd/system/vantrel.service")
SHARE = pathlib.Path("/usr/share/vantrel/site")
LOCK = "/run/lock/vantrel-package-test.lock"
STEP_SECONDS = 120


def skip(reason):
    print("SKIP: " + reason)
    sys.exit(SKIP)


def run(*argv, **kw):
    kw.setdefault("timeout", STEP_SECONDS)
    kw.setdefault("text", True)
    return subprocess.run(list(argv), capture_output=True, **kw)


def check(result, what):
    if result.returncode != 0:
        raise AssertionError(f"{what} failed ({result.returncode}):\n{result.stdout}{result.stderr}")
    return result


def package_installed():
    r = run("dpkg-query", "-W", "-f=${db:Status-Status}", "vantrel")
    return r.returncode == 0 and r.stdout.strip() == "installed"


def user_exists(name):
    try:
        pwd.getpwnam(name)
        return True
    except KeyError:
        return False


def unit_settings(text):
    """The [Service] lines of a unit as a dict (the last line of a key wins)."""
    settings = {}
    for line in text.splitlines():
        if "=" in line and not line.startswith(("#", ";", "[")):
            key, value = line.split("=", 1)
            settings[key] = value
    return settings


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_ready(notify, deadline):
    notify.settimeout(1.0)
    while time.monotonic() < deadline:
        try:
            message = notify.recv(4096).decode()
        except socket.timeout:
            continue
        if "READY=1" in message.split("\n"):
            return True
    return False


def take_lock():
    """Engineers' trees share this machine's package database: one package test at a time."""
    handle = open(LOCK, "w")
    deadline = time.monotonic() + 600
    while True:
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return handle
        except BlockingIOError:
            if time.monotonic() > deadline:
                skip("another package test held " + LOCK + " for ten minutes")
            time.sleep(2)


def build_package(build_dir, out_dir, version):
    check(run("cpack", "--config", str(build_dir / "CPackConfig.cmake"), "-B", str(out_dir),
              timeout=300), "cpack")
    arch = check(run("dpkg", "--print-architecture"), "dpkg --print-architecture").stdout.strip()
    debs = sorted(p.name for p in out_dir.glob("*.deb"))
    expected = f"vantrel_{version}_{arch}.deb"
    if debs != [expected]:
        raise AssertionError(f"cpack made {debs}, not [{expected}]")
    return out_dir / expected


def serve_as_unit(settings, scratch):
    """ExecStart as systemd would start it: in WorkingDirectory=, as User= (with the unit's
    ambient capability), NOTIFY_SOCKET set. Returns (process, notify socket)."""
    program = settings["ExecStart"].strip('"')
    notify_path = scratch / "notify"
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(str(notify_path))
    os.chmod(scratch, 0o755)
    os.chmod(notify_path, 0o777)  # the unit's user sends its READY=1 here
    user = settings["User"]
    argv = ["setpriv", f"--reuid={user}", f"--regid={user}", "--init-groups"]
    if settings.get("AmbientCapabilities") == "CAP_NET_BIND_SERVICE":
        argv += ["--inh-caps=+net_bind_service", "--ambient-caps=+net_bind_service"]
    argv += ["--", program]
    env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "NOTIFY_SOCKET": str(notify_path)}
    process = subprocess.Popen(argv, cwd=settings["WorkingDirectory"], env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return process, notify


def main():
    build_dir = pathlib.Path(os.environ["VANTREL_BUILD"])
    binary = os.environ["VANTREL_BIN"]
    if os.geteuid() != 0:
        skip("dpkg -i needs root")
    for tool in ("dpkg-deb", "dpkg", "cpack", "setpriv", "curl", "adduser"):
        if not shutil.which(tool):
            skip(tool + " is not installed")
    if not (build_dir / "CPackConfig.cmake").exists():
        skip("no CPackConfig.cmake in " + str(build_dir))
    lock = take_lock()
    if package_installed() or os.path.exists("/usr/sbin/vantrel"):
        skip("vantrel is installed on this machine already; not replacing it")
    if SITE.exists():
        skip(f"{SITE} exists and is not this test's to change")
    user_was_there = user_exists("vantrel")
    version = check(run(binary, "--version"), "vantrel --version").stdout.split()[-1]

    process = None
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="vantrel-deb-"))
    try:
        deb = build_package(build_dir, scratch / "out", version)
        check(run("dpkg", "-i", str(deb)), "dpkg -i")
        assert package_installed(), "dpkg -i left the package not installed"
        for path in ("/usr/sbin/vantrel", "/usr/share/man/man8/vantrel.8.gz", str(UNIT)):
            assert os.path.exists(path), path + " was not installed"
        owner = pwd.getpwuid(SITE.stat().st_uid).pw_name
        assert owner == "vantrel", f"{SITE} belongs to {owner}"
        assert pwd.getpwnam("vantrel").pw_uid < 1000, "vantrel is not a system user"
        index = (SITE / "index.html").read_bytes()
        assert index == (SHARE / "index.html").read_bytes()
        assert (SITE / "icons" / "Folder.gif").exists() and (SITE / "models").is_dir()

        settings = unit_settings(UNIT.read_text())
        assert settings["WorkingDirectory"] == str(SITE) and settings["User"] == "vantrel", settings
        # The shipped site listens on port 80, which a shared or CI machine may be using and a
        # test must not take: move it to a free loopback port, as an admin edits vantrel.cfg.
        port = free_port()
        config = SITE / "vantrel.cfg"
        lines = [l for l in config.read_text().splitlines() if not l.startswith("port=")]
        config.write_text("\n".join(lines + [f"port={port}", "listen=127.0.0.1"]) + "\n")

        process, notify = serve_as_unit(settings, scratch)
        ready = wait_for_ready(notify, time.monotonic() + 30)
        notify.close()
        if not ready:
            process.kill()
            output = process.communicate(timeout=STEP_SECONDS)[0].decode(errors="replace")
            raise AssertionError("no READY=1 from the service:\n" + output)
        page = check(run("curl", "-sS", "--max-time", "20", f"http://127.0.0.1:{port}/",
                         text=False), "curl /").stdout
        assert page == index, page[:300]
        process.send_signal(signal.SIGTERM)
        output = process.communicate(timeout=STEP_SECONDS)[0].decode(errors="replace")
        assert process.returncode == 0, f"exit {process.returncode}:\n{output}"
        process = None

        check(run("dpkg", "-r", "vantrel"), "dpkg -r")
        assert not os.path.exists("/usr/sbin/vantrel"), "dpkg -r left the program"
        assert (SITE / "index.html").read_bytes() == index, f"dpkg -r did not leave {SITE}"
        print("package test passed:", deb.name)
    finally:
        if process is not None:
            process.kill()
            process.wait()
        if package_installed() or run("dpkg-query", "-W", "vantrel").returncode == 0:
            run("dpkg", "--purge", "vantrel")
        shutil.rmtree(SITE, ignore_errors=True)
        shutil.rmtree(SITE.parent / (SITE.name + ".new"), ignore_errors=True)
        if not user_was_there and user_exists("vantrel"):
            run("userdel", "vantrel")
            run("groupdel", "vantrel")
        shutil.rmtree(scratch, ignore_errors=True)
        lock.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
