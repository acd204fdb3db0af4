// Throughput of the download storage alone: segment threads hand 512 KiB
// blocks of their ranges to one AsyncFileWriter through the write cache, as a
// download does, without any network.
//   bench_ravel_storage [--size-mib N] [--threads T] [--block-kib B] [--dir D]
#include "ravel/AsyncFileWriter.h"
#include "ravel/FileActiveCache.h"

#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/Process.h>

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

int main(int argc, char** argv) {
    std::map<std::string, std::string> args{
        {"--dir", Poco::Path::temp()}, {"--size-mib", "1024"}, {"--threads", "4"}, {"--block-kib", "512"}};
    for (int i = 1; i + 1 < argc; i += 2)
        args[argv[i]] = argv[i + 1];
    const std::int64_t sizeMiB = std::stoll(args["--size-mib"]), threads = std::stoll(args["--threads"]);
    const std::int64_t blockKiB = std::stoll(args["--block-kib"]), size = sizeMiB << 20, block = blockKiB << 10;
    const std::string path = Poco::Path(args["--dir"]).makeDirectory().toString() + "ravel-storage-bench.bin";
    if (Poco::File(path).exists())
        Poco::File(path).remove();

    std::vector<char> source(static_cast<std::size_t>(block));
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<char>(i * 7 + i / 4096);

    const auto start = std::chrono::steady_clock::now();
    {
        ravel::FileActiveCache cache;
        ravel::AsyncFileWriter writer(path, size, cache);
        std::mutex writeMutex;
        const std::int64_t segment = (size + threads - 1) / threads;
        std::vector<std::thread> workers;
        for (std::int64_t t = 0; t < threads; ++t)
            workers.emplace_back([&, t] {
                const std::int64_t end = std::min(size, (t + 1) * segment);
                for (std::int64_t pos = t * segment; pos < end; pos += block) {
                    const std::int64_t n = std::min(block, end - pos);
                    std::lock_guard<std::mutex> lock(writeMutex);
                    writer.write(source.data(), n, pos);
                }
            });
        for (auto& w : workers)
            w.join();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("%lld MiB, %lld thread(s), %lld KiB blocks: %.3f s, %.0f MB/s, CPU %.3f s, peak RSS %.1f MiB\n",
                static_cast<long long>(sizeMiB), static_cast<long long>(threads), static_cast<long long>(blockKiB),
                seconds, static_cast<double>(size) / 1e6 / seconds, cpu, static_cast<double>(usage.ru_maxrss) / 1024);
    Poco::File(path).remove();
    return 0;
}
