#!/usr/bin/env python3
"""Downloads one large file from nginx on loopback with ravel-get (1 and 4
connections), curl (1 connection) and aria2c (-x1 -s1, -x4 -s4, falloc) in the
same run, each into a fresh file, and prints wall time, MB/s, CPU seconds and
peak resident memory of the downloading process. Every result is checked
against the source by SHA-1 (outside the timing).

usage: download_bench.py --ravel-get PATH [--size-mib 1024] [--runs 3] [--dir DIR]
"""
import argparse
import hashlib
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

NGINX = "/usr/sbin/nginx"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_source(path, size):
    # Incompressible content; one MiB of random bytes varied per MiB.
    block = os.urandom(1 << 20)
    with open(path, "wb") as f:
        for i in range(size >> 20):
            f.write(i.to_bytes(8, "little") + block[8:])
        rest = size & ((1 << 20) - 1)
        if rest:
            f.write(block[:rest])


def sha1(path):
    h = hashlib.sha1()
    with open(path, "rb") as f:
        while True:
            b = f.read(1 << 22)
            if not b:
                return h.hexdigest()
            h.update(b)


class Nginx:
    def __init__(self, root, work):
        self.work = work
        self.port = free_port()
        conf = os.path.join(work, "nginx.conf")
        tmp = os.path.join(work, "tmp")
        os.makedirs(tmp, exist_ok=True)
        user = "user root;\n" if os.geteuid() == 0 else ""
        temps = "".join("  %s_temp_path %s/%s;\n" % (t, tmp, t) for t in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        with open(conf, "w") as f:
            f.write(user + "worker_processes auto;\ndaemon off;\npid %s/nginx.pid;\n" % work +
                    "error_log %s/error.log warn;\nevents { worker_connections 1024; }\n" % work +
                    "http {\n  access_log off;\n" + temps +
                    "  default_type application/octet-stream;\n  sendfile on;\n  tcp_nopush on;\n"
                    "  keepalive_requests 100000;\n"
                    "  server {\n    listen 127.0.0.1:%d;\n    root %s;\n  }\n}\n" % (self.port, root))
        self.proc = subprocess.Popen([NGINX, "-p", work, "-e", os.path.join(work, "error.log"), "-c", conf])
        pidfile = os.path.join(work, "nginx.pid")
        deadline = time.time() + 15
        while time.time() < deadline:
            if os.path.exists(pidfile) and open(pidfile).read().strip() == str(self.proc.pid):
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.01)
        raise SystemExit("nginx did not start: " + open(os.path.join(work, "error.log")).read())

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(15)


def run(cmd):
    """Runs cmd to its end; returns (wall seconds, CPU seconds, peak RSS MiB)."""
    start = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    if proc.returncode != 0:
        raise SystemExit("%s failed (%d): %s" % (cmd[0], proc.returncode, err))
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
    root = os.path.join(work, "www")
    os.makedirs(root)
    out = os.path.join(work, "out")
    os.makedirs(out)
    size = args.size_mib << 20
    source = os.path.join(root, "big.bin")
    try:
        make_source(source, size)
        expected = sha1(source)  # also brings the source into the page cache
        nginx = Nginx(root, work)
        url = "http://127.0.0.1:%d/big.bin" % nginx.port
        target = os.path.join(out, "big.bin")
        tools = [
            ("ravel-get -c1", [args.ravel_get, url, target, "--connections", "1"]),
            ("ravel-get -c4", [args.ravel_get, url, target, "--connections", "4"]),
            ("curl", ["curl", "-s", "-S", "-o", target, url]),
            ("aria2c -x1 -s1", ["aria2c", "-q", "-x1", "-s1", "--file-allocation=falloc", "--allow-overwrite=true",
                                "--auto-file-renaming=false", "-d", out, "-o", "big.bin", url]),
            ("aria2c -x4 -s4", ["aria2c", "-q", "-x4", "-s4", "--file-allocation=falloc", "--allow-overwrite=true",
                                "--auto-file-renaming=false", "-d", out, "-o", "big.bin", url]),
        ]
        if args.only:
            keep = set(args.only.split(","))
            tools = [t for t in tools if t[0] in keep]
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
            nginx.stop()
        print("%d MiB from nginx on loopback, %d run(s), median wall time; CPU = user + system of the client"
              % (args.size_mib, args.runs))
        print("%-16s %9s %9s %9s %12s" % ("tool", "wall s", "MB/s", "CPU s", "peak RSS MiB"))
        for label, _ in tools:
            rs = results[label]
            wall = statistics.median(x[0] for x in rs)
            cpu = statistics.median(x[1] for x in rs)
            rss = max(x[2] for x in rs)
            print("%-16s %9.3f %9.0f %9.3f %12.1f" % (label, wall, size / 1e6 / wall, cpu, rss))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
