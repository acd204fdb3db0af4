#include "tests/support/TempDir.h"

#include <Poco/File.h>
#include <Poco/Path.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <unistd.h>

namespace testsupport {

TempDir::TempDir() {
    std::string pattern = Poco::Path::temp() + "patcher-test-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = pattern + "/";
}

TempDir::~TempDir() {
    try {
        Poco::File(path_).remove(true);
    } catch (...) {
    }
}

void writeFile(const std::string& path, const std::string& content) {
    Poco::File(Poco::Path(path).parent()).createDirectories();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string buildDir() { return std::string(PATCHER_BUILD_DIR) + "/"; }

std::string sourceDir() { return std::string(PATCHER_SOURCE_DIR) + "/"; }

} // namespace testsupport
