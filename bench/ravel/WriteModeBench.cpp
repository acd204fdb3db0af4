// The two ways platform::MappedFile fills a fresh, fully reserved file, as the
// download storage writes it: 512 KiB blocks into 2 MiB mapped views (each
// flushed asynchronously), or the same blocks by write calls. Alternates the
// two RUNS times and prints each run.
//   bench_ravel_write_mode [--size-mib N] [--runs R] [--dir D]
#include "platform/MappedFile.h"

#include <Poco/File.h>
#include <Poco/Path.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace {

double cpuSeconds() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void fill(const std::string& path, std::int64_t size, const std::vector<char>& block, bool mapped) {
    platform::MappedFile file;
    file.open(path);
    file.setLength(size);
    const std::int64_t blockSize = static_cast<std::int64_t>(block.size());
    const std::int64_t view = static_cast<std::int64_t>(platform::MappedFile::preferredViewSize());
    for (std::int64_t base = 0; base < size; base += view) {
        const std::size_t length = static_cast<std::size_t>(std::min(view, size - base));
        char* address = mapped ? static_cast<char*>(file.map(base, length)) : nullptr;
        for (std::int64_t pos = 0; pos < static_cast<std::int64_t>(length); pos += blockSize) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(blockSize, length - pos));
            if (mapped) {
                std::memcpy(address + pos, block.data(), n);
                file.flushAsync(address + pos, n);
            } else {
                file.writeAt(block.data(), n, base + pos);
            }
        }
        if (mapped)
            file.unmap(address, length);
    }
    file.close();
}

} // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> args{{"--dir", Poco::Path::temp()}, {"--size-mib", "1024"}, {"--runs", "3"}};
    for (int i = 1; i + 1 < argc; i += 2)
        args[argv[i]] = argv[i + 1];
    const std::int64_t sizeMiB = std::stoll(args["--size-mib"]), runs = std::stoll(args["--runs"]);
    const std::int64_t size = sizeMiB << 20;
    const std::string path = Poco::Path(args["--dir"]).makeDirectory().toString() + "ravel-write-mode-bench.bin";
    std::vector<char> block(512 << 10);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 7 + i / 4096);
    double best[2] = {1e9, 1e9};
    for (std::int64_t run = 0; run < runs; ++run) {
        for (int mapped = 0; mapped < 2; ++mapped) {
            const int mode = (run % 2 == 0) ? mapped : 1 - mapped;
            if (Poco::File(path).exists())
                Poco::File(path).remove();
            const double cpu0 = cpuSeconds();
            const auto start = std::chrono::steady_clock::now();
            fill(path, size, block, mode == 1);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            best[mode] = std::min(best[mode], seconds);
            std::printf("%-7s %lld MiB: %.3f s, %.0f MB/s, CPU %.3f s\n", mode == 1 ? "mapped" : "pwrite",
                        static_cast<long long>(sizeMiB), seconds, static_cast<double>(size) / 1e6 / seconds,
                        cpuSeconds() - cpu0);
        }
    }
    Poco::File(path).remove();
    std::printf("best: pwrite %.3f s, mapped %.3f s, mapped / pwrite %.2f\n", best[0], best[1], best[1] / best[0]);
    return 0;
}
