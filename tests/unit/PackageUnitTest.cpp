// The unit the Debian package ships is the one -install writes for the package's folder and user.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/ServiceManager.h"

namespace {

TEST(PackageUnitTest, ShippedUnitIsTheInstallersForSrvVantrel) {
    std::ifstream in(VANTREL_BINARY_DIR "/packaging/vantrel.service", std::ios::binary);
    ASSERT_TRUE(in) << "the build did not write packaging/vantrel.service";
    std::ostringstream shipped;
    shipped << in.rdbuf();
    // The default site serves port 80, so the vantrel user needs the capability to bind it.
    const CUnitSite site{"/srv/vantrel", "vantrel", true};
    EXPECT_EQ(shipped.str(), BuildUnitFile("Vantrel", "/usr/sbin/vantrel", site));
}

}  // namespace
