"""Folder worlds over HTTP: which request gets which world, whole worlds byte for byte with
absolute URLs, a bulletin board built from a real mailbox, and the demo's worlds read by a
VRML 1.0 reader without a single error or warning."""

import os
import shutil
import subprocess
import sys
import unittest

from harness import SOURCE, Site

CHECK_WORLD = [sys.executable, str(SOURCE / "scripts" / "check-world")]

SPOOL = (b"From alice@example.com Mon Dec  7 10:00:00 2026\n"
         b"From: alice@example.com\nSubject: First\nDate: Mon, 7 Dec 2026 10:00:00 +0000\n"
         b"Message-ID: <1@example.com>\n\nHello.\n\n"
         b"From bob@example.com Mon Dec  7 11:00:00 2026\n"
         b"From: bob@example.com\nSubject: Re: First\nDate: Mon, 7 Dec 2026 11:00:00 +0000\n"
         b"Message-ID: <2@example.com>\nIn-Reply-To: <1@example.com>\n\nHi.\n\n")


def lines(*texts):
    return b"".join(t.encode("latin-1") + b"\r\n" for t in texts)


def prototypes(door=""):
    """The Switch of prototypes; only the door model exists in these sites."""
    return (lines("Switch { ", "\tDEF Wall Separator { ", "\t}", "\tDEF Frame Separator { ", "\t}",
                  "\tDEF Door Separator { ") + door.encode()
            + lines("\t}", "\tDEF Parent Separator { ", "\t}", "\tDEF Exit Separator { ", "\t}",
                    "\tDEF BBoard Separator { ", "\t}", "\tDEF BBNote Separator { ", "\t}", "}"))


def room_head(title):
    return lines("#VRML V1.0 ascii", "", "Separator {", 'DEF Title Info { string "%s"}' % title,
                 'DEF SceneInfo Info { string "%s -- Created by Korvane Networks Vantrel "}' % title,
                 'DEF Viewer Info { string "Walk" }', 'DEF ViewerSpeed Info { string "2" }', "")


HALL_START = "Transform { translation -2 0 3 rotation 0 1 0 1.5708 }"
CORNER = "Transform { translation 2 0 2 rotation 0 1 0 -1.570796327 }"
CUBE = "\tCube { width 1 height 1 depth .5 }"


def content_type(headers):
    return dict(headers).get("Content-type")


class DispatchTest(unittest.TestCase):
    """The keywords that pick a world, and what is not a world."""

    FILES = {"Docs/a.txt": "alpha\n", "Docs/b.wrl": "#VRML V1.0 ascii\nCube {}\n",
             "Cfg/vantrel.cfg": "graph\n", "Cfg/c.txt": "c\n",
             "Plain/vantrel.cfg": "scene\n", "Plain/d.txt": "d\n"}

    def test_keywords_choose_the_world(self):
        with Site(files=self.FILES, cfg="hostname=localhost") as site:
            graph_of = lambda name: lines("#VRML V1.0 ascii", "", "Separator {",
                                          'DEF Title Info { string "Graph of %s"}' % name)
            room_of = lambda name: lines("#VRML V1.0 ascii", "", "Separator {",
                                         'DEF Title Info { string "%s"}' % name)
            cases = [
                ("/Docs/?graph", graph_of("Docs")),
                ("/Docs/?scene", room_of("Docs")),
                ("/Docs/?SCENE", room_of("Docs")),
                ("/Cfg/?scene", graph_of("Cfg")),    # the folder's own `graph` stays set
                ("/Cfg/", graph_of("Cfg")),
                ("/Plain/", room_of("Plain")),       # the folder's own `scene`
            ]
            for path, start in cases:
                with self.subTest(path=path):
                    status, headers, body = site.get(path)
                    self.assertEqual(status, "HTTP/1.0 200 Document follows")
                    self.assertEqual(content_type(headers), "x-world/x-vrml")
                    self.assertTrue(body.startswith(start), body[:200])
                    self.assertTrue(body.endswith(b"\r\n}\r\n"), body[-50:])

            for path in ("/Docs/?page", "/Plain/?page", "/Docs/?scene,page"):
                with self.subTest(path=path):
                    status, headers, body = site.get(path)
                    self.assertEqual(status, "HTTP/1.0 200 Document follows")
                    self.assertNotIn(b"#VRML", body)
                    self.assertIn(b"a.txt" if "Docs" in path else b"d.txt", body)

            for path, data in (("/Docs/a.txt?scene", b"alpha\n"),
                               ("/Docs/b.wrl?graph", b"#VRML V1.0 ascii\nCube {}\n")):
                with self.subTest(path=path):
                    status, headers, body = site.get(path)
                    self.assertEqual(status, "HTTP/1.0 200 Document follows")
                    self.assertEqual(body, data)

            status, headers, body = site.get("/Docs/?scene", method="HEAD")
            self.assertEqual(status, "HTTP/1.0 200 Document follows")
            self.assertEqual(content_type(headers), "x-world/x-vrml")
            self.assertEqual(body, b"")


class WorldTest(unittest.TestCase):
    def test_bulletin_board_and_topics_door(self):
        files = {"Forum/vantrel.cfg": "topics\n", "Forum/box/mailbox": SPOOL,
                 "models/vantrel.cfg": "models\n", "models/Folder.wrl": "# door\n",
                 "models/cork.gif": "GIF89a"}
        with Site(files=files, cfg="hostname=localhost") as site:
            url = "http://localhost:%d" % site.port
            notes = b"".join(lines("\tSeparator { ", place, "\tUSE BBNote", "\t}") for place in (
                "\tTransform { translation .2 .03 0 }", "\tTransform { translation .28 -.2 0 }",
                "\tTransform { translation -.2 -.3 0 }", "\tTransform { translation -.35 .3 0 }"))
            board = (lines('WWWAnchor {\n\tname "%s/Forum/box/?SCENE" description "box"' % url,
                           "\tSeparator {", "\tTransform { translation 0 0 0.05 }",
                           "\tMaterial {  diffuseColor 0.4 0.3 0 ambientColor 0.4 0.3 0 }",
                           "\tCube { width 1.1 height 1.1 depth .1 }", "\t}", "\tSeparator {",
                           '\tTexture2 { filename  "%s/models/cork.gif" }' % url, "\tUSE BBoard",
                           "\t}", "\tTransform { translation 0 0 0.11}")
                     + notes + lines("}"))
            expected = (room_head("Forum") + prototypes("# door\n") + lines(HALL_START) + board
                        + lines(CORNER, 'WWWAnchor {\n\tname "%s/Forum/?PAGE" description "Exit to Text"'
                                % url, CUBE, "}", CORNER, CORNER,
                                'WWWAnchor {\n\tname "%s/?SCENE" description ""' % url, CUBE, "}", "}"))
            status, headers, body = site.get("/Forum/?scene")
            self.assertEqual(status, "HTTP/1.0 200 Document follows")
            self.assertEqual(body, expected)

            status, headers, body = site.get("/?scene")
            door = lines('WWWAnchor {\n\tname "%s/Forum/?SCENE" description "Forum"' % url,
                         "\tUSE Door", "}")
            self.assertIn(door, body)

    @unittest.skipUnless(shutil.which("tovrmlx3d"), "tovrmlx3d is not installed")
    def test_quoted_names_keep_the_world_readable(self):
        files = {'My "Docs"/a\\b.txt': "x" * 300, 'My "Docs"/vantrel.cfg': 'title=Say "hi"\n'}
        with Site(files=files, cfg="hostname=localhost") as site:
            for query in ("scene", "graph"):
                with self.subTest(query=query):
                    status, headers, body = site.get("/My%20%22Docs%22/?" + query)
                    self.assertEqual(status, "HTTP/1.0 200 Document follows")
                    self.assertIn(b'\\"', body)
                    self.assertEqual(check_world(site, body), "")


def check_world(site, body):
    """What check-world reports for a world fetched from the site (empty when clean)."""
    path = site.root.parent / "world.wrl"
    path.write_bytes(body)
    run = subprocess.run(CHECK_WORLD + ["--site", str(site.root), str(path)],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
    report = run.stdout.decode(errors="replace")
    return report if run.returncode != 0 or report else ""


@unittest.skipUnless(shutil.which("tovrmlx3d"), "tovrmlx3d is not installed")
class DemoWorldsTest(unittest.TestCase):
    """The demo's hall (its root), a room (a folder of more than ten files) and the graph, as the
    running server writes them, read by a VRML 1.0 reader: no error or warning line at all."""

    def test_demo_worlds_read_cleanly(self):
        with Site(demo=True) as site:
            for path in ("/?scene", "/icons/?scene", "/?graph", "/docs/?scene", "/topics/?scene"):
                with self.subTest(path=path):
                    status, headers, body = site.get(path)
                    self.assertEqual(status, "HTTP/1.0 200 Document follows")
                    self.assertTrue(body.startswith(b"#VRML V1.0 ascii\r\n\r\n"))
                    self.assertEqual(check_world(site, body), "")
            # The room really is a room and the hall a hall, with the demo's models in them.
            self.assertIn(b"Transform { translation -2 0 3 rotation 0 1 0 1.5708 }",
                          site.get("/?scene")[2])
            room = site.get("/icons/?scene")[2]
            self.assertNotIn(b"rotation 0 1 0 1.5708 }", room)
            self.assertIn(b"USE Wall", room)
            self.assertIn(b"USE Frame", room)
            # The demo's mailboxes hold messages: each is a bulletin board in the topics world.
            topics = site.get("/topics/?scene")[2]
            self.assertEqual(topics.count(b"\tUSE BBoard\r\n"), 2)
            self.assertEqual(topics.count(b"\tUSE BBNote\r\n"), 8)

    def test_checker_fails_on_a_broken_world(self):
        # The reader exits 0 after a parse error; the check must not.
        with Site() as site:
            broken = b'#VRML V1.0 ascii\r\n\r\nSeparator {\r\nAsciiText { string "a "b" }\r\n}\r\n'
            self.assertNotEqual(check_world(site, broken), "")


if __name__ == "__main__":
    unittest.main()
