// bench_engine_stage CONTROL PACKAGES OUT: the updater's local work alone, for
// comparison with a whole install: every entry of a decoded control file is
// decoded (or copied) from its package in PACKAGES into OUT and hashed, one
// after another, with the engine's codec. Exits 1 on a hash mismatch.
#include "base/RootStorage.h"
#include "base/Singleton.h"
#include "distr/ControlFile.h"
#include "distr/Extract.h"
#include "distr/LocalFile.h"
#include "distr/SevenZip.h"

#include <Poco/File.h>

#include <exception>
#include <iostream>

using namespace Patcher;

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: bench_engine_stage CONTROL PACKAGES OUT\n";
        return 2;
    }
    try {
        Singleton<RootStorage>::create();
        ControlFile control;
        control.load(argv[1]);
        const std::string packages = std::string(argv[2]) + "/";
        const std::string out = std::string(argv[3]) + "/";
        SevenZip codec;
        for (const auto& item : control.entries()) {
            const ControlEntry& entry = *item.second;
            const std::string target = out + entry.sha1;
            const std::string produced = extractEntry(packages + entry.package, entry.offset, entry, target, codec);
            if (sha1OfFile(produced) != entry.sha1) {
                std::cerr << "hash mismatch: " << entry.pathText() << "\n";
                return 1;
            }
            Poco::File(produced).remove();
        }
        Singleton<RootStorage>::destroy();
    } catch (const std::exception& e) {
        std::cerr << "bench_engine_stage: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
