#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace snagreel::testing {

// A new private directory under the system's temporary one, removed with everything
// in it when the test is done. Its path is empty when none could be made.
class TemporaryDirectory {
public:
    explicit TemporaryDirectory(const std::string& prefix = "snagreel-test");
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The names directly inside, sorted.
    std::vector<std::string> names() const;

private:
    std::filesystem::path path_;
};

} // namespace snagreel::testing
