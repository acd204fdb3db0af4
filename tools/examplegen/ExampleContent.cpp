#include "tools/examplegen/ExampleContent.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

namespace fs = std::filesystem;

namespace Patcher {

namespace {

// Own generators rather than <random>: the standard distributions differ between
// library implementations, and the trees must be the same everywhere.
std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
    std::uint64_t s = a ^ (b * 0xD6E8FEB86659FD93ull);
    return splitmix(s);
}

class Rng {
public:
    explicit Rng(std::uint64_t seed) {
        for (auto& word : s_)
            word = splitmix(seed);
    }
    std::uint64_t next() { // xoshiro256**
        const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }
    std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : next() % n; }
    std::int64_t range(std::int64_t lo, std::int64_t hi) { // inclusive
        return lo + static_cast<std::int64_t>(below(static_cast<std::uint64_t>(hi - lo + 1)));
    }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t s_[4];
};

constexpr std::int64_t kChunk = 64 * 1024;

const char* const kWords[] = {
    "the", "of", "and", "to", "in", "is", "for", "on", "with", "as", "by", "at", "from", "this",
    "player", "enemy", "weapon", "armor", "level", "quest", "spawn", "health", "mana", "damage",
    "speed", "range", "texture", "model", "sound", "music", "shader", "light", "shadow", "camera",
    "door", "key", "chest", "gold", "silver", "stone", "wood", "iron", "dragon", "castle", "forest",
    "river", "bridge", "tower", "village", "merchant", "guard", "archer", "knight", "wizard",
    "potion", "scroll", "map", "inventory", "slot", "item", "value", "count", "true", "false",
    "enabled", "disabled", "default", "width", "height", "depth", "scale", "rotation", "position",
    "timer", "event", "trigger", "script", "function", "return", "local", "end", "if", "then",
    "else", "while", "name", "type", "id", "parent", "child", "node", "mesh", "bone", "animation",
    "idle", "walk", "run", "jump", "attack", "defend", "cast", "heal", "open", "close", "load",
    "save", "checkpoint", "difficulty", "easy", "normal", "hard", "volume", "brightness",
    "language", "english", "dialog", "line", "speaker", "voice", "subtitle", "cutscene", "intro"};
constexpr std::size_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);

void fillText(Rng& rng, char* out, std::size_t n) {
    std::size_t i = 0;
    int wordsLeft = 0;
    while (i < n) {
        std::string piece;
        if (wordsLeft == 0) {
            wordsLeft = static_cast<int>(rng.range(3, 12));
            if (rng.below(4) == 0) {
                piece = kWords[rng.below(kWordCount)];
                piece += " = " + std::to_string(rng.below(5000)) + "\n";
                wordsLeft = 0;
            }
        }
        if (piece.empty()) {
            // Skewed towards the first words, as in real text.
            const std::uint64_t a = rng.below(kWordCount), b = rng.below(kWordCount);
            piece = kWords[std::min(a, b)];
            piece += --wordsLeft == 0 ? "\n" : " ";
        }
        const std::size_t take = std::min(piece.size(), n - i);
        std::memcpy(out + i, piece.data(), take);
        i += take;
    }
}

void fillRecords(Rng& rng, std::uint64_t firstRecord, char* out, std::size_t n) {
    std::size_t i = 0;
    std::uint64_t id = firstRecord;
    std::int32_t x = 0, y = 0, z = 0;
    while (i < n) {
        unsigned char rec[32] = {};
        std::memcpy(rec, &id, 4);
        rec[4] = static_cast<unsigned char>(rng.below(16));
        rec[6] = static_cast<unsigned char>(1u << rng.below(4));
        x += static_cast<std::int32_t>(rng.range(-3, 3));
        y += static_cast<std::int32_t>(rng.range(-3, 3));
        z += static_cast<std::int32_t>(rng.range(-1, 1));
        std::memcpy(rec + 8, &x, 4);
        std::memcpy(rec + 12, &y, 4);
        std::memcpy(rec + 16, &z, 4);
        const std::uint64_t noise = rng.next() & 0x0F0F0F0F0F0F0F0Full;
        std::memcpy(rec + 20, &noise, 8);
        const std::size_t take = std::min<std::size_t>(sizeof rec, n - i);
        std::memcpy(out + i, rec, take);
        i += take;
        ++id;
    }
}

void fillRandom(Rng& rng, char* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const std::uint64_t v = rng.next();
        std::memcpy(out + i, &v, 8);
    }
    if (i < n) {
        const std::uint64_t v = rng.next();
        std::memcpy(out + i, &v, n - i);
    }
}

// Bytes [chunk * kChunk, chunk * kChunk + n) of a file's unedited content; every
// chunk stands on its own, so large files never need to be held whole.
void fillChunk(ContentKind kind, std::uint64_t seed, std::int64_t chunk, std::int64_t mixedRun,
               char* out, std::size_t n) {
    Rng rng(mix(seed, static_cast<std::uint64_t>(chunk)));
    switch (kind) {
    case ContentKind::Text:
        fillText(rng, out, n);
        break;
    case ContentKind::Records:
        fillRecords(rng, static_cast<std::uint64_t>(chunk) * (kChunk / 32), out, n);
        break;
    case ContentKind::Random:
        fillRandom(rng, out, n);
        break;
    case ContentKind::Mixed:
        if ((chunk / mixedRun) % 2 == 0)
            fillText(rng, out, n);
        else
            fillRandom(rng, out, n);
        break;
    case ContentKind::Packed: {
        const std::size_t pad = n * 3 / 100;
        std::memset(out, 0, pad);
        fillRandom(rng, out + pad, n - pad);
        break;
    }
    }
}

std::int64_t mixedRunChunks(std::int64_t size) {
    return std::clamp<std::int64_t>(size / 8 / kChunk, 1, 16);
}

std::vector<char> editBytes(ContentKind kind, const ExampleEdit& edit) {
    std::vector<char> bytes(static_cast<std::size_t>(edit.length));
    const ContentKind k = kind == ContentKind::Text ? ContentKind::Text : ContentKind::Random;
    for (std::int64_t off = 0; off < edit.length; off += kChunk)
        fillChunk(k, edit.seed, off / kChunk, 1, bytes.data() + off,
                  static_cast<std::size_t>(std::min(kChunk, edit.length - off)));
    return bytes;
}

struct DirKind {
    const char* dir;
    const char* prefix;
    const char* ext;
    ContentKind kind;
};

const DirKind kSmallDirs[] = {
    {"Config", "settings", ".cfg", ContentKind::Text},
    {"Scripts/AI", "brain", ".lua", ContentKind::Text},
    {"Scripts/UI", "panel", ".lua", ContentKind::Text},
    {"Localization/en", "strings", ".txt", ContentKind::Text},
    {"Localization/de", "strings", ".txt", ContentKind::Text},
    {"Data/Quests", "quest", ".xml", ContentKind::Text},
    {"Data/Models", "mesh", ".mdl", ContentKind::Records},
    {"Data/Animations", "anim", ".ani", ContentKind::Records},
    {"Maps/Level01", "sector", ".dat", ContentKind::Records},
    {"Maps/Level02", "sector", ".dat", ContentKind::Records},
    {"Maps/Level03", "sector", ".dat", ContentKind::Records},
    {"Data/Textures", "tex", ".dds", ContentKind::Random},
    {"Data/Sound", "sfx", ".ogg", ContentKind::Random},
    {"Data/Music", "track", ".ogg", ContentKind::Random},
    {"Data/Video", "clip", ".bik", ContentKind::Packed},
};
constexpr std::size_t kSmallDirCount = sizeof(kSmallDirs) / sizeof(kSmallDirs[0]);

constexpr int kSmallFiles = 260;
constexpr int kAddedFiles = 16;

std::string numbered(const DirKind& d, int index) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "_%04d", index);
    return std::string(d.dir) + "/" + d.prefix + buf + d.ext;
}

// Sizes in proportion to weights that spread over three decades, summing to pool.
std::vector<std::int64_t> spreadSizes(Rng& rng, int count, std::int64_t pool) {
    std::vector<std::uint64_t> weights(static_cast<std::size_t>(count));
    std::uint64_t sum = 0;
    for (auto& w : weights) {
        w = (1024 + rng.below(1024)) << rng.below(10);
        sum += w;
    }
    std::vector<std::int64_t> sizes;
    for (auto w : weights)
        sizes.push_back(static_cast<std::int64_t>(static_cast<long double>(pool) * w / sum) + 1);
    return sizes;
}

std::vector<ExampleEdit> makeEdits(Rng& rng, std::int64_t baseSize, int count) {
    std::vector<ExampleEdit> edits;
    if (baseSize < 16)
        return edits;
    std::vector<std::int64_t> positions;
    for (int i = 0; i < count; ++i)
        positions.push_back(static_cast<std::int64_t>(rng.below(static_cast<std::uint64_t>(baseSize))));
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    for (std::size_t i = 0; i < positions.size(); ++i) {
        const std::int64_t room = (i + 1 < positions.size() ? positions[i + 1] : baseSize) - positions[i];
        ExampleEdit e{positions[i], static_cast<ExampleEdit::Type>(rng.below(3)),
                      rng.range(1, std::max<std::int64_t>(1, std::min<std::int64_t>(256, baseSize / 64))),
                      rng.next()};
        if (e.type != ExampleEdit::Insert)
            e.length = std::min(e.length, room);
        edits.push_back(e);
    }
    return edits;
}

} // namespace

std::int64_t ExampleFile::size() const {
    std::int64_t s = baseSize;
    for (const auto& e : edits) {
        if (e.type == ExampleEdit::Insert)
            s += e.length;
        else if (e.type == ExampleEdit::Erase)
            s -= e.length;
    }
    return s;
}

std::vector<ExampleFile> planExampleContent(const ExampleOptions& options) {
    if (options.variant != 1 && options.variant != 2)
        throw std::invalid_argument("variant must be 1 or 2");
    if (options.totalBytes < 0)
        throw std::invalid_argument("size must not be negative");
    const std::int64_t total = options.totalBytes;
    Rng rng(mix(options.seed, 1));

    std::vector<ExampleFile> files;
    auto add = [&](std::string path, ContentKind kind, std::int64_t size) {
        files.push_back(ExampleFile{std::move(path), kind, ChangeKind::Unchanged, rng.next(), size, {}});
    };
    // A few large files carry two fifths of the tree.
    add("Data/Movies/intro.bik", ContentKind::Random, total / 5);
    add("Data/world.pak", ContentKind::Mixed, total / 10);
    add("Data/strings.db", ContentKind::Text, total * 8 / 100);
    add("bin/game.exe", ContentKind::Records, total * 5 / 100);
    add("Data/empty.flag", ContentKind::Text, 0);
    add("Data/one.byte", ContentKind::Random, 1);
    add("Docs/Read Me.txt", ContentKind::Text, 2000 + static_cast<std::int64_t>(rng.below(2000)));
    add("Localization/fr/Lisez-moi \xC3\xA9t\xC3\xA9.txt", ContentKind::Text, 1500);

    const std::int64_t pool = total - total / 5 - total / 10 - total * 8 / 100 - total * 5 / 100;
    const auto sizes = spreadSizes(rng, kSmallFiles, std::max<std::int64_t>(pool, 0));
    for (int i = 0; i < kSmallFiles; ++i) {
        const DirKind& d = kSmallDirs[rng.below(kSmallDirCount)];
        add(numbered(d, i), d.kind, sizes[static_cast<std::size_t>(i)]);
    }

    if (options.variant == 2) {
        Rng change(mix(options.seed, 2));
        std::vector<ExampleFile> next;
        for (auto f : files) {
            const std::uint64_t r = change.below(100);
            if (f.path == "Data/Movies/intro.bik" || f.path == "Data/world.pak" || f.path == "bin/game.exe" ||
                f.path == "Docs/Read Me.txt") {
                f.edits = makeEdits(change, f.baseSize, 3);
                f.change = f.edits.empty() ? ChangeKind::Unchanged : ChangeKind::Edited;
            } else if (f.baseSize <= 1) {
                // The tiny files stay as they are.
            } else if (r < 7) {
                continue; // removed
            } else if (r < 22) {
                f.edits = makeEdits(change, f.baseSize, static_cast<int>(change.range(1, 4)));
                f.change = f.edits.empty() ? ChangeKind::Unchanged : ChangeKind::Edited;
            } else if (r < 24) {
                f.contentSeed = change.next();
                f.change = ChangeKind::Rewritten;
            } else if (r < 26) {
                f.edits.push_back(ExampleEdit{f.baseSize, ExampleEdit::Insert,
                                              std::max<std::int64_t>(1, f.baseSize / 5), change.next()});
                f.change = ChangeKind::Grown;
            }
            next.push_back(std::move(f));
        }
        const auto added = spreadSizes(change, kAddedFiles, std::max<std::int64_t>(total / 50, 0));
        for (int i = 0; i < kAddedFiles; ++i) {
            const DirKind& d = kSmallDirs[change.below(kSmallDirCount)];
            std::string path = i % 4 == 0 ? std::string("Data/DLC/") + d.prefix + std::to_string(i) + d.ext
                                          : numbered(d, kSmallFiles + i);
            next.push_back(ExampleFile{std::move(path), d.kind, ChangeKind::Added, change.next(),
                                       added[static_cast<std::size_t>(i)], {}});
        }
        files = std::move(next);
    }
    std::sort(files.begin(), files.end(),
              [](const ExampleFile& a, const ExampleFile& b) { return a.path < b.path; });
    return files;
}

void writeExampleFile(const ExampleFile& file, const std::string& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot create " + path);
    const std::int64_t run = mixedRunChunks(file.baseSize);
    std::vector<char> chunk(kChunk);
    std::size_t next = 0;    // first edit not yet applied
    std::int64_t skip = 0;   // bytes of the unedited content an edit removes
    auto applyEditsAt = [&](std::int64_t pos) {
        while (next < file.edits.size() && file.edits[next].pos == pos && skip == 0) {
            const ExampleEdit& e = file.edits[next++];
            if (e.type != ExampleEdit::Erase) {
                const auto bytes = editBytes(file.kind, e);
                out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            }
            if (e.type != ExampleEdit::Insert)
                skip = e.length;
        }
    };
    for (std::int64_t start = 0; start < file.baseSize; start += kChunk) {
        const std::int64_t n = std::min(kChunk, file.baseSize - start);
        fillChunk(file.kind, file.contentSeed, start / kChunk, run, chunk.data(), static_cast<std::size_t>(n));
        std::int64_t off = 0;
        while (off < n) {
            if (skip > 0) {
                const std::int64_t s = std::min(skip, n - off);
                off += s;
                skip -= s;
                continue;
            }
            applyEditsAt(start + off);
            if (skip > 0)
                continue;
            std::int64_t until = n;
            if (next < file.edits.size() && file.edits[next].pos < start + n)
                until = file.edits[next].pos - start;
            out.write(chunk.data() + off, static_cast<std::streamsize>(until - off));
            off = until;
        }
    }
    applyEditsAt(file.baseSize); // appended data
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::int64_t writeExampleContent(const std::string& dir, const ExampleOptions& options) {
    const auto files = planExampleContent(options);
    const fs::path root = fs::u8path(dir);
    if (fs::exists(root) && !fs::is_empty(root))
        throw std::runtime_error("output directory is not empty: " + dir);
    std::int64_t written = 0;
    for (const auto& f : files) {
        const fs::path target = root / fs::u8path(f.path);
        fs::create_directories(target.parent_path());
        writeExampleFile(f, target.string());
        written += f.size();
    }
    return written;
}

} // namespace Patcher
