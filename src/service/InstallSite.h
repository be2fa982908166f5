// InstallSite.h - what -install learns about the folder a service is to publish: its absolute
// path, its owner (who runs the server) and whether its vantrel.cfg asks for a low port.
#pragma once

#include <string>

#include "platform/ServiceManager.h"

// Fills `site` for `folder` (relative to the current directory). False with a line saying why
// when the folder cannot be published.
bool DescribeInstallSite(const std::string& folder, CUnitSite& site, std::string& error);
// The root vantrel.cfg of `folder` asks for a port below 1024 (port and smtpport default to 80
// and 25).
bool SiteWantsLowPorts(const std::string& folder);
