#include "tests/support/TempDir.h"

#include <Poco/DigestEngine.h>
#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/SHA1Engine.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

void makeTree(const std::string& dir, const std::map<std::string, std::string>& files) {
    std::filesystem::create_directories(std::filesystem::u8path(dir));
    for (const auto& [relative, content] : files)
        writeFile((std::filesystem::u8path(dir) / std::filesystem::u8path(relative)).string(), content);
}

std::map<std::string, std::string> readTree(const std::string& dir) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> files;
    if (!fs::exists(fs::u8path(dir)))
        return files;
    for (const auto& e : fs::recursive_directory_iterator(fs::u8path(dir)))
        if (e.is_regular_file())
            files[e.path().lexically_relative(fs::u8path(dir)).generic_u8string()] = readFile(e.path().string());
    return files;
}

std::string sha1Hex(const std::string& bytes) {
    Poco::SHA1Engine engine;
    engine.update(bytes);
    return Poco::DigestEngine::digestToHex(engine.digest());
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> fields(1);
    for (char c : text) {
        if (c == separator)
            fields.emplace_back();
        else
            fields.back().push_back(c);
    }
    return fields;
}

std::string buildDir() { return std::string(PATCHER_BUILD_DIR) + "/"; }

std::string sourceDir() { return std::string(PATCHER_SOURCE_DIR) + "/"; }

} // namespace testsupport
