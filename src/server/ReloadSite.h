// ReloadSite.h - SIGHUP: scan the tree again and swap the new one in whole. Requests in
// progress finish on the tree they started with; mail waits while the swap happens, then goes
// to the new tree's mailboxes, which read their spools as at start-up; the cart and the other
// process-wide values stay.
#pragma once

#include <string>

// What changed, by path: added, removed, and (files by size or time, mailboxes by message
// count) changed.
struct CReloadCounts {
    int m_foldersAdded = 0, m_foldersRemoved = 0;
    int m_filesAdded = 0, m_filesRemoved = 0, m_filesChanged = 0;
    int m_mailboxesAdded = 0, m_mailboxesRemoved = 0, m_mailboxesChanged = 0;
};

// The console line for the counts, ending in "\n".
std::string ReloadLine(const CReloadCounts& counts);

// Rescans the published root's directory and publishes the result; false (nothing changed)
// when no tree is being served.
bool ReloadSite(CReloadCounts& counts);
