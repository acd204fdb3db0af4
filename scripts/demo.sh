#!/usr/bin/env bash
# The built-in example, end to end: generates a small game in two releases,
# publishes both (the second with deltas from the first), serves them from a
# local nginx, and runs the updater as a player's machine would: a fresh
# install with the launcher connected, the update to 1.1, a no-op update, a
# full update after damage, an uninstall. After each step: the exit code, the
# bytes nginx sent and whether the destination equals the published content.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/nginx-lib.sh

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
LAUNCHER="$BIN/tools/launcher/patcher-launcher"

WORK=$(mktemp -d /tmp/patcher-demo-XXXXXX)
NGINX_PID=""
LAUNCHER_PID=""
cleanup() {
  for pid in "$LAUNCHER_PID" "$NGINX_PID"; do
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  done
  rm -rf "$WORK"
}
trap cleanup EXIT

step() { echo; echo "== $*"; }
DEST="$WORK/installed/Example Game"
LOGS="$WORK/logs"
ACCESS="$WORK/nginx/access.log"

# Body bytes nginx sent since the last call (each line of its access log starts
# with that number; the count of lines already summed is kept in a file, for
# this runs in a subshell).
served_since() {
  sleep 0.2 # nginx writes a request's line when the request has ended
  local done total
  done=$(cat "$WORK/served.lines" 2>/dev/null || echo 0)
  total=$(wc -l < "$ACCESS")
  tail -n +"$((done + 1))" "$ACCESS" | head -n "$((total - done))" | awk '{ s += $1 } END { print s + 0 }'
  echo "$total" > "$WORK/served.lines"
}

# Equal when the destination holds the content's files, byte for byte, and
# besides them only the hidden metadata folder.
tree_state() {
  local content=$1
  if diff -r --no-dereference -x .kvo.meta.dir "$content" "$DEST" >"$WORK/diff.txt" 2>&1; then
    echo "equals $(basename "$content")"
  else
    echo "DIFFERS from $(basename "$content"):"; head -5 "$WORK/diff.txt"
  fi
}

# The lines of the run's log that show what it did.
log_summary() {
  grep -h -E "Outdated items recoverable by delta|Whole package|Single entries to be processed|Adding [0-9]+ packages|not outdated|Removing deleted|Unidentified files|File: |Entry removed from cache|Distribution uninstalled|INTERRUPTED|UpdateError|PocoException" \
    "$LOGS/$1"-*.log | sed -E 's/^[0-9-]+ [0-9:.]+ //' | sed 's/^/   log: /' | head -12 || true
}

# patcher with the run's own log file; prints exit code, bytes served, tree state.
run_patcher() {
  local name=$1 content=$2; shift 2
  local rc=0
  "$PATCHER" --dest "$DEST" --log-dir "$LOGS" --log-file "$name" "$@" || rc=$?
  echo
  echo "-> exit code $rc, nginx sent $(served_since) bytes, destination $(tree_state "$content")"
  log_summary "$name"
}

step "an example game, version 1.0 and its next release 1.1"
"$EXAMPLEGEN" --out "$WORK/content/1.0" --variant 1 --size-mib 8
"$EXAMPLEGEN" --out "$WORK/content/1.1" --variant 2 --size-mib 8
# 1.1 also brings an expansion: new files enough to fill packages of their own.
"$EXAMPLEGEN" --out "$WORK/content/1.1/Expansion" --variant 1 --size-mib 2 --seed 11
for v in 1.0 1.1; do
  echo "$v: $(find "$WORK/content/$v" -type f | wc -l) files, $(du -sb "$WORK/content/$v" | cut -f1) bytes"
done

step "publishing 1.0, then 1.1 with deltas from 1.0 (packages of at most 1 MiB)"
"$PUBLISH" --content "$WORK/content/1.0" --version 1.0 --out "$WORK/site/game" --package-size 1M
"$PUBLISH" --content "$WORK/content/1.1" --version 1.1 --out "$WORK/site/game" --package-size 1M --previous 1.0
echo "-- site/game/1.1/version-info.txt"
tr -d '\r' < "$WORK/site/game/1.1/version-info.txt" | sed -n '1,16p'

step "serving site/ from nginx on loopback"
start_nginx "$WORK/site" "$WORK/nginx"
SRC="http://127.0.0.1:$PORT/game"
echo "sources: $SRC/1.0/ and $SRC/1.1/"

step "1. fresh install of 1.0, brief display, patcher-launcher connected"
"$LAUNCHER" --timeout 30 >"$WORK/launcher.out" 2>"$WORK/launcher.err" &
LAUNCHER_PID=$!
for _ in $(seq 100); do grep -q "listening on port" "$WORK/launcher.err" 2>/dev/null && break; sleep 0.05; done
LPORT=$(sed -n 's/^listening on port //p' "$WORK/launcher.err")
run_patcher install "$WORK/content/1.0" --url "$SRC/1.0/" --progress brief --progress-update-freq 250 \
  --game-id 1 --server-port "$LPORT"
wait "$LAUNCHER_PID" || true
LAUNCHER_PID=""
echo "   launcher got $(grep -c '"progress"' "$WORK/launcher.out") progress frames; its last: $(tail -1 "$WORK/launcher.out")"

step "2. update to 1.1 (deltas, whole packages, single entries, deleted files)"
run_patcher update "$WORK/content/1.1" --url "$SRC/1.1/" --progress brief --progress-update-freq 250
echo "   (a fresh install of 1.1 would fetch $(cat "$WORK"/site/game/1.1/*.pak | wc -c) package bytes)"
removed=$(cd "$WORK/content/1.0" && find . -type f | while read -r f; do [ -e "$WORK/content/1.1/$f" ] || echo "$f"; done)
echo "   files of 1.0 that 1.1 dropped: $(echo "$removed" | grep -c .), still in the destination:" \
  "$(echo "$removed" | while read -r f; do [ -n "$f" ] && [ -e "$DEST/$f" ] && echo "$f"; done | grep -c . || true)"

step "3. the same update again: nothing to do"
run_patcher noop "$WORK/content/1.1" --url "$SRC/1.1/"

step "4. a damaged file, then a full update"
VICTIM=$(cd "$DEST" && find . -path ./.kvo.meta.dir -prune -o -type f -size +100k -print | sort | head -1)
printf 'damaged' | dd of="$DEST/$VICTIM" bs=1 seek=1000 conv=notrunc status=none
touch -d '2001-01-01' "$DEST/$VICTIM"
echo "damaged: $VICTIM -> destination $(tree_state "$WORK/content/1.1")"
run_patcher full "$WORK/content/1.1" --url "$SRC/1.1/" --full

step "5. uninstall, with a file the player added"
mkdir -p "$DEST/saves"
echo "the player's own save" > "$DEST/saves/slot1.sav"
mkdir -p "$WORK/content/left"
mkdir -p "$WORK/content/left/saves" && cp "$DEST/saves/slot1.sav" "$WORK/content/left/saves/"
run_patcher uninstall "$WORK/content/left" --url "$SRC/1.1/" --uninstall
echo "   left in the destination:"; (cd "$DEST" && find . -mindepth 1 | sed 's/^/     /')

step "done; cleaning up $WORK"
