// SceneRules.h - the rules both world writers (VRML and X3D) follow, so that the two worlds of
// a folder hold the same objects in the same places.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

class CFolderNode;
class CNode;

// --- graph ---

// The size as a percentage of the total. A total of 0 (a tree of empty files at the scan,
// even if a file has grown since) gives every file a share of 0 instead of dividing by 0.
float SharePercent(std::int64_t size, std::int64_t total);

// A file below a hundredth of the total: lumped into its folder's box instead of a box of its
// own.
bool IsSmallShare(std::int64_t size, std::int64_t total);

// A file's age as a colour, each part in 90ths: new files are red, turning green at 90 days and
// blue at 180; from 270 days they are black. A time in the future gives red above 90 and a
// negative green.
struct CAgeColour {
    std::int64_t m_red = 0, m_green = 0, m_blue = 0;
};

CAgeColour AgeColourOf(std::time_t modified);

// --- room ---

// How a folder's children are laid out: a room of four walls or a hall of two.
struct CRoomShape {
    // One count for the whole world: a mailbox may gain messages while it is written, and the
    // slots are laid out for the children there were at the start.
    int m_childCount = 0;
    int m_walls = 0;
    bool m_isRoom = false;
    int m_perWall = 0;
};

CRoomShape RoomShapeOf(const CFolderNode& folder);

// A mailbox whose children are messages: drawn as a cork board.
bool IsBulletinBoard(const CNode& child);

// A file kind hung on the wall as a framed picture of itself.
bool IsPictureKind(const std::string& kind);
