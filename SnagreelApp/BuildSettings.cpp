#include "SnagreelApp/BuildSettings.hpp"

#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <system_error>

namespace snagreel::app {

namespace {

bool isInside(const std::filesystem::path& path, const std::filesystem::path& folder) {
    auto [end, ignored] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
    (void)ignored;
    return !folder.empty() && end == folder.end();
}

} // namespace

std::filesystem::path defaultWorkspaceRoot() {
    const std::string configured = SNAGREEL_WORKSPACE_ROOT;
    if (!configured.empty()) {
        return configured;
    }
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    const auto buildTree = std::filesystem::weakly_canonical(SNAGREEL_BUILD_TREE, error);
    if (!error && isInside(executable, buildTree)) {
        return SNAGREEL_BUILD_ENGINES_DIR;
    }
    return SNAGREEL_INSTALLED_ENGINES_DIR;
}

std::string findOnPath(const std::string& name, const std::string& path) {
    std::stringstream directories(path);
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        if (directory.empty()) {
            continue;
        }
        const std::string candidate = directory + "/" + name;
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

std::string defaultNodePath() {
    const std::string configured = SNAGREEL_NODE_PATH;
    if (!configured.empty()) {
        return configured;
    }
    const char* path = std::getenv("PATH");
    const std::string found = findOnPath("node", path != nullptr ? path : "");
    return found.empty() ? "node" : found;
}

std::string serviceURL() {
    return SNAGREEL_SERVICE_URL;
}

} // namespace snagreel::app
