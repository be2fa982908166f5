// PackageUnit.h - the service unit of the Debian package: the site in /srv/vantrel, run by the
// vantrel system user, the program in /usr/sbin.
#pragma once

#include <string>

inline constexpr char kPackageProgram[] = "/usr/sbin/vantrel";
inline constexpr char kPackageSiteFolder[] = "/srv/vantrel";
inline constexpr char kPackageUser[] = "vantrel";

// The unit `-install` writes for the package's folder and user, the low-port capability decided
// by the vantrel.cfg in `siteSource` (the default site the package copies to the folder).
std::string BuildPackageUnit(const std::string& siteSource);
