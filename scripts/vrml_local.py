"""vrml_local - helpers shared by check-world and render-world: fetch a world, and rewrite the
absolute http URLs the server writes into it (textures, inlines, anchors) to the files of the
published site, since the VRML tools do not fetch from the network."""
import os
import re
import tempfile
import urllib.parse
import urllib.request

URL = re.compile(rb'"http://[^/"\s]+(/[^"?\s]*)?(\?[^"]*)?"')


def read_world(source):
    """The bytes of a world given as a file name or an http URL."""
    if source.startswith("http://"):
        with urllib.request.urlopen(source, timeout=30) as reply:
            return reply.read()
    with open(source, "rb") as f:
        return f.read()


def localize(world, site):
    """Every quoted http URL whose path names an existing file below `site` becomes that
    file's absolute path; other URLs (folders, queries, anchors) stay as they are."""
    site = os.path.realpath(site)

    def local(match):
        path = urllib.parse.unquote_to_bytes(match.group(1) or b"/")
        candidate = os.path.realpath(os.path.join(site.encode(), path.lstrip(b"/")))
        inside = candidate.startswith(site.encode() + b"/")
        if match.group(2) is None and inside and os.path.isfile(candidate):
            quoted = candidate.replace(b"\\", b"\\\\").replace(b'"', b'\\"')
            return b'"' + quoted + b'"'
        return match.group(0)

    return URL.sub(local, world)


INLINE_X3D = re.compile(rb"""(<Inline url=')"(/[^"?']*)"'""")


def localize_x3d(world, site):
    """An X3D world's Inline URLs (server-relative, as the server writes them) that name a file
    below `site` become that file's path."""
    site = os.path.realpath(site)

    def local(match):
        path = urllib.parse.unquote_to_bytes(match.group(2))
        candidate = os.path.realpath(os.path.join(site.encode(), path.lstrip(b"/")))
        if candidate.startswith(site.encode() + b"/") and os.path.isfile(candidate):
            return match.group(1) + b'"' + candidate + b'"\''
        return match.group(0)

    return INLINE_X3D.sub(local, world)


def write_temp(world, suffix=".wrl"):
    handle, name = tempfile.mkstemp(suffix=suffix)
    with os.fdopen(handle, "wb") as f:
        f.write(world)
    return name
