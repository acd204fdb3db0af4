#!/usr/bin/env python3
"""How long a download holds its caller when the server misbehaves slowly:
"stall" answers with headers and then sends nothing; "drip" sends one body
byte every --interval seconds. Runs ravel-get, and curl with its default
options as the reference, against the same server and prints the seconds to
fail of each (a tool still running after --limit seconds is stopped and shown
as ">limit").

usage: time_to_fail.py --ravel-get PATH [--mode stall|drip|both] [--interval 2] [--limit 900]
"""
import argparse
import shutil
import socket
import subprocess
import tempfile
import threading
import time

SIZE = 1 << 20


def serve(mode, interval, stop):
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(64)
    server.settimeout(0.2)

    def handle(conn):
        with conn:
            conn.settimeout(0.2)
            try:
                while not stop.is_set():
                    head = b""
                    while b"\r\n\r\n" not in head and not stop.is_set():
                        try:
                            data = conn.recv(4096)
                        except socket.timeout:
                            continue
                        if not data:
                            return
                        head += data
                    method = head.split(b" ", 1)[0]
                    range_line = [l for l in head.split(b"\r\n") if l.lower().startswith(b"range:")]
                    length = SIZE
                    status = b"200 OK"
                    extra = b""
                    if range_line:
                        first, last = range_line[0].split(b"=")[1].split(b"-")
                        length = int(last) - int(first) + 1
                        status = b"206 Partial Content"
                        extra = b"Content-Range: bytes %s-%s/%d\r\n" % (first, last, SIZE)
                    conn.sendall(b"HTTP/1.1 " + status + b"\r\nContent-Length: %d\r\n" % length + extra + b"\r\n")
                    if method == b"HEAD":
                        continue
                    while not stop.is_set():
                        if mode == "drip":
                            conn.sendall(b"x")
                        stop.wait(interval if mode == "drip" else 0.2)
                    return
            except OSError:
                return

    def accept():
        while not stop.is_set():
            try:
                conn, _ = server.accept()
            except socket.timeout:
                continue
            threading.Thread(target=handle, args=(conn,), daemon=True).start()
        server.close()

    threading.Thread(target=accept, daemon=True).start()
    return server.getsockname()[1]


def timed(cmd, limit):
    start = time.monotonic()
    try:
        proc = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=limit)
        return time.monotonic() - start, proc.returncode, proc.stderr.decode(errors="replace").strip()[-200:]
    except subprocess.TimeoutExpired:
        return None, None, ""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ravel-get", required=True)
    parser.add_argument("--mode", default="both", choices=["stall", "drip", "both"])
    parser.add_argument("--interval", type=float, default=2.0)
    parser.add_argument("--limit", type=float, default=900)
    args = parser.parse_args()
    modes = ["stall", "drip"] if args.mode == "both" else [args.mode]
    with tempfile.TemporaryDirectory() as work:
        for mode in modes:
            stop = threading.Event()
            url = "http://127.0.0.1:%d/file" % serve(mode, args.interval, stop)
            tools = [("ravel-get", [args.ravel_get, url, work + "/ravel.out"])]
            if shutil.which("curl"):
                tools.append(("curl", ["curl", "-sS", "-o", work + "/curl.out", url]))
            results = {}
            for name, cmd in tools:
                seconds, code, err = timed(cmd, args.limit)
                results[name] = seconds
                shown = ">%.0f" % args.limit if seconds is None else "%.1f" % seconds
                print("%-5s %-9s seconds to fail: %s (exit %s) %s" % (mode, name, shown, code, err.splitlines()[-1:]))
            if results.get("ravel-get") and results.get("curl"):
                print("%-5s ratio ravel-get / curl: %.2f" % (mode, results["ravel-get"] / results["curl"]))
            stop.set()


if __name__ == "__main__":
    main()
