// GraphScene.cpp - placeholder until the VRML worlds land.
#include "Server/FolderNode.h"
#include "Server/SocketStream.h"

void CFileNode::WriteSceneObject(CSocketStream&, std::int64_t) {}
void CFileNode::WriteSceneModel(CSocketStream&, float) {}
void CFolderNode::WriteSceneObject(CSocketStream&, std::int64_t) {}
