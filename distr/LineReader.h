#pragma once

#include <fstream>
#include <string>
#include <vector>

namespace Patcher {

// Reads a file line by line in large blocks, handing out each line (without its
// LF) as a pair of pointers valid until the next call. Big metadata files are
// parsed without holding them whole or copying their lines.
class LineReader {
public:
    // Throws Poco::OpenFileException naming the path.
    explicit LineReader(const std::string& path);

    // False at the end of the file. Throws Poco::ReadFileException on a read error.
    bool next(const char*& begin, const char*& end);

private:
    bool fill();

    static constexpr std::size_t kBlock = 1 << 20;

    std::string path_;
    std::ifstream in_;
    std::vector<char> buffer_;
    std::size_t pos_ = 0;  // start of the unread bytes
    std::size_t size_ = 0; // end of the valid bytes
    bool eof_ = false;
};

} // namespace Patcher
