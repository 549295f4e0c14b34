#include "HostedTestSupport.hpp"

#include "SnagreelApp/Hosted/HostedVideoPreparation.hpp"
#include "SnagreelCore/Support/Uuid.hpp"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace snagreel::testing {

bool makeClip(const std::filesystem::path& path, const std::string& source, double seconds,
              const std::string& outputOptions) {
    const std::string command = "ffmpeg -nostdin -loglevel error -y -f lavfi -i '" + source +
                                "' -t " + std::to_string(seconds) + " " + outputOptions + " '" +
                                path.string() + "'";
    return std::system(command.c_str()) == 0;
}

std::string makeCaptureDirectory(const std::filesystem::path& directory, double seconds) {
    std::filesystem::create_directories(directory);
    const std::string id = uuidString(randomUuid());
    if (!makeClip(directory / "clip.mp4", "testsrc2=size=320x240:rate=15", seconds)) {
        return {};
    }
    std::ofstream(directory / "manifest.json")
        << R"({"v":1,"captureId":")" << id << R"(","lookbackSeconds":30,"gaps":[]})";
    return id;
}

std::string fileSha256(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    const std::string data = bytes.str();
    return app::HostedVideoPreparation::sha256Hex(data.data(), data.size());
}

} // namespace snagreel::testing
