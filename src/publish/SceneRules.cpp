// SceneRules.cpp - the rules both world writers follow.
#include "publish/SceneRules.h"

#include "server/FolderNode.h"

namespace {

constexpr float kShareLimit = 0.01f;
constexpr float kPercent = 100.0f;
constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::int64_t kDaysPerColourPhase = 90;
constexpr int kRoomWalls = 4;
constexpr int kHallWalls = 2;
constexpr int kMostChildrenInHall = 10;

}  // namespace

float SharePercent(std::int64_t size, std::int64_t total) {
    if (total <= 0) return 0.0f;
    return static_cast<float>(static_cast<double>(size) * kPercent / static_cast<double>(total));
}

bool IsSmallShare(std::int64_t size, std::int64_t total) {
    if (total <= 0) return true;
    return static_cast<float>(static_cast<double>(size) / static_cast<double>(total)) < kShareLimit;
}

CAgeColour AgeColourOf(std::time_t modified) {
    const std::int64_t days =
        (static_cast<std::int64_t>(std::time(nullptr)) - static_cast<std::int64_t>(modified)) /
        kSecondsPerDay;
    CAgeColour colour;
    switch (days / kDaysPerColourPhase) {
        case 0:
            colour.m_red = 90 - days;
            colour.m_green = days;
            break;
        case 1:
            colour.m_green = 180 - days;
            colour.m_blue = days - 90;
            break;
        case 2:
            colour.m_blue = days - 180;
            break;
        default:
            break;
    }
    return colour;
}

CRoomShape RoomShapeOf(const CFolderNode& folder) {
    CRoomShape shape;
    shape.m_childCount = folder.m_childCount;
    shape.m_walls = kHallWalls;
    if (folder.FindChild("room.wrl")) shape.m_walls = kRoomWalls;
    if (!folder.FindChild("hall.wrl") && shape.m_childCount > kMostChildrenInHall) {
        shape.m_walls = kRoomWalls;
    }
    shape.m_isRoom = shape.m_walls == kRoomWalls;
    shape.m_perWall = (shape.m_childCount + shape.m_walls - 1) / shape.m_walls;
    return shape;
}

bool IsBulletinBoard(const CNode& child) {
    if (!child.Options().m_topics) return false;
    const CNode* first = child.FirstChild();
    return first && !first->HasChildren();
}

bool IsPictureKind(const std::string& kind) {
    return kind == "gif" || kind == "jpg" || kind == "jpeg";
}
