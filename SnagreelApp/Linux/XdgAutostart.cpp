#include "SnagreelApp/Linux/XdgAutostart.hpp"

#include "SnagreelCore/Linux/PrivateFiles.hpp"

#include <QCoreApplication>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>
#include <unistd.h>

namespace snagreel::app {

namespace fs = std::filesystem;

namespace {

struct DesktopEntry {
    bool hidden = false;
    std::optional<std::string> exec;
};

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The general escapes of a desktop entry string value.
std::string unescapeValue(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char next = value[++i];
            switch (next) {
            case 's':
                out += ' ';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            default:
                out += next;
                break;
            }
        } else {
            out += value[i];
        }
    }
    return out;
}

// The program of an Exec line: its first argument, quotes and escapes removed.
std::string firstArgument(const std::string& exec) {
    std::string argument;
    std::size_t i = exec.find_first_not_of(' ');
    if (i == std::string::npos) {
        return {};
    }
    if (exec[i] == '"') {
        for (++i; i < exec.size() && exec[i] != '"'; ++i) {
            if (exec[i] == '\\' && i + 1 < exec.size()) {
                ++i;
            }
            argument += exec[i];
        }
        return argument;
    }
    for (; i < exec.size() && exec[i] != ' '; ++i) {
        argument += exec[i];
    }
    return argument;
}

std::optional<DesktopEntry> readEntry(const fs::path& path) {
    std::ifstream file(path);
    if (!file) {
        return std::nullopt;
    }
    DesktopEntry entry;
    bool inMainGroup = false;
    std::string line;
    while (std::getline(file, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        const auto equals = line.find('=');
        if (!inMainGroup || equals == std::string::npos) {
            continue;
        }
        const std::string key = trim(line.substr(0, equals));
        const std::string value = unescapeValue(trim(line.substr(equals + 1)));
        if (key == "Hidden") {
            entry.hidden = value == "true";
        } else if (key == "Exec") {
            entry.exec = value;
        }
    }
    return entry;
}

bool programExists(const std::string& program) {
    if (program.empty()) {
        return false;
    }
    if (program.find('/') != std::string::npos) {
        return ::access(program.c_str(), X_OK) == 0;
    }
    const char* path = std::getenv("PATH");
    std::stringstream directories(path ? path : "/usr/local/bin:/usr/bin:/bin");
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        if (!directory.empty() && ::access((fs::path(directory) / program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

int statusOf(const DesktopEntry& entry) {
    if (entry.hidden) {
        return LoginItemService::notRegistered;
    }
    return entry.exec && programExists(firstArgument(*entry.exec)) ? LoginItemService::enabled
                                                                   : LoginItemService::notFound;
}

bool isFile(const fs::path& path) {
    std::error_code error;
    return fs::is_regular_file(path, error);
}

fs::path absoluteFromEnvironment(const char* name, const fs::path& fallback) {
    const char* value = std::getenv(name);
    if (value && value[0] == '/') {
        return value;
    }
    return fallback;
}

} // namespace

XdgAutostart::Options XdgAutostart::defaultOptions() {
    Options options;
    const char* home = std::getenv("HOME");
    options.userDirectory =
        absoluteFromEnvironment("XDG_CONFIG_HOME", fs::path(home ? home : "/") / ".config") /
        "autostart";
    const char* dirs = std::getenv("XDG_CONFIG_DIRS");
    std::stringstream list(dirs && *dirs ? dirs : "/etc/xdg");
    std::string directory;
    while (std::getline(list, directory, ':')) {
        if (!directory.empty() && directory[0] == '/') {
            options.systemDirectories.push_back(fs::path(directory) / "autostart");
        }
    }
    if (QCoreApplication::instance()) {
        options.program = QCoreApplication::applicationFilePath().toStdString();
    } else {
        std::error_code error;
        options.program = fs::read_symlink("/proc/self/exe", error);
    }
    return options;
}

XdgAutostart::XdgAutostart(Options options) : options_(std::move(options)) {}

int XdgAutostart::status() const {
    const fs::path user = options_.userDirectory / options_.fileName;
    if (isFile(user)) {
        auto entry = readEntry(user);
        return entry ? statusOf(*entry) : LoginItemService::notFound;
    }
    for (const fs::path& directory : options_.systemDirectories) {
        const fs::path system = directory / options_.fileName;
        if (isFile(system)) {
            auto entry = readEntry(system);
            return entry ? statusOf(*entry) : LoginItemService::notFound;
        }
    }
    return LoginItemService::notRegistered;
}

std::string XdgAutostart::entryText(const fs::path& program, bool hidden) {
    // Inside double quotes the Exec rules want ", `, $ and \ escaped; '%' starts a
    // field code everywhere. Then every backslash is escaped again as a string value.
    std::string quoted = "\"";
    for (char c : program.string()) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += '\\';
        } else if (c == '%') {
            quoted += '%';
        }
        quoted += c;
    }
    quoted += '"';
    std::string exec;
    for (char c : quoted) {
        if (c == '\\') {
            exec += '\\';
        }
        exec += c;
    }
    std::string text = "[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=Snagreel\n"
                       "Comment=Keeps a rewind of the screen to save what just happened\n"
                       "Exec=" +
                       exec + "\n" + "Terminal=false\n";
    if (hidden) {
        text += "Hidden=true\n";
    }
    return text;
}

Result<void> XdgAutostart::registerItem() {
    std::error_code error;
    fs::create_directories(options_.userDirectory, error);
    if (error) {
        return Unexpected{Error::posix(error.value())};
    }
    return writeFileAtomically(options_.userDirectory / options_.fileName,
                               entryText(options_.program, false), 0644);
}

Result<void> XdgAutostart::unregisterItem() {
    for (const fs::path& directory : options_.systemDirectories) {
        if (isFile(directory / options_.fileName)) {
            // Only a user entry of the same name can turn a system-wide one off.
            std::error_code error;
            fs::create_directories(options_.userDirectory, error);
            if (error) {
                return Unexpected{Error::posix(error.value())};
            }
            return writeFileAtomically(options_.userDirectory / options_.fileName,
                                       entryText(options_.program, true), 0644);
        }
    }
    const fs::path user = options_.userDirectory / options_.fileName;
    if (::unlink(user.c_str()) != 0 && errno != ENOENT) {
        return Unexpected{Error::posix(errno)};
    }
    return {};
}

} // namespace snagreel::app
