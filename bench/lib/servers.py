"""servers.py - what the HTTP benches share: the files both servers publish, vantrel and nginx
started side by side on free loopback ports, and ab(1) runs against them.

Everything lives under build/bench/. VANTREL_BIN overrides the binary (default
build-release/vantrel if built, else build/vantrel).
"""

import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

SOURCE = pathlib.Path(__file__).resolve().parents[2]
WORK = SOURCE / "build" / "bench"
DATA = WORK / "data"
LIST_ENTRIES = 1000
BIG_BYTES = 100 * 1024 * 1024


def default_binary():
    if "VANTREL_BIN" in os.environ:
        return os.environ["VANTREL_BIN"]
    release = SOURCE / "build-release" / "vantrel"
    return str(release if release.exists() else SOURCE / "build" / "vantrel")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, proc, what):
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            sys.exit("%s exited early with %d" % (what, proc.returncode))
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    sys.exit("%s did not listen on %d" % (what, port))


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGINT)
        try:
            proc.wait(20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


# --- the files both servers publish ---

def write_if_missing(path, size, seed):
    if path.exists() and path.stat().st_size == size:
        return
    block = bytes((seed + i * 7) % 251 for i in range(4096))
    with open(path, "wb") as out:
        left = size
        while left > 0:
            out.write(block[:min(left, len(block))])
            left -= len(block)


def build_data():
    """build/bench/data: 1 KiB and 100 KiB files, a 100 MiB file, a folder of 1,000 files."""
    (DATA / "list").mkdir(parents=True, exist_ok=True)
    write_if_missing(DATA / "small.bin", 1024, 1)
    write_if_missing(DATA / "medium.bin", 100 * 1024, 2)
    write_if_missing(DATA / "big.bin", BIG_BYTES, 3)
    for i in range(LIST_ENTRIES):
        path = DATA / "list" / ("entry%04d.txt" % i)
        if not path.exists():
            path.write_bytes(b"x" * (i * 37 % 5000))


def vantrel_site(name, port, clients, extra):
    """A site root of hard links to DATA, with its own vantrel.cfg (port, clients, `gzip`:
    which only a request taking gzip sees, and the lines in `extra`)."""
    root = WORK / name
    if root.exists():
        shutil.rmtree(root)
    (root / "list").mkdir(parents=True)
    for entry in ("small.bin", "medium.bin", "big.bin"):
        os.link(DATA / entry, root / entry)
    for entry in (DATA / "list").iterdir():
        os.link(entry, root / "list" / entry.name)
    cfg = "port=%d\n" % port
    if clients is not None:
        cfg += "clients=%d\n" % clients
    cfg += "gzip\n" + extra
    (root / "vantrel.cfg").write_text(cfg)
    return root


def start_vantrel(binary, name, clients, extra="", preexec_fn=None):
    """(process, port) of vantrel serving a copy of DATA; its standard error goes to
    build/bench/NAME.stderr. preexec_fn runs in the child before exec (e.g. to set limits)."""
    port = free_port()
    root = vantrel_site(name, port, clients, extra)
    log = open(WORK / (name + ".stderr"), "wb")
    proc = subprocess.Popen([binary, "-cmd"], cwd=root, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=log, preexec_fn=preexec_fn)
    wait_listening(port, proc, "vantrel")
    return proc, port


NGINX_CONF = """\
worker_processes auto;
worker_rlimit_nofile {nofile};
daemon off;
pid {prefix}/nginx.pid;
error_log {prefix}/error.log warn;
events {{ worker_connections {connections}; }}
http {{
    default_type application/octet-stream;
    sendfile on;
    access_log off;
    client_body_temp_path {prefix}/tmp/body;
    proxy_temp_path {prefix}/tmp/proxy;
    fastcgi_temp_path {prefix}/tmp/fastcgi;
    uwsgi_temp_path {prefix}/tmp/uwsgi;
    scgi_temp_path {prefix}/tmp/scgi;
    server {{
        listen 127.0.0.1:{port};
        root {root};
        {locations}
    }}
}}
"""

# gzip_http_version: ab speaks HTTP/1.0, which nginx would otherwise answer plain.
LIST_LOCATION = "location /list/ { autoindex on; gzip on; gzip_http_version 1.0; }"


def start_nginx(name="nginx", root=DATA, locations=LIST_LOCATION, connections=1024):
    """(process, port) of nginx with a throw-away configuration under build/bench/NAME: one
    worker per core, sendfile on, access log off, `connections` per worker."""
    prefix = WORK / name
    (prefix / "tmp").mkdir(parents=True, exist_ok=True)
    port = free_port()
    conf = prefix / "nginx.conf"
    conf.write_text(NGINX_CONF.format(prefix=prefix, port=port, root=root, locations=locations,
                                      connections=connections, nofile=2 * connections + 64))
    proc = subprocess.Popen(["nginx", "-p", str(prefix), "-c", str(conf)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=open(prefix / "stderr.txt", "wb"))
    wait_listening(port, proc, "nginx")
    return proc, port


# --- load ---

def ab(port, path, requests, concurrency, headers=(), all_304=False):
    """(requests per second, p99 ms) from one ab run; exits when a request failed, or when a
    reply was not 2xx (with all_304: when any reply was not a 304)."""
    url = "http://127.0.0.1:%d%s" % (port, path)
    extra = [arg for header in headers for arg in ("-H", header)]
    out = subprocess.run(["ab", "-q", "-r", "-s", "30", "-n", str(requests), "-c", str(concurrency)]
                         + extra + [url], capture_output=True, text=True, timeout=600)
    text = out.stdout
    rps = re.search(r"Requests per second:\s+([\d.]+)", text)
    p99 = re.search(r"^\s+99%\s+(\d+)", text, re.M)
    failed = re.search(r"Failed requests:\s+(\d+)", text)
    non2xx = re.search(r"Non-2xx responses:\s+(\d+)", text)
    if out.returncode != 0 or not rps or not p99:
        sys.exit("ab failed on %s:\n%s%s" % (url, text, out.stderr))
    if all_304:
        # ab counts a 304 as a non-2xx reply: every one must be.
        wrong = not non2xx or int(non2xx.group(1)) != requests
    else:
        wrong = non2xx is not None
    if (failed and int(failed.group(1))) or wrong:
        sys.exit("ab saw failed or unexpected replies on %s:\n%s" % (url, text))
    return float(rps.group(1)), float(p99.group(1))
