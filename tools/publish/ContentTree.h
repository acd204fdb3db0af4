#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Patcher {

// One file of a tree to publish.
struct ContentFile {
    std::string path;   // relative, '/' separated: the path of its control line
    std::string source; // local path to read it from
    std::int64_t size = 0;
    int stage = 1;
};

// The regular files below dir, sorted by path
// byte-wise. Throws PublishError naming the path for anything the updater could
// not install faithfully: "|" or a line break (a control line cannot hold it), a
// back slash, what Windows file names cannot hold (control characters, < > : " ?
// *, a name ending in a dot or a blank), blanks at either end (control fields are
// trimmed), invalid UTF-8,
// the updater's own metadata directories, two paths that differ only in ASCII
// case or a file where another path needs a directory (the updater compares paths
// without regard to case), entries that are neither files nor directories, and
// links that loop. A symbolic link to a file, wherever that file is, is published
// as that file, and one to a directory inside dir as that directory; a dangling
// link and a link to a directory outside dir are refused, naming link and target.
std::vector<ContentFile> scanContent(const std::string& dir);

// Why path cannot be published as a control-line path, or empty when it can.
std::string checkControlPath(const std::string& path);

bool isValidUtf8(const std::string& text);

} // namespace Patcher
