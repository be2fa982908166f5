// RoomScene.cpp - placeholder until the VRML worlds land.
#include "Server/FolderNode.h"
#include "Server/SocketStream.h"

void CFolderNode::ReplyScene(CSocketStream&) {}
void CFolderNode::ReplyRoom(CSocketStream&) {}
