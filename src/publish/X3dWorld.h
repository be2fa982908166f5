// X3dWorld.h - a folder's world for web browsers: the same room, hall or graph as the VRML
// world, written in X3D's XML encoding, and the HTML page that shows it in a browser viewer.
#pragma once

class CFolderNode;
class CSocketStream;

// The whole reply: header ("model/x3d+xml") and the X3D document of the folder's room or hall,
// or its graph when the request selects the graph.
void ReplyX3dWorld(CSocketStream& out, CFolderNode& folder);

// The whole reply: an HTML page showing the folder's X3D world full-window in the viewer that
// the root folder's `viewer=` names, with text links to the listing, the VRML world and the
// parent folder's page.
void ReplyViewPage(CSocketStream& out, CFolderNode& folder);
