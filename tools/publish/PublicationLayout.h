#pragma once

#include <string>

namespace Patcher {

// Where a publication puts its files. ROOT/V/ is the updater's source: it holds
// "version-info.txt" and, being its own files location ("files=./"), the control
// files and the packages as well, so the description the analysis reads at the
// files location for the delta block is that same file. A delta from V_OLD lives
// in ROOT/V/deltas/V_OLD/; an environment NAME in ROOT/V/NAME/, laid out the same
// way, so that dropping "NAME/" from its source gives ROOT/V/.
constexpr const char* kVersionInfoName = "version-info.txt";
constexpr const char* kFilesLocation = "./";
constexpr const char* kDeltaDirPrefix = "deltas/";

struct PublicationLayout {
    // root + "/" + version + "/" (root as given, one separator added when missing).
    static std::string versionDir(const std::string& root, const std::string& version);
    // "deltas/V_OLD/": relative to the files location of the distribution.
    static std::string deltaDir(const std::string& fromVersion);
    // "stage<S>-<NNNN>.pak", N counted from 1 within the distribution.
    static std::string packageName(int stage, int number);
    // "delta-<NNNN>.pak", N counted from 1 within the delta.
    static std::string deltaPackageName(int number);
    // Names a publication writes into its root: an environment may not use them.
    static bool isReservedName(const std::string& name);
};

} // namespace Patcher
