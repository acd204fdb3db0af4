#!/usr/bin/env python3
"""ravel-get (1 and 4 connections), curl and aria2c (-x1 -s1, -x4 -s4, falloc) each fetch one large file
from nginx on loopback into a fresh file, in the same run; prints wall time, MB/s, CPU seconds and peak
resident memory of the client. Every result is checked by SHA-1, outside the timing.
usage: download_bench.py --ravel-get PATH [--size-mib 1024] [--runs 3] [--dir DIR] [--only LABELS]"""
import argparse
import hashlib
import os
import shutil
import socket
import statistics
import subprocess
import tempfile
import time


def sha1(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha1").hexdigest()


def start_nginx(root, work):
    """An nginx of our own on a free loopback port; returns (process, port)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    conf, pid = os.path.join(work, "nginx.conf"), os.path.join(work, "nginx.pid")
    temps = "".join("  %s_temp_path %s/%s;\n" % (t, work, t) for t in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    with open(conf, "w") as f:
        f.write(("user root;\n" if os.geteuid() == 0 else "") +
                "worker_processes auto;\ndaemon off;\npid %s;\nerror_log %s/error.log warn;\n" % (pid, work) +
                "events { worker_connections 1024; }\nhttp {\n  access_log off;\n" + temps +
                "  default_type application/octet-stream;\n  sendfile on;\n  tcp_nopush on;\n"
                "  keepalive_requests 100000;\n  server {\n    listen 127.0.0.1:%d;\n    root %s;\n  }\n}\n"
                % (port, root))
    proc = subprocess.Popen(["/usr/sbin/nginx", "-p", work, "-e", os.path.join(work, "error.log"), "-c", conf])
    deadline = time.time() + 15
    while time.time() < deadline and proc.poll() is None:
        if os.path.exists(pid) and open(pid).read().strip() == str(proc.pid):
            return proc, port
        time.sleep(0.01)
    raise SystemExit("nginx did not start: " + open(os.path.join(work, "error.log")).read())


def run(cmd):
    """Runs cmd to its end; returns (wall seconds, CPU seconds, peak RSS MiB)."""
    start = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit("%s failed (%d): %s" % (cmd[0], os.waitstatus_to_exitcode(status), err))
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--ravel-get", required=True)
    ap.add_argument("--size-mib", type=int, default=1024)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--dir", default=None, help="work directory (default: a new one under /tmp)")
    ap.add_argument("--only", default=None, help="comma-separated tool labels to run")
    args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="ravel-bench-", dir=args.dir)
    root, out = os.path.join(work, "www"), os.path.join(work, "out")
    os.makedirs(root)
    os.makedirs(out)
    size = args.size_mib << 20
    source, target = os.path.join(root, "big.bin"), os.path.join(out, "big.bin")
    try:
        # Incompressible content: one MiB of random bytes, varied per MiB.
        block = os.urandom(1 << 20)
        with open(source, "wb") as f:
            for i in range(size >> 20):
                f.write(i.to_bytes(8, "little") + block[8:])
            f.write(block[:size & ((1 << 20) - 1)])
        expected = sha1(source)  # also brings the source into the page cache
        nginx, port = start_nginx(root, work)
        url = "http://127.0.0.1:%d/big.bin" % port
        aria2c = ["aria2c", "-q", "--file-allocation=falloc", "--allow-overwrite=true", "--auto-file-renaming=false",
                  "-d", out, "-o", "big.bin", url]
        tools = [
            ("ravel-get -c1", [args.ravel_get, url, target, "--connections", "1"]),
            ("ravel-get -c4", [args.ravel_get, url, target, "--connections", "4"]),
            ("curl", ["curl", "-s", "-S", "-o", target, url]),
            ("aria2c -x1 -s1", aria2c + ["-x1", "-s1"]),
            ("aria2c -x4 -s4", aria2c + ["-x4", "-s4"]),
        ]
        if args.only:
            tools = [t for t in tools if t[0] in args.only.split(",")]
        results = {label: [] for label, _ in tools}
        try:
            for r in range(args.runs):
                # Interleaved, so that drifts hit every tool alike, and rotated,
                # so that no tool always follows the same one.
                for label, cmd in tools[r % len(tools):] + tools[:r % len(tools)]:
                    for leftover in os.listdir(out):
                        os.unlink(os.path.join(out, leftover))
                    # The previous tool's gigabyte of dirty pages would otherwise
                    # throttle the writes of whichever tool comes next.
                    os.sync()
                    results[label].append(run(cmd))
                    if os.environ.get("BENCH_VERBOSE"):
                        print("  %-16s %.3f s wall %.3f s CPU" % ((label,) + results[label][-1][:2]), flush=True)
                    if sha1(target) != expected:
                        raise SystemExit("%s produced wrong bytes" % label)
        finally:
            nginx.terminate()
            nginx.wait(15)
        print("%d MiB from nginx on loopback, %d run(s), median wall time; CPU = user + system of the client"
              % (args.size_mib, args.runs))
        print("%-16s %9s %9s %9s %12s" % ("tool", "wall s", "MB/s", "CPU s", "peak RSS MiB"))
        for label, _ in tools:
            rs = results[label]
            wall = statistics.median(x[0] for x in rs)
            print("%-16s %9.3f %9.0f %9.3f %12.1f" % (label, wall, size / 1e6 / wall,
                                                     statistics.median(x[1] for x in rs), max(x[2] for x in rs)))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
