// MimeTypes.cpp - reading mime.types. An extension listed twice keeps its first type, as the
// site's own type table does.
#include "server/MimeTypes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <shared_mutex>
#include <sstream>
#include <unordered_map>

#include "server/Options.h"

namespace {

std::shared_mutex g_typesLock;
std::unordered_map<std::string, std::string> g_types;  // guarded by g_typesLock

}  // namespace

bool LoadSystemTypes(const std::string& path) {
    std::unordered_map<std::string, std::string> types;
    std::ifstream in(path);
    bool readable = in.is_open();
    if (!readable) {
        std::fprintf(stderr, "Cannot read the type table %s: %s\n", path.c_str(),
                     std::strerror(errno));
    }
    std::string line;
    while (readable && std::getline(in, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string type, extension;
        if (!(words >> type) || type.find('/') == std::string::npos) continue;
        while (words >> extension)
            types.emplace(extension, type);
    }
    std::unique_lock guard(g_typesLock);
    g_types = std::move(types);
    return readable;
}

std::string LookupSystemType(std::string_view kind) {
    std::shared_lock guard(g_typesLock);
    auto found = g_types.find(std::string(kind));
    return found == g_types.end() ? std::string() : found->second;
}

void LoadSystemTypesIfAsked(const COptions& rootOptions) {
    if (rootOptions.m_mimeTypes.empty()) {
        std::unique_lock guard(g_typesLock);
        g_types.clear();
        return;
    }
    LoadSystemTypes(rootOptions.m_mimeTypes);
}
