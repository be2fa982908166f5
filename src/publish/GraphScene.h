// GraphScene.h - the graph world: the folder's whole subtree as boxes sized by their bytes.
#pragma once

class CFolderNode;
class CSocketStream;

// The graph's info lines, camera, light, grid and rows, written inside the world's frame.
void WriteGraphWorld(CSocketStream& out, CFolderNode& folder);
