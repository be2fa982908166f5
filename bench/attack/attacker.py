#!/usr/bin/python3
"""attacker.py - slow clients against a server on 127.0.0.1, bounded in count and time.

  attack mode: TRICKLE connections send a request head a byte every INTERVAL seconds and never
    finish it; READERS connections ask for PATH and take READ_BYTES of the reply a second.
    A connection the server closes is opened again, so the count holds for the whole run.
  idle mode: IDLE connections, every other one silent, the rest with a partial head; none is
    opened again.

Prints one JSON line {"ready": ...} once every connection is open (or after 60 s), then runs
until SIGINT/SIGTERM or DURATION seconds, and prints one JSON line {"done": ...} with counts.

  attacker.py --port P [--trickle N --readers M --path /big.bin] [--idle N] [--duration S]
"""

import argparse
import asyncio
import json
import random
import resource
import signal
import socket
import sys

MAX_CONNECTIONS = 20000
MAX_SECONDS = 900
# Connects in flight at once: a burst of 10,000 SYNs at once only overflows the listen queue.
CONNECTS_AT_ONCE = 256
HEAD = b"GET /small.bin HTTP/1.0\r\nUser-Agent: " + b"s" * 8000


class Stats:
    def __init__(self):
        self.trickling = 0
        self.reading = 0
        self.idle = 0
        self.reopened = 0
        self.connect_failures = 0
        self.bytes_read = 0
        self.closed_by_server = 0
        self.closed_silent = 0
        self.seconds = 0.0

    def as_dict(self):
        return dict(vars(self))


def closed_by_peer(sock):
    """True when the peer has answered or closed (readable), without waiting."""
    try:
        return sock.recv(65536, socket.MSG_DONTWAIT) is not None
    except BlockingIOError:
        return False
    except OSError:
        return True


async def connect(port, gate, rcvbuf=None):
    loop = asyncio.get_running_loop()
    sock = socket.socket()
    sock.setblocking(False)
    if rcvbuf:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    try:
        async with gate:
            await asyncio.wait_for(loop.sock_connect(sock, ("127.0.0.1", port)), 30)
    except (OSError, asyncio.TimeoutError):
        sock.close()
        raise OSError("connect failed")
    return sock


async def reconnecting(port, gate, stats, stop, rcvbuf=None):
    """Yields one connection after another until `stop`: a failed connect waits a second, each
    connection after the first counts as reopened, and one the server ends counts as closed."""
    first = True
    while not stop.is_set():
        try:
            sock = await connect(port, gate, rcvbuf)
        except OSError:
            stats.connect_failures += 1
            await asyncio.sleep(1)
            continue
        if not first:
            stats.reopened += 1
        first = False
        try:
            yield sock
        finally:
            if not stop.is_set():
                stats.closed_by_server += 1
            sock.close()


async def trickle(port, interval, stats, gate, stop):
    loop = asyncio.get_running_loop()
    async for sock in reconnecting(port, gate, stats, stop):
        stats.trickling += 1
        try:
            await asyncio.sleep(random.uniform(0, interval))  # spread the bytes over time
            for i in range(len(HEAD)):
                if stop.is_set() or closed_by_peer(sock):
                    break
                await loop.sock_sendall(sock, HEAD[i:i + 1])
                await asyncio.sleep(interval)
        except OSError:
            pass
        finally:
            stats.trickling -= 1


async def read_slowly(port, path, read_bytes, stats, gate, stop):
    loop = asyncio.get_running_loop()
    async for sock in reconnecting(port, gate, stats, stop, rcvbuf=4096):
        stats.reading += 1
        try:
            await loop.sock_sendall(sock, b"GET %s HTTP/1.0\r\n\r\n" % path.encode())
            while not stop.is_set():
                try:
                    data = await asyncio.wait_for(loop.sock_recv(sock, read_bytes), 1)
                except asyncio.TimeoutError:
                    continue
                if not data:
                    break
                stats.bytes_read += len(data)
                await asyncio.sleep(1)
        except OSError:
            pass
        finally:
            stats.reading -= 1


async def hold_idle(port, index, stats, gate, stop, sockets):
    try:
        sock = await connect(port, gate)
    except OSError:
        stats.connect_failures += 1
        return
    sockets.append((index, sock))
    if index % 2:
        try:
            sock.send(b"GET /small.bin HTTP/1.0\r\nHost: 127.0.0.1\r\n")
        except OSError:
            pass
    stats.idle += 1


async def main_async(args):
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    loop.call_later(args.duration, stop.set)
    stats = Stats()
    gate = asyncio.Semaphore(CONNECTS_AT_ONCE)
    tasks = [asyncio.create_task(trickle(args.port, args.interval, stats, gate, stop))
             for _ in range(args.trickle)]
    tasks += [asyncio.create_task(read_slowly(args.port, args.path, args.read_bytes, stats, gate,
                                              stop)) for _ in range(args.readers)]
    sockets = []
    idle = [asyncio.create_task(hold_idle(args.port, i, stats, gate, stop, sockets))
            for i in range(args.idle)]
    wanted = args.trickle + args.readers + args.idle
    started = loop.time()
    for _ in range(600):
        if stats.trickling + stats.reading + stats.idle >= wanted or stop.is_set():
            break
        await asyncio.sleep(0.1)
    stats.seconds = round(loop.time() - started, 2)
    print(json.dumps({"ready": stats.as_dict()}), flush=True)
    await stop.wait()
    if idle:
        await asyncio.gather(*idle)
        # The idle connections the server still holds, seen from here.
        closed = [index for index, s in sockets if closed_by_peer(s)]
        stats.closed_by_server = len(closed)
        stats.closed_silent = sum(1 for index in closed if index % 2 == 0)
        for _, s in sockets:
            s.close()
    for task in tasks:
        task.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)
    print(json.dumps({"done": stats.as_dict()}), flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--trickle", type=int, default=0)
    parser.add_argument("--interval", type=float, default=2.0, help="seconds between bytes")
    parser.add_argument("--readers", type=int, default=0)
    parser.add_argument("--path", default="/big.bin")
    parser.add_argument("--read-bytes", type=int, default=8192, help="bytes a reader takes a second")
    parser.add_argument("--idle", type=int, default=0)
    parser.add_argument("--duration", type=float, default=120)
    args = parser.parse_args()
    total = args.trickle + args.readers + args.idle
    if total > MAX_CONNECTIONS or args.duration > MAX_SECONDS:
        sys.exit("at most %d connections and %d s" % (MAX_CONNECTIONS, MAX_SECONDS))
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < total + 64:
        if hard != resource.RLIM_INFINITY and hard < total + 64:
            sys.exit("RLIMIT_NOFILE hard limit %d is below the %d connections asked for"
                     % (hard, total))
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    asyncio.run(main_async(args))


if __name__ == "__main__":
    main()
