#pragma once

#include <filesystem>
#include <string>

namespace snagreel::app {

// Settings baked into the build (CMake cache variables of the same names).

// SnagreelWorkspaceRoot, or when it was left empty: the build tree's engines folder
// for an executable that runs from the build tree, else the installed one. Never the
// current directory, where a stray scripts/local_report.py could be run.
std::filesystem::path defaultWorkspaceRoot();

// SnagreelNodePath, or when it was left empty: `node` searched on PATH now (the bare
// name when it is nowhere, so that starting the cloud engine says it is missing).
std::string defaultNodePath();

// SnagreelServiceURL: the hosted report service, empty for none.
std::string serviceURL();

// The first executable `name` in the directories of `path` (colon-separated).
std::string findOnPath(const std::string& name, const std::string& path);

} // namespace snagreel::app
