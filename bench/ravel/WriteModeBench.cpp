// The download storage's ways into a fresh, fully reserved file, in 512 KiB
// blocks: platform::MappedFile's write calls ("pwrite") or stores into 2 MiB
// mapped views, each flushed asynchronously ("mapped"); then the whole storage
// (write cache and AsyncFileWriter, no network) fed by 1 and by T segment
// threads, as a download feeds it. Rotates the four RUNS times, prints each run
// and the best of each against pwrite.
//   bench_ravel_write_mode [--size-mib N] [--runs R] [--threads T] [--dir D]
#include "platform/MappedFile.h"
#include "ravel/AsyncFileWriter.h"
#include "ravel/FileActiveCache.h"

#include <Poco/File.h>
#include <Poco/Path.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace {

double cpuSeconds() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void direct(const std::string& path, std::int64_t size, const std::vector<char>& block, bool mapped) {
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

// Each thread writes its own range, one block at a time, as segments do.
void cached(const std::string& path, std::int64_t size, const std::vector<char>& block, std::int64_t threads) {
    ravel::FileActiveCache cache;
    ravel::AsyncFileWriter writer(path, size, cache);
    std::mutex writeMutex;
    const std::int64_t segment = (size + threads - 1) / threads, blockSize = static_cast<std::int64_t>(block.size());
    std::vector<std::thread> workers;
    for (std::int64_t t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            const std::int64_t end = std::min(size, (t + 1) * segment);
            for (std::int64_t pos = t * segment; pos < end; pos += blockSize) {
                std::lock_guard<std::mutex> lock(writeMutex);
                writer.write(block.data(), std::min(blockSize, end - pos), pos);
            }
        });
    for (auto& w : workers)
        w.join();
} // the writer's end waits for the cache to write every block

} // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> args{
        {"--dir", Poco::Path::temp()}, {"--size-mib", "1024"}, {"--runs", "3"}, {"--threads", "4"}};
    for (int i = 1; i + 1 < argc; i += 2)
        args[argv[i]] = argv[i + 1];
    const std::int64_t sizeMiB = std::stoll(args["--size-mib"]), runs = std::stoll(args["--runs"]);
    const std::int64_t size = sizeMiB << 20, threads = std::stoll(args["--threads"]);
    const std::string path = Poco::Path(args["--dir"]).makeDirectory().toString() + "ravel-write-mode-bench.bin";
    std::vector<char> block(512 << 10);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 7 + i / 4096);
    const std::string names[] = {"pwrite", "mapped", "cache, 1 thread", "cache, " + std::to_string(threads) + " threads"};
    double best[4] = {1e9, 1e9, 1e9, 1e9};
    for (std::int64_t run = 0; run < runs; ++run) {
        for (int k = 0; k < 4; ++k) {
            const int mode = static_cast<int>((k + run) % 4);
            if (Poco::File(path).exists())
                Poco::File(path).remove();
            const double cpu0 = cpuSeconds();
            const auto start = std::chrono::steady_clock::now();
            if (mode < 2)
                direct(path, size, block, mode == 1);
            else
                cached(path, size, block, mode == 2 ? 1 : threads);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            best[mode] = std::min(best[mode], seconds);
            std::printf("%-17s %lld MiB: %.3f s, %.0f MB/s, CPU %.3f s\n", names[mode].c_str(),
                        static_cast<long long>(sizeMiB), seconds, static_cast<double>(size) / 1e6 / seconds,
                        cpuSeconds() - cpu0);
        }
    }
    Poco::File(path).remove();
    for (int mode = 0; mode < 4; ++mode)
        std::printf("best %-17s %.3f s, / pwrite %.2f\n", names[mode].c_str(), best[mode], best[mode] / best[0]);
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("peak RSS %.1f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024);
    return 0;
}
