// UnitFile.h - the systemd unit that runs the server for one published folder.
#pragma once

#include <string>

// What a unit needs to know about the folder it publishes.
struct CUnitSite {
    std::string m_folder;     // absolute; the service's working directory
    std::string m_user;       // the folder's owner, who runs the server
    bool m_lowPorts = false;  // a port below 1024 is configured
};

// "vantrel.service" for "Vantrel".
std::string UnitName(const std::string& serviceName);
// The unit file text: a notify service running `programPath` with no arguments in the site's
// folder as its owner, restarted on failure, wanted at boot once enabled, and shut in: the
// whole system read-only but the folder (spools are written there), its own /tmp, no new
// privileges, only the capability to bind a low port when one is configured. Empty when a
// path cannot be written into a unit safely (not absolute, or holding control characters,
// quotes or backslashes) or no user is given.
std::string BuildUnitFile(const std::string& serviceName, const std::string& programPath,
                          const CUnitSite& site);
