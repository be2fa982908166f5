"""The demo site as a new user meets it: its listings name only icons that exist, and a real
browser (headless Chromium) renders the root listing and fetches every icon it names.
The screenshot is kept under build/artifacts/ for a human to look at."""

import os
import pathlib
import re
import subprocess
import unittest

from harness import SOURCE, Site, crawl, temp_dir

CHROMIUM = "/usr/bin/chromium"
BUILD = pathlib.Path(os.environ.get("VANTREL_BUILD", SOURCE / "build"))
ARTIFACTS = BUILD / "artifacts"

IMAGE_SOURCE = re.compile(rb'<IMG [^>]*SRC="([^"]+)"')
FOLDER_LINK = re.compile(rb'<A HREF="(/[^"?]*/)">')
REQUEST_LINE = re.compile(r"^\[\d+\] Request: GET (\S+) HTTP/1\.[01]$", re.M)


class DemoListings(unittest.TestCase):
    def test_every_listing_names_only_icons_the_demo_has(self):
        with Site(demo=True) as site:
            icons = set()

            def visit(path, status, headers, body):
                with self.subTest(page=path):
                    self.assertEqual(status, "HTTP/1.0 200 Document follows")
                icons.update(IMAGE_SOURCE.findall(body))
                return [link.decode("latin-1") for link in FOLDER_LINK.findall(body)]

            seen = crawl(site, ["/"], visit)
            for folder in ("/about/", "/docs/", "/icons/", "/pictures/", "/topics/"):
                self.assertIn(folder, seen)
            # A folder, a text file, a style sheet, the new mark and the scene link at least.
            self.assertGreaterEqual(len(icons), 5, icons)
            for icon in sorted(icons):
                with self.subTest(icon=icon):
                    status, headers, body = site.get(icon.decode("latin-1"))
                    self.assertEqual(status, "HTTP/1.0 200 Document follows")
                    self.assertEqual(dict(headers).get("Content-type"), "image/gif")
                    self.assertTrue(body.startswith(b"GIF89a"), body[:16])

    def test_committed_pictures_are_what_the_drawing_script_makes(self):
        out = temp_dir(self, "vantrel-icons-")
        subprocess.run(["/usr/bin/python3", str(SOURCE / "scripts" / "make-icons"), str(out)], check=True,
                       timeout=120)
        for folder in ("icons", "pictures"):
            drawn = sorted(p.name for p in (out / folder).glob("*.gif"))
            committed = sorted(p.name for p in (SOURCE / "demo" / folder).glob("*.gif"))
            self.assertEqual(drawn, committed, folder)
            for name in drawn:
                with self.subTest(picture=folder + "/" + name):
                    self.assertEqual((out / folder / name).read_bytes(),
                                     (SOURCE / "demo" / folder / name).read_bytes())

    def test_about_answers_with_its_index_page_and_lists_on_request(self):
        with Site(demo=True) as site:
            _, headers, index = site.get("/about/")
            _, _, listing = site.get("/about/?index")
        self.assertEqual(index, (SOURCE / "demo" / "about" / "index.html").read_bytes())
        self.assertEqual(dict(headers)["Content-type"], "text/html")
        self.assertIn(b"<H2>Directory listing for: about</H2>", listing)
        self.assertIn(b'<A HREF="/about/index.html">index.html</A>', listing)


@unittest.skipUnless(os.access(CHROMIUM, os.X_OK), "needs Debian's chromium (scripts/install-deps)")
class DemoInBrowser(unittest.TestCase):
    def test_chromium_renders_the_root_listing_with_its_icons(self):
        ARTIFACTS.mkdir(parents=True, exist_ok=True)
        screenshot = ARTIFACTS / "demo-root-listing.png"
        if screenshot.exists():
            screenshot.unlink()
        profile = str(temp_dir(self, "vantrel-chromium-"))
        with Site(demo=True) as site:
            _, _, page = site.get("/")
            named = {src.decode("latin-1") for src in IMAGE_SOURCE.findall(page)}
            url = "http://127.0.0.1:%d/" % site.port
            browser = subprocess.run(
                [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run",
                 "--user-data-dir=" + profile, "--screenshot=" + str(screenshot), "--window-size=1024,768",
                 url],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=180)
            log = site.stdout()
        self.assertEqual(browser.returncode, 0, browser.stdout.decode("latin-1", "replace")[-2000:])
        self.assertIn("/icons/Folder.gif", named)
        self.assertIn("/icons/vrml.gif", named)
        fetched = set(REQUEST_LINE.findall(log))
        self.assertIn("/", fetched, log)
        self.assertEqual(named - fetched, set(), log)
        with open(screenshot, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        self.assertGreater(screenshot.stat().st_size, 2000)


if __name__ == "__main__":
    unittest.main()
