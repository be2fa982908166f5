#!/usr/bin/python3
"""X3D worlds against the VRML worlds of the same folders, served by one running server.

The site: a copy of the demo, plus a folder of 1,000 files. For the demo's root, the
1,000-entry folder and the root's graph, ab fetches the VRML world (`?scene`, `?graph`) and
the X3D world (`?x3d`, `?x3d&graph`) in turn for several rounds. Each figure is the median of
its rounds: ab's wall time per request and the server's CPU time per request (all threads,
from schedstat). The ratio is X3D / VRML on CPU time (the target: at most 1.5).

usage: bench/x3d/run.py [--requests N] [--rounds R] [--json FILE]
(VANTREL_BIN overrides build/vantrel; needs ab.)
"""

import argparse
import json
import os
import pathlib
import statistics
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "bench"))
os.environ.setdefault("VANTREL_SOURCE", str(ROOT))
import harness  # noqa: E402
from serverload import ab, timed  # noqa: E402

WORLDS = (
    ("demo root", "/?scene", "/?x3d"),
    ("1,000-entry folder", "/thousand/?scene", "/thousand/?x3d"),
    ("demo root graph", "/?graph", "/?x3d&graph"),
)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--json")
    args = parser.parse_args()
    files = {"thousand/file%04d.txt" % i: "x" * (i % 300) for i in range(1000)}
    times = {}
    with harness.Site(files=files, debug=False, demo=True) as site:
        sizes = {}
        for _, *paths in WORLDS:
            for path in paths:
                status, _, body = site.get(path)
                if " 200 " not in status + " ":
                    sys.exit("%s: %s" % (path, status))
                sizes[path] = len(body)
                ab(site.port, path, 10)  # warm up
                times[path] = ([], [])
        for _ in range(args.rounds):
            for _, *paths in WORLDS:
                for path in paths:
                    wall, cpu = timed(site.proc.pid, site.port, path, args.requests)
                    times[path][0].append(wall)
                    times[path][1].append(cpu)
    print("ab -n %d -c 1, %d rounds, median per request" % (args.requests, args.rounds))
    print("%-20s %9s %9s %6s %9s %9s %6s %8s %8s" % ("world", "VRML ms", "X3D ms", "ratio",
                                                    "VRML cpu", "X3D cpu", "ratio", "VRML B",
                                                    "X3D B"))
    result = {}
    for label, vrml, x3d in WORLDS:
        vw, vc = (statistics.median(v) for v in times[vrml])
        xw, xc = (statistics.median(v) for v in times[x3d])
        result[label] = {"vrml_cpu_ms": vc, "x3d_cpu_ms": xc, "ratio": xc / vc,
                         "wall_ratio": xw / vw}
        print("%-20s %9.3f %9.3f %6.2f %9.3f %9.3f %6.2f %8d %8d" % (
            label, vw, xw, xw / vw, vc, xc, xc / vc, sizes[vrml], sizes[x3d]))
    print("target: X3D / VRML <= 1.5 (CPU time)")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(result))
    return 0


if __name__ == "__main__":
    sys.exit(main())
