#!/usr/bin/env python3
"""Writes a deterministic tree shaped like a real game's data: thousands of small
files (median about 2 KB, mostly incompressible like PNG and OGG, a quarter text),
a few large ones, and a few symbolic links to files. --next writes the following
release of the same tree: 3 % of the files changed slightly, 0.5 % removed and
0.25 % added."""
import argparse
import os
import random

WORDS = ("the of and to in is you that it he was for on are as with his they at be this have from or one had "
         "by word but not what all were we when your can said there use an each which she do how their if will "
         "up other about out many then them these so some her would make like him into time has look two more "
         "sprite texture sound level quest item enemy player health damage speed range cost name id").split()


def text(rng, size):
    out, n = [], 0
    while n < size:
        line = " ".join(rng.choices(WORDS, k=rng.randint(4, 14))) + " = %d\n" % rng.randint(0, 99999)
        out.append(line)
        n += len(line)
    return "".join(out).encode()[:size]


def records(rng, size):
    out, n, i = [], 0, 0
    while n < size:
        rec = i.to_bytes(4, "little") + rng.randint(0, 255).to_bytes(1, "little") + bytes(11) + \
            rng.choice(WORDS).encode().ljust(16, b"\0")
        out.append(rec)
        n += len(rec)
        i += 1
    return b"".join(out)[:size]


def content(kind, seed, size):
    rng = random.Random(seed)
    if kind == "text":
        return text(rng, size)
    if kind == "records":
        return records(rng, size)
    return rng.randbytes(size)


def plan(seed, files, size_mib):
    rng = random.Random(seed)
    large = [("Video/intro.bik", "random", 24 << 20), ("Data/world.pak", "records", 16 << 20),
             ("Music/theme.ogg", "random", 10 << 20), ("Data/strings.txt", "text", 6 << 20)]
    budget = (size_mib << 20) - sum(s for _, _, s in large)
    sizes = [min(int(rng.lognormvariate(7.55, 1.6)) + 1, 2 << 20) for _ in range(files - len(large))]
    scale = max(budget, 0) / max(sum(sizes), 1)
    entries = []
    for i, s in enumerate(sizes):
        r = rng.random()
        kind, ext = ("random", ".png") if r < 0.45 else ("random", ".ogg") if r < 0.7 else \
            ("text", ".json") if r < 0.92 else ("records", ".bin")
        folder = "%s/%02d" % ({".png": "Textures", ".ogg": "Sounds", ".json": "Scripts", ".bin": "Data"}[ext], i % 64)
        entries.append([folder + "/f%05d%s" % (i, ext), kind, max(1, int(s * scale)), rng.getrandbits(48)])
    for path, kind, size in large:
        entries.append([path, kind, size, rng.getrandbits(48)])
    return entries


def edit(data, rng, kind):
    if kind == "text":
        at = rng.randrange(len(data) + 1)
        return data[:at] + b"changed line = %d\n" % rng.randint(0, 9999) + data[at:]
    at = rng.randrange(max(1, len(data) - 16))
    return data[:at] + rng.randbytes(min(16, len(data))) + data[at + 16:]


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--out", required=True)
    ap.add_argument("--files", type=int, default=16000)
    ap.add_argument("--size-mib", type=int, default=173)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--next", action="store_true")
    a = ap.parse_args()
    entries = plan(a.seed, a.files, a.size_mib)
    changes = random.Random(a.seed * 7 + 1)
    picks = list(range(len(entries) - 4))  # the large ones stay as they are
    changes.shuffle(picks)
    n = len(entries)
    changed = set(picks[:n * 3 // 100])
    removed = set(picks[n * 3 // 100:n * 3 // 100 + n // 200])
    written = 0
    for i, (path, kind, size, seed) in enumerate(entries):
        if a.next and i in removed:
            continue
        data = content(kind, seed, size)
        if a.next and i in changed:
            data = edit(data, random.Random(seed + 1), kind)
        write(os.path.join(a.out, path), data)
        written += len(data)
    if a.next:
        for i in range(n // 400):
            write(os.path.join(a.out, "Added/new%04d.json" % i), content("text", a.seed * 1000 + i, 1500 + 37 * i))
    # A few links to files, as trees copied from a developer's machine have.
    links = [e[0] for e in entries[:3] if not (a.next and entries.index(e) in removed)]
    for k, path in enumerate(links):
        link = os.path.join(a.out, "Links/link%d%s" % (k, os.path.splitext(path)[1]))
        os.makedirs(os.path.dirname(link), exist_ok=True)
        os.symlink(os.path.relpath(os.path.join(a.out, path), os.path.dirname(link)), link)
    print("%d files, %.1f MiB" % (sum(len(fs) for _, _, fs in os.walk(a.out)), written / (1 << 20)))


if __name__ == "__main__":
    main()
