#!/usr/bin/env bash
# The built-in example: generates a small game in two versions, publishes both
# (the second with deltas from the first), serves the publication over HTTP
# from a local nginx, downloads from it with the download library, and runs the
# updater against it with its log on the console.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

BUILD_DIR=${BUILD_DIR:-build}
echo "== building (first time takes a few minutes)"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" \
  --target patcher patcher-publish patcher-examplegen ravel-get patcher-launcher >/dev/null

BIN=$(cd "$BUILD_DIR" && pwd)
PATCHER="$BIN/app/patcher"
PUBLISH="$BIN/tools/publish/patcher-publish"
EXAMPLEGEN="$BIN/tools/examplegen/patcher-examplegen"
RAVEL_GET="$BIN/tools/ravel-get/ravel-get"

WORK=$(mktemp -d /tmp/patcher-demo-XXXXXX)
NGINX_PID=""
cleanup() {
  if [ -n "$NGINX_PID" ]; then kill "$NGINX_PID" 2>/dev/null || true; wait "$NGINX_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

step() { echo; echo "== $*"; }

step "patcher --help"
"$PATCHER" --help

step "an example game, version 1.0 and its next release 1.1"
"$EXAMPLEGEN" --out "$WORK/content-1.0" --variant 1 --size-mib 8
"$EXAMPLEGEN" --out "$WORK/content-1.1" --variant 2 --size-mib 8
echo "1.0: $(find "$WORK/content-1.0" -type f | wc -l) files, $(du -sh "$WORK/content-1.0" | cut -f1)"
echo "1.1: $(find "$WORK/content-1.1" -type f | wc -l) files, $(du -sh "$WORK/content-1.1" | cut -f1)"

step "publishing 1.0, then 1.1 with deltas from 1.0"
"$PUBLISH" --content "$WORK/content-1.0" --version 1.0 --out "$WORK/site/game"
"$PUBLISH" --content "$WORK/content-1.1" --version 1.1 --out "$WORK/site/game" --previous 1.0
echo
echo "-- $WORK/site/game/1.1/version-info.txt"
tr -d '\r' < "$WORK/site/game/1.1/version-info.txt"
echo "-- the publication of 1.1"
(cd "$WORK/site/game/1.1" && find . -type f -printf '%10s  %p\n' | sort -k2)

step "serving the publication from nginx on loopback"
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$WORK/nginx/tmp"
cat > "$WORK/nginx/nginx.conf" <<CONF
user root;
worker_processes 1;
daemon off;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log warn;
events { worker_connections 256; }
http {
  access_log off;
  client_body_temp_path $WORK/nginx/tmp;
  proxy_temp_path $WORK/nginx/tmp;
  fastcgi_temp_path $WORK/nginx/tmp;
  uwsgi_temp_path $WORK/nginx/tmp;
  scgi_temp_path $WORK/nginx/tmp;
  default_type application/octet-stream;
  sendfile on;
  server { listen 127.0.0.1:$PORT; root $WORK/site; }
}
CONF
nginx -p "$WORK/nginx" -e "$WORK/nginx/error.log" -c "$WORK/nginx/nginx.conf" &
NGINX_PID=$!
for _ in $(seq 50); do [ -f "$WORK/nginx/nginx.pid" ] && break; sleep 0.1; done
URL="http://127.0.0.1:$PORT/game/1.1/"
echo "source: $URL"

step "downloading the largest file of the publication over 4 connections"
LARGEST=$(cd "$WORK/site/game/1.1" && find . -type f -printf '%s %P\n' | sort -n | tail -1 | cut -d' ' -f2-)
mkdir -p "$WORK/download"
"$RAVEL_GET" "$URL$LARGEST" "$WORK/download/$(basename "$LARGEST")" --connections 4
echo "published:  $(sha1sum < "$WORK/site/game/1.1/$LARGEST" | cut -d' ' -f1)"
echo "downloaded: $(sha1sum < "$WORK/download/$(basename "$LARGEST")" | cut -d' ' -f1)"

step "the updater against the publication (log on the console and in $WORK/logs)"
set +e
"$PATCHER" --url "$URL" --dest "$WORK/installed" --log-dir "$WORK/logs" --log-file demo --progress brief
rc=$?
set -e
echo "exit code: $rc"
echo
echo "The update engine is not built yet: the run ends with \"Dummy launch.\" and 70."
