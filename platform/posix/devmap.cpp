#include <platform/devmap.h>

#include <cctype>
#include <cstdlib>
#include <string_view>

namespace Platform {
namespace {

// "LPT1", "com3:", "\\.\COM12" -> "LPT1", "COM3", "COM12"; otherwise empty.
std::string DosDeviceName(std::string_view name) {
    if (name.substr(0, 4) == "\\\\.\\")
        name.remove_prefix(4);
    if (!name.empty() && name.back() == ':')
        name.remove_suffix(1);
    if (name.size() < 4)
        return {};
    std::string upper;
    for (char c : name)
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string_view prefix = std::string_view(upper).substr(0, 3);
    if (prefix != "LPT" && prefix != "COM")
        return {};
    std::string_view digits = std::string_view(upper).substr(3);
    if (digits.size() > 3 || digits[0] == '0')
        return {};
    for (char c : digits)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return {};
    return upper;
}

} // namespace

TDevicePath ResolveDevice(const char *name) {
    TDevicePath device;
    device.DosName = DosDeviceName(name);
    if (device.DosName.empty()) {
        device.Path = name;
        return device;
    }
    std::string variable = "DOSDEV_" + device.DosName;
    if (const char *mapped = std::getenv(variable.c_str())) {
        device.Path = mapped; // an empty value opens nothing: no silent fallback
        device.FromEnvironment = true;
        return device;
    }
    int unit = std::atoi(device.DosName.c_str() + 3) - 1;
    device.Path =
        (device.DosName.compare(0, 3, "LPT") == 0 ? "/dev/lp" : "/dev/ttyS") + std::to_string(unit);
    return device;
}

} // namespace Platform
