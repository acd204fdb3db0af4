// The engine's analysis and planning of a local publication made of arbitrary
// text: the input is a description, a NUL, then a control file. "@" as a hash
// value in the description stands for the real SHA-1 of the control file (or
// of the empty removal list), so the fuzzer gets past the hash checks.
#include "base/RootStorage.h"
#include "base/Singleton.h"
#include "distr/DiscGuard.h"
#include "distr/FileOps.h"
#include "distr/SevenZip.h"
#include "engine/DistrManager.h"
#include "engine/Wraps.h"

#include <Poco/Exception.h>
#include <Poco/TemporaryFile.h>

#include <cstdint>
#include <string>

using namespace Patcher;

static void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = input.find('\0');
    std::string info = input.substr(0, nul);
    const std::string control = nul == std::string::npos ? std::string() : input.substr(nul + 1);
    replaceAll(info, "deleted-control-hash=@", "deleted-control-hash=" + sha1OfText(""));
    replaceAll(info, "control-hash=@", "control-hash=" + sha1OfText(control));

    static const std::string work = Poco::TemporaryFile::tempName() + "/";
    const std::string site = work + "site/", dest = work + "dest/";
    createFolder(site);
    tryDeleteFolder(dest);
    writeWholeFile(site + "version-info.txt", info);
    writeWholeFile(site + "control.txt", control);
    writeWholeFile(site + "delete.txt", "");
    writeWholeFile(site + "stage1-0001.pak", std::string(4096, 'p'));

    Singleton<RootStorage>::create();
    Singleton<DiscGuard>::create();
    try {
        SevenZip codec;
        codec.setSizeHint(control.size()); // a small dictionary keeps the runs fast
        codec.compressFile(site + "control.txt", site + "control.txt.7z");
        codec.compressFile(site + "delete.txt", site + "delete.txt.7z");
        DistrManager engine(site, dest, nullptr);
        engine.createTemporaryFolder();
        engine.analyzeDistribution();
        engine.findSolution();
        const DiskNeed need = engine.diskNeed();
        if (need.destination < 0 || need.temporary < 0)
            __builtin_trap();
    } catch (const Poco::Exception&) {
    } catch (const std::exception&) {
    }
    Singleton<DiscGuard>::destroy();
    Singleton<RootStorage>::destroy();
    return 0;
}
