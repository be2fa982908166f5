// package-unit.cpp - writes the unit the package ships: the one `vantrel -install` would write
// for /srv/vantrel owned by the vantrel user, with the ports of the site the package copies
// there. Run at build time, so the packaged unit never drifts from the installer's.
#include <fstream>
#include <iostream>

#include "platform/ServiceManager.h"
#include "service/PackageUnit.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: package-unit SITE-SOURCE OUTPUT\n";
        return 2;
    }
    const std::string unit = BuildPackageUnit(argv[1]);
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out << unit;
    out.close();
    if (unit.empty() || !out) {
        std::cerr << "package-unit: cannot write " << argv[2] << "\n";
        return 1;
    }
    return 0;
}
