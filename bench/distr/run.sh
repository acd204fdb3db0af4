#!/usr/bin/env bash
# Times the distribution formats beside the system tools on the same inputs, in
# the same run: LZMA decoding against xz, SHA-1 against openssl and sha1sum,
# the whole-file copy against cp,
# loading a 200 000-entry control file and cache file against sort.
#   BUILD_DIR  build directory holding bench/distr/bench_distr (default: build)
#   WORK_DIR   where the inputs go (default: a fresh directory under /tmp)
#   LZMA_MB    size of the LZMA inputs in MiB (default 256)
#   SHA_MB     size of the hashed file in MiB (default 1024)
#   RUNS       repetitions; the best time counts (default 3)
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build}
BENCH="$BUILD_DIR/bench/distr/bench_distr"
LZMA_MB=${LZMA_MB:-256}
SHA_MB=${SHA_MB:-1024}
RUNS=${RUNS:-3}
[ -x "$BENCH" ] || cmake --build "$BUILD_DIR" --target bench_distr -j2
WORK_DIR=${WORK_DIR:-$(mktemp -d /tmp/bench-distr-XXXXXX)}
mkdir -p "$WORK_DIR"
echo "inputs in $WORK_DIR"

. bench/lib.sh
# "wall cpu" of the fastest of RUNS runs of a command (cpu: user + system, the
# fairer figure on a busy machine).
best() {
  local i
  for ((i = 0; i < RUNS; i++)); do timed "$WORK_DIR/run" "$@"; cut -d' ' -f1,2 "$WORK_DIR/run"; done | sort -n | head -1
}

report() { # name, "ours-wall ours-cpu", "their-wall their-cpu", their tool, bytes
  local ow oc tw tc
  read -r ow oc <<<"$2"
  read -r tw tc <<<"$3"
  printf "%-20s ours %6s s wall %6s s cpu (%6s MiB/s)  %-20s %6s s wall %6s s cpu  ratio wall %s cpu %s\n" "$1" "$ow" \
    "$oc" "$(calc "$5 / 1048576 / max($ow, 0.01)" .1f)" "$4" "$tw" "$tc" "$(calc "$tw / max($ow, 0.01)")" \
    "$(calc "$tc / max($oc, 0.01)")"
}

# Realistic content: the system's libraries, programs and documentation, as tar.
realistic="$WORK_DIR/realistic.bin"
if [ ! -f "$realistic" ]; then
  tar -cf - /usr/lib /usr/share /usr/bin 2>/dev/null | head -c $((LZMA_MB << 20)) > "$realistic" || true
fi
random="$WORK_DIR/random.bin"
[ -f "$random" ] || head -c $((LZMA_MB << 20)) /dev/urandom > "$random"
[ -f "$realistic.lzma" ] || xz --format=lzma -3 -T1 -c "$realistic" > "$realistic.lzma"
[ -f "$random.lzma" ] || xz --format=lzma -0 -c "$random" > "$random.lzma"

echo "== LZMA decoding (output to /dev/null)"
for f in "$realistic" "$random"; do
  ours=$(best "$BENCH" decode "$f.lzma")
  theirs=$(best sh -c "xz --format=lzma -d -c '$f.lzma' > /dev/null")
  report "decode $(basename "$f")" "$ours" "$theirs" "xz --format=lzma -d" "$(stat -c %s "$f")"
done

echo "== SHA-1 of a cached ${SHA_MB} MiB file"
big="$WORK_DIR/hash.bin"
[ -f "$big" ] || head -c $((SHA_MB << 20)) /dev/urandom > "$big"
cat "$big" > /dev/null
ours=$(best "$BENCH" sha1 "$big")
theirs=$(best openssl dgst -sha1 "$big")
report "sha1OfFile" "$ours" "$theirs" "openssl dgst -sha1" "$(stat -c %s "$big")"
theirs=$(best sha1sum "$big")
report "sha1OfFile" "$ours" "$theirs" "sha1sum" "$(stat -c %s "$big")"

echo "== Whole-file copy of the same cached file"
ours=$(best "$BENCH" copy "$big" "$WORK_DIR/copy.bin")
theirs=$(best cp "$big" "$WORK_DIR/copy-cp.bin")
report "copyWholeFile" "$ours" "$theirs" "cp" "$(stat -c %s "$big")"
rm -f "$WORK_DIR/copy.bin" "$WORK_DIR/copy-cp.bin"

echo "== Loading 200 000 entries"
python3 - "$WORK_DIR" <<'PY'
import hashlib, os, sys
work = sys.argv[1]
os.makedirs(os.path.join(work, "root", ".kvo.meta.dir"), exist_ok=True)
with open(os.path.join(work, "control.txt"), "w", newline="") as c, \
     open(os.path.join(work, "root", ".kvo.meta.dir", ".kvo.cache.txt"), "w", newline="") as k:
    for i in range(200000):
        h = hashlib.sha1(str(i).encode()).hexdigest()
        path = "Data/Textures/dir%03d/file_%06d.dds" % (i % 500, i)
        c.write("1|%s|%s||pack%03d|%d|%d|%d|%s\r\n" % (path, h, i % 100, i * 1000, 500, 900, "" if i % 7 else "2"))
        k.write("%s|%s|%d|%d\r\n" % (path, h, 900 + i, 1700000000 + i))
PY
# The cache is written in path order; sort it the same way so both loads see sorted input.
LC_ALL=C sort -o "$WORK_DIR/root/.kvo.meta.dir/.kvo.cache.txt" "$WORK_DIR/root/.kvo.meta.dir/.kvo.cache.txt"
ours=$(best "$BENCH" control "$WORK_DIR/control.txt")
theirs=$(best sort "$WORK_DIR/control.txt")
report "ControlFile::load" "$ours" "$theirs" "sort" "$(stat -c %s "$WORK_DIR/control.txt")"
ours=$(best "$BENCH" cache "$WORK_DIR/root")
theirs=$(best sort "$WORK_DIR/root/.kvo.meta.dir/.kvo.cache.txt")
report "FileCache load" "$ours" "$theirs" "sort" "$(stat -c %s "$WORK_DIR/root/.kvo.meta.dir/.kvo.cache.txt")"
echo "(ratio = their time / our time: above 1 means we are faster, 0.5 means we take twice as long)"
