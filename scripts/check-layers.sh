#!/usr/bin/env bash
# Fails when a source file includes a header from a folder its library may not
# use. Header-only code (base/Singleton.h) makes linking alone blind to this.
#   platform <- base <- {distr, progress, ravel} <- engine <- app
set -euo pipefail
cd "$(dirname "$0")/.."

allowed() {
  case "$1" in
    platform) echo "platform" ;;
    base)     echo "platform base" ;;
    distr)    echo "platform base distr" ;;
    progress) echo "platform base progress" ;;
    ravel)    echo "platform base ravel" ;;
    engine)   echo "platform base distr progress ravel engine" ;;
    app)      echo "platform base distr progress ravel engine app" ;;
    tools)    echo "platform base distr progress ravel engine tools" ;;
  esac
}

bad=0
for dir in platform base distr progress ravel engine app tools; do
  ok=" $(allowed "$dir") "
  while IFS=: read -r file line text; do
    target=$(sed -E 's/.*#include "([a-z_-]+)\/.*/\1/' <<<"$text")
    if [[ "$ok" != *" $target "* ]]; then
      echo "$file:$line: $dir may not include from $target/: $text" >&2
      bad=1
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[a-z_-]+/' "$dir" \
             --include='*.h' --include='*.cpp' --include='*.c' || true)
done
if [ "$bad" -ne 0 ]; then
  echo "layer check failed: see the graph in CMakeLists.txt" >&2
  exit 1
fi
echo "layer check: includes follow the graph"
