// InstallSite.cpp - the folder, its owner and its ports, as the unit file needs them.
#include "service/InstallSite.h"

#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>

#include "server/Options.h"
#include "text/AsciiText.h"

namespace {

constexpr int kFirstUnprivilegedPort = 1024;

// The root vantrel.cfg read as the server reads it: lines that start with a letter, one CR
// before the line end dropped.
COptions RootOptions(const std::string& folder) {
    COptions options;
    std::ifstream config(folder + "/vantrel.cfg");
    std::string line;
    while (std::getline(config, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const unsigned char first = line.empty() ? 0 : static_cast<unsigned char>(line[0]);
        if (IsAsciiLetter(static_cast<char>(first))) {
            options.ParseOptions(line);
        }
    }
    return options;
}

}  // namespace

bool SiteWantsLowPorts(const std::string& folder) {
    const COptions options = RootOptions(folder);
    return options.m_port < kFirstUnprivilegedPort || options.m_smtpPort < kFirstUnprivilegedPort;
}

bool DescribeInstallSite(const std::string& folder, CUnitSite& site, std::string& error) {
    std::unique_ptr<char, decltype(&::free)> real(::realpath(folder.c_str(), nullptr), ::free);
    struct stat info;
    if (!real || ::stat(real.get(), &info) != 0) {
        error = "cannot publish " + folder + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        error = "cannot publish " + folder + ": not a folder";
        return false;
    }
    site.m_folder = real.get();
    // The owner runs the server; a numeric user works in a unit when there is no name.
    const passwd* owner = ::getpwuid(info.st_uid);
    site.m_user = owner ? owner->pw_name : std::to_string(info.st_uid);
    site.m_lowPorts = SiteWantsLowPorts(site.m_folder);
    return true;
}
