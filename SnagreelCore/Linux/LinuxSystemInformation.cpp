#include "SnagreelCore/Linux/LinuxSystemInformation.hpp"

#include "SnagreelCore/Linux/LinuxSysfs.hpp"

#include <sys/utsname.h>
#include <unistd.h>

namespace snagreel {

std::string linuxProcessArchitecture(std::string_view machine) {
    if (machine == "aarch64" || machine == "arm64") {
        return "arm64";
    }
    return std::string(machine);
}

std::string linuxOsVersion(std::string_view release) {
    std::string version;
    std::size_t position = 0;
    for (int part = 0; part < 3; ++part) {
        std::size_t end = position;
        while (end < release.size() && release[end] >= '0' && release[end] <= '9') {
            ++end;
        }
        // Leading zeros and absurd lengths are not worth preserving.
        std::string_view digits = release.substr(position, end - position);
        while (digits.size() > 1 && digits.front() == '0') {
            digits.remove_prefix(1);
        }
        if (digits.empty() || digits.size() > 9) {
            digits = "0";
        }
        if (part > 0) {
            version += '.';
        }
        version += digits;
        // Only a dot directly after the digits continues the triple.
        if (end < release.size() && release[end] == '.' && end > position) {
            position = end + 1;
        } else {
            position = release.size();
        }
    }
    return version;
}

SystemInformation readLinuxSystemInformation(const std::filesystem::path& sysClassDmiId) {
    SystemInformation information;
    information.hardwareClass = "Linux";
    utsname names{};
    if (::uname(&names) == 0) {
        information.osVersion = linuxOsVersion(names.release);
        information.osBuild = std::string(names.release);
        information.processArchitecture = linuxProcessArchitecture(names.machine);
    } else {
        information.osVersion = "0.0.0";
    }
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0) {
        information.physicalMemoryBytes =
            static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
    }
    if (auto model = readSysfsText(sysClassDmiId / "product_name"); model && !model->empty()) {
        information.hardwareModel = std::move(model);
    }
    return information;
}

} // namespace snagreel
