"""The 3D pages in a real browser: headless Chromium with software WebGL opens the demo root's
page and a folder's, waits until the viewer has loaded the world, and takes a picture. The
world must have been drawn (not one flat colour, not the page before loading) with no error
on the console. The pictures are kept under build/artifacts (copies in docs/images)."""

import os
import pathlib
import shutil
import struct
import subprocess
import unittest
import zlib

from harness import SOURCE, Site

CHROMIUM = "/usr/bin/chromium"
BUILD = pathlib.Path(os.environ.get("VANTREL_BUILD", SOURCE / "build"))
# Where scripts/install-viewer puts the npm packages: one place for every build preset.
NPM_DIR = pathlib.Path(os.environ.get("VANTREL_NPM_DIR", SOURCE / "build" / "npm"))
# Kept under build/; the committed copies in docs/images are taken from there by hand.
IMAGES = BUILD / "artifacts"


def png_pixels(path):
    """The RGB(A) rows of an 8-bit, non-interlaced PNG (what Chromium writes)."""
    data = pathlib.Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    assert depth == 8 and colour in (2, 6), (depth, colour)
    channels = 3 if colour == 2 else 4
    raw, stride, rows, prev = zlib.decompress(idat), width * channels, [], bytearray(width * channels)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = prev[i]
            c = prev[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line))
        prev = line
    return channels, rows


def colours(path):
    channels, rows = png_pixels(path)
    return {row[i:i + 3] for row in rows[::8] for i in range(0, len(row), channels * 8)}


@unittest.skipUnless(os.access(CHROMIUM, os.X_OK) and shutil.which("node"),
                     "needs Debian's chromium and node (scripts/install-deps)")
class ViewPagesInBrowser(unittest.TestCase):
    def test_demo_worlds_are_drawn_without_console_errors(self):
        with Site(demo=True) as site:
            install = subprocess.run([str(SOURCE / "scripts" / "install-viewer"), str(site.root / "viewer")],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600,
                                     env=dict(os.environ, VANTREL_NPM_DIR=str(NPM_DIR)))
            if install.returncode != 0:
                self.skipTest(install.stdout.decode(errors="replace").strip())
            site.restart()  # the viewer's folder is published from the next scan on
            IMAGES.mkdir(parents=True, exist_ok=True)
            env = dict(os.environ, NODE_PATH=str(NPM_DIR / "node_modules"))
            for path, name in (("/?view", "view-root"), ("/pictures/?view", "view-pictures")):
                with self.subTest(page=path):
                    before = site.root.parent / (name + "-before.png")
                    after = IMAGES / (name + ".png")
                    run = subprocess.run(["node", str(SOURCE / "tests" / "e2e" / "view_shot.js"),
                                          "http://127.0.0.1:%d%s" % (site.port, path), str(before), str(after)],
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=300)
                    self.assertEqual(run.returncode, 0, run.stderr.decode(errors="replace")[-3000:])
                    report = run.stdout.decode(errors="replace")
                    self.assertIn('{"errors":[]}', report)
                    drawn = colours(after)
                    self.assertGreater(len(drawn), 20, "the picture is (nearly) one flat colour")
                    self.assertNotEqual(drawn, colours(before))
                    self.assertGreater(len(drawn - colours(before)), 10)


if __name__ == "__main__":
    unittest.main()
