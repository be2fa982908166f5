// PackageUnit.cpp - the package's unit, built by the same code as -install's.
#include "service/PackageUnit.h"

#include "platform/ServiceManager.h"
#include "service/InstallSite.h"
#include "service/ServiceHost.h"

std::string BuildPackageUnit(const std::string& siteSource) {
    CUnitSite site;
    site.m_folder = kPackageSiteFolder;
    site.m_user = kPackageUser;
    site.m_lowPorts = SiteWantsLowPorts(siteSource);
    return BuildUnitFile(kServiceName, kPackageProgram, site);
}
