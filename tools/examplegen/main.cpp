// patcher-examplegen: writes a deterministic example game tree (see ExampleContent.h).
#include "tools/examplegen/ExampleContent.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

namespace {

void usage(std::ostream& os) {
    os << "usage: patcher-examplegen --out DIR [--variant 1|2] [--seed N] [--size-mib N]\n"
          "  Writes an example game tree into DIR (absent or empty).\n"
          "  --variant 2 is the next release of variant 1 with the same seed and size.\n"
          "  --size-mib  approximate size of variant 1 in MiB (default 8)\n";
}

bool parseNumber(const char* text, unsigned long long& value) {
    if (!*text || *text == '-')
        return false;
    char* end = nullptr;
    value = std::strtoull(text, &end, 10);
    return *end == '\0';
}

} // namespace

int main(int argc, char** argv) {
    Patcher::ExampleOptions options;
    std::string out;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(std::cout);
            return 0;
        }
        if (i + 1 >= argc) {
            std::cerr << "patcher-examplegen: " << arg << " needs a value\n";
            usage(std::cerr);
            return 2;
        }
        const char* value = argv[++i];
        unsigned long long n = 0;
        if (arg == "--out") {
            out = value;
        } else if (arg == "--variant" && parseNumber(value, n) && (n == 1 || n == 2)) {
            options.variant = static_cast<int>(n);
        } else if (arg == "--seed" && parseNumber(value, n)) {
            options.seed = n;
        } else if (arg == "--size-mib" && parseNumber(value, n) && n < (1ull << 30)) {
            options.totalBytes = static_cast<std::int64_t>(n) << 20;
        } else {
            std::cerr << "patcher-examplegen: bad option or value: " << arg << " " << value << "\n";
            usage(std::cerr);
            return 2;
        }
    }
    if (out.empty()) {
        usage(std::cerr);
        return 2;
    }
    try {
        const std::int64_t bytes = Patcher::writeExampleContent(out, options);
        std::cout << "wrote " << Patcher::planExampleContent(options).size() << " files, " << bytes
                  << " bytes into " << out << "\n";
    } catch (const std::exception& e) {
        std::cerr << "patcher-examplegen: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
