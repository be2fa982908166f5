// UnitFile.cpp - the text of the unit file -install writes and the package carries.
#include "platform/UnitFile.h"

namespace {

// A path in ExecStart: quoted, with the characters the unit syntax treats specially escaped
// ("%" specifiers, "$" variables, "\" and '"' inside the quotes), so a folder with spaces or
// such characters still runs exactly this program.
std::string QuoteExecPath(const std::string& path) {
    std::string quoted = "\"";
    for (char c : path) {
        switch (c) {
            case '%':
                quoted += "%%";
                break;
            case '$':
                quoted += "$$";
                break;
            case '\\':
                quoted += "\\\\";
                break;
            case '"':
                quoted += "\\\"";
                break;
            default:
                quoted += c;
        }
    }
    quoted += '"';
    return quoted;
}

}  // namespace

std::string UnitName(const std::string& serviceName) {
    std::string name;
    for (char c : serviceName)
        name += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    return name + ".service";
}

namespace {

bool SafeUnitPath(const std::string& path, bool quotesAllowed) {
    if (path.empty() || path[0] != '/') return false;
    for (unsigned char c : path) {
        if (c < 0x20 || c == 0x7f) return false;  // a line end would start a new unit line
        if (!quotesAllowed && (c == '"' || c == '\\' || c == '\'')) return false;
    }
    return true;
}

// A folder in a setting where "%" starts a specifier and the value is taken as it stands.
std::string EscapeSpecifiers(const std::string& path) {
    std::string escaped;
    for (char c : path) {
        if (c == '%') escaped += '%';
        escaped += c;
    }
    return escaped;
}

bool Within(const std::string& path, const std::string& top) {
    return path == top || path.rfind(top + "/", 0) == 0;
}

}  // namespace

std::string BuildUnitFile(const std::string& serviceName, const std::string& programPath,
                          const CUnitSite& site) {
    if (!SafeUnitPath(programPath, true) || !SafeUnitPath(site.m_folder, false)) return {};
    if (site.m_user.empty()) return {};
    for (unsigned char c : site.m_user) {
        if (c <= 0x20 || c == 0x7f || c == '"' || c == '\\' || c == '%') return {};
    }
    const std::string folder = EscapeSpecifiers(site.m_folder);
    std::string unit = "[Unit]\nDescription=" + serviceName +
                       "\nAfter=network.target\n\n[Service]\nType=notify\nExecStart=" +
                       QuoteExecPath(programPath) + "\nWorkingDirectory=" + folder +
                       "\nExecReload=/bin/kill -HUP $MAINPID\nUser=" + site.m_user +
                       "\nRestart=on-failure\n";
    const bool root = site.m_user == "root";
    if (site.m_lowPorts && !root) unit += "AmbientCapabilities=CAP_NET_BIND_SERVICE\n";
    // Root keeps its full set: it may need it to write a folder other users own files in.
    if (!root) {
        unit += site.m_lowPorts ? "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
                                : "CapabilityBoundingSet=\n";
    }
    unit += "NoNewPrivileges=yes\nProtectSystem=strict\nReadWritePaths=\"" + folder + "\"\n";
    // A folder under /tmp would vanish behind a private /tmp, one under a home behind
    // ProtectHome: those folders go without the setting.
    if (!Within(site.m_folder, "/tmp") && !Within(site.m_folder, "/var/tmp")) {
        unit += "PrivateTmp=yes\n";
    }
    if (!Within(site.m_folder, "/home") && !Within(site.m_folder, "/root") &&
        !Within(site.m_folder, "/run/user")) {
        unit += "ProtectHome=yes\n";
    }
    unit +=
        "ProtectKernelTunables=yes\nProtectKernelModules=yes\nProtectControlGroups=yes\n"
        "RestrictSUIDSGID=yes\nLockPersonality=yes\n"
        "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"
        "\n[Install]\nWantedBy=multi-user.target\n";
    return unit;
}
