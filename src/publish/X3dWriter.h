// X3dWriter.h - the writer of a folder's X3D world: the room or hall (X3dRoomWriter.cpp), the
// graph (X3dGraphWriter.cpp), the models they paste from X3D twins (X3dModels.cpp) and the
// document around them (X3dWorld.cpp).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

class CFileNode;
class CFolderNode;
class CNode;
class CSocketStream;
struct CPlace;
struct CRoomShape;

class CX3dWriter {
  public:
    explicit CX3dWriter(CSocketStream& out) : m_out(out) {}

    void Document(CFolderNode& folder, bool graph);

  private:
    // The server-relative URL: a browser viewer resolves it against the world's own address
    // and fetches from the origin that served the page (an absolute host name might not be it).
    static std::string Url(const CNode& node);
    static std::string Point(double x, double y, double z);

    // --- twins ---
    // The twin beside a found .wrl model: same folder, same name with ".x3d"; null if none.
    const CFileNode* TwinOf(const CNode* model) const;
    // The pasted text of a twin, read once per world.
    const std::string& TwinBody(const CFileNode& twin);
    // Pastes the twin of `model` with `textureUrl` in its texture marks (dropped when empty);
    // a comment when the twin is missing. Nothing when the model itself was not found.
    void PasteModel(const CNode* model, const std::string& textureUrl = std::string());
    void MissingTwin(const CNode& model);

    // --- room ---
    void Room(CFolderNode& folder);
    // Finds the room's models and writes the prototypes of those with a twin.
    void Prototypes(const CFolderNode& folder);
    // The children along the walls, the exit and the way up at the corners.
    void Walls(const CFolderNode& folder, const CRoomShape& shape);
    void Prototype(const char* name, const CNode* model, const std::string& textureUrl = {});
    void Use(const char* name);
    void OpenPlace(const CPlace& place);
    void ChildObject(const CFolderNode& folder, const CNode& child);
    void BulletinBoard();
    void ExitObject(const CFolderNode& folder);
    void ParentObject(const CFolderNode& folder);
    void Placeholder();

    // --- graph ---
    void Graph(CFolderNode& folder);
    void GraphRow(const CFolderNode& folder, std::int64_t total);
    void GraphBox(const CNode& node, float height);

    void OpenAnchor(const std::string& url, std::string_view description, bool page);

    CSocketStream& m_out;
    std::map<const CFileNode*, std::string> m_twins;
    // The prototypes written into the Switch (a found model whose twin exists).
    bool m_wall = false, m_door = false, m_parent = false, m_exit = false;
    bool m_board = false, m_note = false;
    const CNode* m_frameModel = nullptr;
    const CNode* m_doorModel = nullptr;
    double m_rowX = 0, m_rowZ = 0;  // the graph's running row position
};
