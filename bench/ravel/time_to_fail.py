#!/usr/bin/env python3
"""Seconds to fail of ravel-get and, as the reference, curl with its defaults against a server that
answers with headers and then nothing ("stall") or one body byte every --interval seconds ("drip");
a tool still running after --limit seconds is stopped and shown as ">limit".
usage: time_to_fail.py --ravel-get PATH [--mode stall|drip|both] [--interval 2] [--limit 900]"""
import argparse
import re
import socketserver
import subprocess
import tempfile
import threading
import time

SIZE = 1 << 20


def serve(mode, interval, stop):
    """Answers every request with correct headers, then stalls or drips."""
    class Handler(socketserver.StreamRequestHandler):
        def handle(self):
            try:
                while True:
                    lines = []
                    while (line := self.rfile.readline()) not in (b"", b"\r\n"):
                        lines.append(line)
                    if not line:
                        return
                    request = b"".join(lines)
                    rng = re.search(rb"(?im)^range:\s*bytes=(\d+)-(\d+)", request)
                    if rng:
                        first, last = int(rng.group(1)), int(rng.group(2))
                        answer = b"206 Partial Content\r\nContent-Range: bytes %d-%d/%d" % (first, last, SIZE)
                        length = last - first + 1
                    else:
                        answer, length = b"200 OK", SIZE
                    self.wfile.write(b"HTTP/1.1 %s\r\nContent-Length: %d\r\n\r\n" % (answer, length))
                    if request.startswith(b"HEAD"):
                        continue
                    while not stop.is_set():
                        if mode == "drip":
                            self.wfile.write(b"x")
                        stop.wait(interval if mode == "drip" else 0.2)
                    return
            except OSError:
                pass  # the client gave up

    server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, args=(0.2,), daemon=True).start()
    return server


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ravel-get", required=True)
    parser.add_argument("--mode", default="both", choices=["stall", "drip", "both"])
    parser.add_argument("--interval", type=float, default=2.0)
    parser.add_argument("--limit", type=float, default=900)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        for mode in ["stall", "drip"] if args.mode == "both" else [args.mode]:
            stop = threading.Event()
            server = serve(mode, args.interval, stop)
            url = "http://127.0.0.1:%d/file" % server.server_address[1]
            tools = [("ravel-get", [args.ravel_get, url, work + "/ravel.out"]),
                     ("curl", ["curl", "-sS", "-o", work + "/curl.out", url])]
            results = {}
            for name, cmd in tools:
                start = time.monotonic()
                try:
                    proc = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=args.limit)
                    seconds, code = time.monotonic() - start, proc.returncode
                    err = proc.stderr.decode(errors="replace").strip()[-200:]
                except subprocess.TimeoutExpired:
                    seconds, code, err = None, None, ""
                results[name] = seconds
                shown = ">%.0f" % args.limit if seconds is None else "%.1f" % seconds
                print("%-5s %-9s seconds to fail: %s (exit %s) %s" % (mode, name, shown, code, err.splitlines()[-1:]))
            ours, ref = results["ravel-get"], results["curl"]
            if ours is not None:  # a reference still running at the limit bounds the ratio
                print("%-5s ratio ravel-get / curl: %s%.2f" % (mode, "<" if ref is None else "", ours / (ref or args.limit)))
            stop.set()
            server.shutdown()
            server.server_close()


if __name__ == "__main__":
    main()
