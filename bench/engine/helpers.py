#!/usr/bin/env python3
"""Helpers of bench/engine/run.sh: inputs, references and the table.
  helpers.py tree DIR COUNT BYTES KIND      COUNT files of BYTES (random|text)
  helpers.py unpack CONTROL PACKAGES OUT    every entry by xz -d (status 1) or a copy
  helpers.py unlzma FILE                    FILE by xz -d (stdout)
  helpers.py deltas CONTROL PACKAGES OLD OUT  decodes the deltas, lists "old delta new"
  helpers.py xdelta LIST                    xdelta3 -d of every listed delta
  helpers.py needed NEW OLD DELTA PACKAGES  bytes an ideal update fetches (stdout)
  helpers.py uncovered NEW OLD DELTA        control lines of what no delta covers
  helpers.py ranges CONTROL URL OUT         a curl config fetching every entry's range
  helpers.py table RESULTS RTT_MS SINGLES   the summary table"""
import os
import random
import statistics
import subprocess
import sys


def entries(control):
    for line in open(control, encoding="utf-8"):
        f = line.rstrip("\r\n").split("|")
        if len(f) >= 8 and f[0] in ("0", "1"):
            yield {"status": f[0], "path": f[1], "sha1": f[2], "name": f[3], "package": f[4],
                   "offset": int(f[5]), "stored": int(f[6]), "size": int(f[7] or f[6]), "line": line}


def unxz(data):
    # Our streams give their size and also end with an end marker; xz 5.4 refuses
    # such a stream when the marker crosses the end of its 8 KiB read. Marked as
    # of unknown size, the same stream decodes whatever the reads.
    return subprocess.run(["xz", "-dc", "--format=lzma"], input=data[:5] + b"\xff" * 8 + data[13:],
                          stdout=subprocess.PIPE, check=True).stdout


def unlzma(path):
    with open(path, "rb") as f:
        sys.stdout.buffer.write(unxz(f.read()))


def decoded(packages, e):
    with open(os.path.join(packages, e["package"]), "rb") as f:
        f.seek(e["offset"])
        data = f.read(e["stored"])
    if e["status"] == "1":
        data = unxz(data)
    return data


def tree(out, count, size, kind):
    count, size = int(count), int(size)
    rng = random.Random(count * 7 + size)
    words = [b"alpha", b"beta", b"gamma", b"delta", b"level", b"mesh", b"sound", b"12", b"345"]
    for i in range(count):
        d = os.path.join(out, "d%03d" % (i // 500))
        os.makedirs(d, exist_ok=True)
        if kind == "random":
            data = rng.randbytes(size)
        else:
            data = b" ".join(rng.choice(words) for _ in range(size // 4))[:size]
        with open(os.path.join(d, "f%05d.dat" % i), "wb") as f:
            f.write(data)


def unpack(control, packages, out):
    for e in entries(control):
        target = os.path.join(out, e["path"])
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(decoded(packages, e))


def deltas(control, packages, old, out):
    os.makedirs(out, exist_ok=True)
    for i, e in enumerate(entries(control)):
        delta = os.path.join(out, "%d.vcdiff" % i)
        with open(delta, "wb") as f:
            f.write(decoded(packages, e))
        print(os.path.join(old, e["path"]), delta, os.path.join(out, "%d.new" % i), sep="\t")


def xdelta(listing):
    for line in open(listing):
        old, delta, new = line.rstrip("\n").split("\t")
        subprocess.run(["xdelta3", "-f", "-d", "-s", old, delta, new], check=True)


def uncovered(new, old, delta):
    """Entries of the new version that neither the old one nor a delta gives."""
    have = {(e["path"].lower(), e["sha1"]) for e in entries(old)}
    patched = {e["path"].lower() for e in entries(delta)}
    return [e["line"] for e in entries(new)
            if (e["path"].lower(), e["sha1"]) not in have and e["path"].lower() not in patched]


def ranges(control, url, out):
    for i, e in enumerate(entries(control)):
        print('%surl = "%s%s"\nrange = "%d-%d"\noutput = "%s/%d"' % (
            "next\n" if i else "", url, e["package"], e["offset"], e["offset"] + e["stored"] - 1, out, i))


def needed(new, old, delta, packages):
    """Description files, delta packages and the stored bytes of what no delta covers."""
    total = sum(int(line.split("|")[6]) for line in uncovered(new, old, delta))
    for root, _, files in os.walk(packages):
        for name in files:
            if name.endswith(".txt") or name.endswith(".7z") or (name.endswith(".pak") and "deltas" in root):
                total += os.path.getsize(os.path.join(root, name))
    print(total)


def table(results, rtt_ms, singles):
    rtt_ms, singles = float(rtt_ms), int(singles)
    runs = {}
    for line in open(results):
        job, role, wall, cpu, rss, sent = line.split()
        runs.setdefault((job, role), []).append((float(wall), float(cpu), int(rss), int(sent)))

    def med(job, role, i=0):
        values = [r[i] for r in runs.get((job, role), [])]
        return statistics.median(values) if values else float("nan")

    # Three round trips come before the first entry can be asked for: the
    # connection, the version info, then the control file it names.
    ideal = (singles / 4.0 + 3) * rtt_ms / 1000.0 + med("single", "transfer")
    rows = [  # name, reference time, goal, limit, job
        ("fresh install / slowest stage alone", max(med("install", "ravel-get"), med("install", "stage")),
         "<= 1.15", 1.15, "install"),
        ("fresh install / aria2c -x4 + xz -d", med("install", "by-hand"), "<= 0.6", 0.6, "install"),
        ("update 1.0->1.1 / ravel-get deltas + xdelta3 + decoding new",
         med("update", "ravel-get") + med("update", "xdelta3") + med("update", "stage"), "<= 1.2", 1.2, "update"),
        ("no-op update / rsync -an --delete", med("noop", "rsync"), "<= 1, <= 0.5 s", 1.0, "noop"),
        ("fresh install of small files / tar -xf", med("small", "tar"), "<= 3", 3.0, "small"),
        ("%d single entries, %g ms RTT / (N/4+3)*RTT + transfer" % (singles, rtt_ms), ideal, "<= 1.5", 1.5,
         "single"),
        ("  the same / curl -Z, 4 at a time over the same link", med("single", "curl"), "(link check)", None,
         "single")]
    print("%-60s %8s %8s %6s %7s %8s  %-15s %s" % ("job", "ours s", "ref s", "ratio", "CPU s", "RSS MiB",
                                                   "goal", "met"))
    for name, ref, goal, limit, job in rows:
        if (job, "patcher") not in runs:
            continue
        ours = med(job, "patcher")
        ratio = ours / ref if ref > 0 else float("nan")
        met = ratio <= limit and (job != "noop" or ours <= 0.5) if limit is not None else None
        print("%-60s %8.2f %8.2f %6.2f %7.2f %8.1f  %-15s %s" % (
            name, ours, ref, ratio, med(job, "patcher", 1), med(job, "patcher", 2) / 1024.0, goal,
            "-" if met is None else "yes" if met else "NO"))
    if ("update", "patcher") in runs:
        fetched, ref_bytes = med("update", "patcher", 3), med("update", "needed", 3)
        print("%-60s %8d %8d %6.2f %7s %8s  %-15s %s" % ("update bytes fetched / deltas + descriptions + new",
              fetched, ref_bytes, fetched / ref_bytes, "", "", "<= 1.05",
              "yes" if fetched <= 1.05 * ref_bytes else "NO"))
    if ("install", "patcher") in runs:
        rss = max(r[2] for r in runs[("install", "patcher")]) / 1024.0
        print("%-60s %8s %8s %6s %7s %8.1f  %-15s %s" % ("peak memory of the fresh install", "", "", "", "", rss,
                                                         "<= 200 MiB", "yes" if rss <= 200 else "NO"))
    print("(medians of %d runs; bytes in the time columns for the bytes row)" %
          max(len(v) for v in runs.values()))


if __name__ == "__main__":
    cmd = sys.argv[1] if len(sys.argv) > 1 else ""
    if cmd == "uncovered":
        sys.stdout.write("".join(uncovered(*sys.argv[2:])))
    elif cmd in ("tree", "unlzma", "unpack", "deltas", "xdelta", "needed", "ranges", "table"):
        globals()[cmd](*sys.argv[2:])
    else:
        sys.exit(__doc__)
