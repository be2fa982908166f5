"""Folder worlds for web browsers: the X3D world of a folder holds the same links as its VRML
world and reads cleanly, names from the disk cannot break the XML, a model without an X3D twin
is left out, the view page loads the viewer only from the root's setting, and the demo's twins
are what their script makes."""

import re
import shutil
import subprocess
import sys
import unittest
import xml.dom.minidom

from harness import SOURCE, Site, temp_dir
from test_vrml import check_world

VRML_ANCHOR = re.compile(rb'WWWAnchor \{\n\tname "http://[^/"]+([^"]*)"')
X3D_ANCHOR = re.compile(rb"<Anchor url='\"([^\"]*)\"'")


def vrml_targets(world):
    """The VRML world's anchors as the X3D world should write them."""
    return [t.replace(b"?SCENE", b"?X3D") for t in VRML_ANCHOR.findall(world)]


class DemoX3dWorlds(unittest.TestCase):
    @unittest.skipUnless(shutil.which("tovrmlx3d"), "tovrmlx3d is not installed")
    def test_demo_worlds_read_cleanly_and_link_like_their_vrml_twins(self):
        with Site(demo=True) as site:
            for path in ("/", "/icons/", "/docs/", "/topics/"):
                with self.subTest(path=path):
                    status, headers, body = site.get(path + "?x3d")
                    self.assertEqual(status, "HTTP/1.0 200 Document follows")
                    self.assertEqual(dict(headers).get("Content-type"), "model/x3d+xml")
                    self.assertEqual(check_world(site, body), "")
                    xml.dom.minidom.parseString(body)
                    self.assertEqual(X3D_ANCHOR.findall(body),
                                     vrml_targets(site.get(path + "?scene")[2]))
            graph = site.get("/?x3d&graph")[2]
            self.assertEqual(check_world(site, graph), "")
            self.assertIn(b"<Inline url='\"/models/grid.x3d\"'/>", graph)
            # Each wall, door and board of the demo comes from a twin, none is left out.
            room = site.get("/icons/?x3d")[2]
            self.assertNotIn(b"no X3D twin", room)
            self.assertIn(b"<Group USE='Wall'/>", room)
            self.assertIn(b"<ImageTexture url='\"/icons/up.gif\"'/>", room)
            topics = site.get("/topics/?x3d")[2]
            self.assertEqual(topics.count(b"<Group USE='BBNote'/>"), 8)

    def test_committed_twins_are_what_the_script_makes(self):
        out = temp_dir(self, "vantrel-twins-")
        subprocess.run([sys.executable, str(SOURCE / "scripts" / "make-x3d-twins"),
                        str(SOURCE / "demo" / "models"), str(out)], check=True, timeout=60)
        models = SOURCE / "demo" / "models"
        self.assertEqual(sorted(p.stem for p in models.glob("*.wrl")),
                         sorted(p.stem for p in out.glob("*.x3d")))
        for made in sorted(out.glob("*.x3d")):
            with self.subTest(twin=made.name):
                self.assertEqual((models / made.name).read_bytes(), made.read_bytes())


HOSTILE = "Q'\"<&]]>--x"


class HostileNames(unittest.TestCase):
    @unittest.skipUnless(shutil.which("tovrmlx3d"), "tovrmlx3d is not installed")
    def test_names_and_labels_come_out_escaped(self):
        files = {HOSTILE + "/a.txt": "x" * 300, HOSTILE + "/b\x01\xe9.txt": "y",
                 HOSTILE + "/vantrel.cfg": "title=T ]]> <b> 'q' \"r\"\n",
                 "plain.txt": "z"}
        with Site(files=files) as site:
            for path in ("/?x3d", "/?x3d&graph", "/Q'%22%3C&]]%3E--x/?x3d",
                         "/Q'%22%3C&]]%3E--x/?x3d&graph"):
                with self.subTest(path=path):
                    status, headers, body = site.get(path)
                    self.assertEqual(status, "HTTP/1.0 200 Document follows")
                    self.assertNotIn(b"]]>", body)
                    self.assertNotIn(b"<&", body)
                    self.assertNotIn(b"<b>", body)
                    dom = xml.dom.minidom.parseString(body)
                    self.assertEqual(check_world(site, body), "")
                    # The parser gives back the very names: escaped, not mangled.
                    texts = [a.getAttribute("description") for a in dom.getElementsByTagName("Anchor")]
                    texts.append(dom.getElementsByTagName("WorldInfo")[0].getAttribute("title"))
                    self.assertTrue(any(t in ("T ]]> <b> 'q' \"r\"", "Graph of " + HOSTILE)
                                        for t in texts), texts)
            # The view page carries the same names as HTML text.
            page = site.get("/Q'%22%3C&]]%3E--x/?view")[2]
            self.assertIn(b"<TITLE>3D: T ]]&gt; &lt;b&gt; &apos;q&apos; &quot;r&quot;</TITLE>", page)


class MissingTwinsAndViewer(unittest.TestCase):
    FILES = {"models/vantrel.cfg": "models\n", "models/Folder.wrl": "#VRML V1.0 ascii\nCube {}\n",
             "models/wall.wrl": "#VRML V1.0 ascii\nCube {}\n",
             "models/wall.x3d": "<X3D><Scene><Shape><Box/></Shape></Scene></X3D>\n",
             "Sub/a.txt": "a", "Sub/Deeper/b.txt": "b"}

    def test_missing_twin_is_left_out_with_a_comment(self):
        with Site(files=self.FILES) as site:
            body = site.get("/Sub/?x3d")[2]
            xml.dom.minidom.parseString(body)
            # The door model exists only as VRML: the door is chosen but not drawn.
            self.assertIn(b"<!-- Folder.wrl has no X3D twin beside it: left out -->", body)
            self.assertNotIn(b"USE='Door'", body)
            self.assertIn(b"<Anchor url='\"/Sub/Deeper/?X3D\"' description='Deeper'>", body)
            # The wall's twin is a whole document: only its Scene is pasted.
            self.assertIn(b"<Group DEF='Wall'>\r\n<Shape><Box/></Shape>\r\n</Group>", body)

    def test_view_page_and_links(self):
        with Site(files=self.FILES, cfg="viewer=/viewer") as site:
            page = site.get("/Sub/?view")[2]
            self.assertIn(b'<script src="/viewer/x_ite.min.js"></script>', page)
            self.assertIn(b'<x3d-canvas src="/Sub/?X3D"></x3d-canvas>', page)
            self.assertIn(b'<a href="/Sub/">HTML listing</a> | <a href="/Sub/?SCENE">VRML world</a>'
                          b' | <a href="/?VIEW">parent folder</a>', page)
            # A query cannot point the page at a viewer elsewhere.
            other = site.get("/Sub/?view&viewer=http://evil.example/")[2]
            self.assertNotIn(b"evil", other)
            # Without webview the listing keeps its bytes; with it, the [3D] link is there.
            self.assertNotIn(b"[3D]", site.get("/Sub/")[2])
            self.assertIn(b'<TD ALIGN=RIGHT><A HREF="/Sub/?VIEW">[3D]</A></TD></TR>',
                          site.get("/Sub/?webview")[2])
        with Site(files=self.FILES) as site:
            page = site.get("/Sub/?view")[2]
            self.assertNotIn(b"<script src", page)
            self.assertIn(b"No 3D viewer is set up on this server", page)


if __name__ == "__main__":
    unittest.main()
