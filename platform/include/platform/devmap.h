// The platform's device map: which file a DOS device name opens.
#pragma once

#include <string>

namespace Platform {

// LPTn and COMn (n >= 1, any case, an optional "\\.\" prefix and one trailing
// ':') are DOS devices: LPTn is /dev/lp<n-1>, COMn is /dev/ttyS<n-1>, unless
// the environment variable DOSDEV_<NAME> (NAME upper case, e.g. DOSDEV_LPT1)
// names another path. Any other name is a path and is returned unchanged.
struct TDevicePath {
    std::string Path;
    std::string DosName; // "LPT1", or empty when the name is a plain path
    bool FromEnvironment = false;
};

TDevicePath ResolveDevice(const char *name);

} // namespace Platform
