// ServerState.cpp - the process-wide record and its guarded accessors.
#include "server/ServerState.h"

#include <algorithm>
#include <cstdio>

#include "server/FolderNode.h"
#include "server/Listener.h"
#include "server/LogText.h"

ServerState g_state;

namespace {

bool IsPlausibleHostName(const std::string& name) {
    if (name.empty()) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return IsAsciiAlnum(c) || c == '-' || c == '.' || c == ':' || c == '[' || c == ']';
    });
}

}  // namespace

const CNode* FindIcon(std::string_view name) {
    const CFolderNode* icons = g_state.m_iconsFolder;
    return icons ? icons->FindChild(name) : nullptr;
}

std::string ServerState::GetHostName() const {
    std::scoped_lock guard(m_hostLock);
    return m_hostName;
}

void ServerState::SetHostName(std::string name) {
    if (!IsPlausibleHostName(name)) return;
    std::scoped_lock guard(m_hostLock);
    m_hostName = std::move(name);
}

void ServerState::SetHostNameIfEmpty(std::string name) {
    if (!IsPlausibleHostName(name)) return;
    std::scoped_lock guard(m_hostLock);
    if (m_hostName.empty()) m_hostName = std::move(name);
}

void ServerState::SetDelay(int milliseconds) {
    m_delay.store(std::clamp(milliseconds, 0, kMaxDelayMs), std::memory_order_relaxed);
}

void ServerState::AddType(std::string key, std::string type) {
    std::unique_lock guard(m_typeLock);
    if (m_typeTable.size() >= kTypeTableSize) return;
    m_typeTable.emplace_back(std::move(key), std::move(type));
}

std::string ServerState::LookupType(std::string_view kind) const {
    std::shared_lock guard(m_typeLock);
    for (const auto& [key, type] : m_typeTable) {
        if (key == kind) return type;
    }
    return {};
}

int ServerState::TypeCount() const {
    std::shared_lock guard(m_typeLock);
    return static_cast<int>(m_typeTable.size());
}

bool ServerState::AddToCartSlots(const CCatalogueItem* item, int quantity) {
    std::scoped_lock guard(m_cartLock);
    for (CCartSlot& slot : m_cart) {
        if (slot.m_item == nullptr) {
            slot = {item, quantity};
            return true;
        }
    }
    return false;
}

std::vector<CCartSlot> ServerState::CartSnapshot() const {
    std::scoped_lock guard(m_cartLock);
    return {std::begin(m_cart), std::end(m_cart)};
}

void ServerState::ResetForTests() {
    m_root.reset();
    m_topicsFolder = m_modelsFolder = m_iconsFolder = nullptr;
    m_httpPort = 80;
    m_smtpPort = 25;
    m_logRequests = 0;
    m_startError = 0;
    m_admins.Clear();
    {
        std::scoped_lock guard(m_hostLock);
        m_hostName.clear();
    }
    m_delay = 0;
    {
        std::unique_lock guard(m_typeLock);
        m_typeTable.clear();
    }
    std::scoped_lock guard(m_cartLock);
    for (CCartSlot& slot : m_cart)
        slot = {};
}

void LogLines(unsigned threadId, std::string_view first,
              std::initializer_list<std::string_view> continuation) {
    if (!g_state.m_logRequests.load(std::memory_order_relaxed)) return;
    std::string text = "[" + std::to_string(threadId) + "] ";
    text += EscapeLogText(first);
    text += '\n';
    for (std::string_view line : continuation) {
        text += EscapeLogText(line);
        text += '\n';
    }
    std::scoped_lock guard(g_state.m_logLock);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}
