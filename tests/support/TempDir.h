#pragma once

#include <map>
#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under the system's temporary directory, removed with
// everything inside when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The directory, with a trailing '/'.
    const std::string& path() const { return path_; }
    // path() + relative.
    std::string file(const std::string& relative) const { return path_ + relative; }

private:
    std::string path_;
};

// Whole-file helpers for fixtures.
void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
// Writes every (relative '/'-separated path, content) under dir.
void makeTree(const std::string& dir, const std::map<std::string, std::string>& files);
// Every regular file under dir by relative path, hidden ones included; empty
// when dir does not exist.
std::map<std::string, std::string> readTree(const std::string& dir);
std::string sha1Hex(const std::string& bytes);
// The fields of text between separators ("a||b" has three).
std::vector<std::string> split(const std::string& text, char separator);

// Top of the build tree and of the source tree, each with a trailing '/'.
std::string buildDir();
std::string sourceDir();

} // namespace testsupport
