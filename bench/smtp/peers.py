"""peers.py - the server bench_smtp.py measures vantrel against, run as its own process under
/usr/bin/python3 (Debian's aiosmtpd is importable only there).

  peers.py PORT MBOX   aiosmtpd appending each message to an mbox under flock
"""

import fcntl
import sys
import time


def run_aiosmtpd(port, mbox):
    from aiosmtpd.controller import Controller

    class MboxHandler:
        async def handle_DATA(self, server, session, envelope):
            lines = envelope.content.replace(b"\r\n", b"\n").split(b"\n")
            if lines and lines[-1] == b"":
                lines.pop()
            out = [b"From ???@??? " + time.strftime("%a %b %d %H:%M:%S %Y").encode()]
            body = False
            for line in lines:
                if body and line.lstrip(b">").startswith((b"From ", b"From:")):
                    line = b">" + line
                out.append(line)
                body = body or line == b""
            with open(mbox, "ab") as f:
                fcntl.flock(f, fcntl.LOCK_EX)
                f.write(b"\n".join(out) + b"\n")
            return "250 OK"

    controller = Controller(MboxHandler(), hostname="127.0.0.1", port=port)
    controller.start()
    print("ready", flush=True)
    sys.stdin.read()  # until the bench closes our stdin
    controller.stop()


if __name__ == "__main__":
    run_aiosmtpd(int(sys.argv[1]), sys.argv[2])
