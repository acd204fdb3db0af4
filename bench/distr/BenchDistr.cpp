// Runs one distribution-format workload on a file so that run.sh can time it
// beside the system tools on the same input:
//   bench_distr decode  STREAM.lzma   decompressFile into /dev/null
//   bench_distr sha1    FILE          sha1OfFile
//   bench_distr copy    FILE OUT      copyWholeFile
//   bench_distr control FILE          ControlFile::load
//   bench_distr cache   ROOT          FileCache load of ROOT/.kvo.meta.dir/.kvo.cache.txt
// Prints the workload's own wall time and a count.
#include "base/Singleton.h"
#include "distr/ControlFile.h"
#include "distr/FileCache.h"
#include "distr/LocalFile.h"
#include "distr/SevenZip.h"
#include "base/RootStorage.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>

#include <chrono>
#include <iostream>
#include <string>

using namespace Patcher;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: bench_distr decode|sha1|copy|control|cache PATH [OUT]\n";
        return 2;
    }
    Poco::Logger::root().setLevel(Poco::Message::PRIO_ERROR);
    const std::string mode = argv[1];
    const std::string path = argv[2];
    const auto start = std::chrono::steady_clock::now();
    std::string result;
    try {
        if (mode == "decode") {
            SevenZip codec;
            codec.decompressFile(path, "/dev/null");
            result = std::to_string(codec.unpackedSize()) + " bytes";
        } else if (mode == "sha1") {
            result = sha1OfFile(path);
        } else if (mode == "copy" && argc > 3) {
            copyWholeFile(path, argv[3]);
            result = argv[3];
        } else if (mode == "control") {
            Singleton<RootStorage>::create();
            ControlFile file;
            file.load(path);
            result = std::to_string(file.count() + file.removals().size()) + " entries";
        } else if (mode == "cache") {
            FileCache cache(path);
            result = std::to_string(cache.count()) + " entries";
        } else {
            std::cerr << "unknown mode " << mode << "\n";
            return 2;
        }
    } catch (const std::exception& e) {
        const auto* poco = dynamic_cast<const Poco::Exception*>(&e);
        std::cerr << (poco ? poco->displayText() : e.what()) << "\n";
        return 1;
    }
    std::cout << mode << ": " << result << " in "
              << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() << " s\n";
    return 0;
}
