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

projects=" platform base distr progress ravel engine app tools tests bench "

# The project folder an include names, or nothing for a header from outside
# (<vector>, <Poco/...>). Quoted names are searched beside the including file
# first, as the compiler does, so "../engine/X.h" counts as engine.
target_of() {
  local file=$1 name=$2 quoted=$3 resolved
  if [ "$quoted" = 1 ] && [ -e "$(dirname "$file")/$name" ]; then
    resolved=$(realpath -m --relative-to=. "$(dirname "$file")/$name")
    echo "${resolved%%/*}"
  elif [[ "$name" == */* && "$projects" == *" ${name%%/*} "* ]]; then
    echo "${name%%/*}"
  fi
}

bad=0
for dir in platform base distr progress ravel engine app tools; do
  ok=" $(allowed "$dir") "
  while IFS=: read -r file line text; do
    [[ "$text" =~ include[[:space:]]*([\"\<])([^\"\>]+) ]] || continue
    quoted=0
    [ "${BASH_REMATCH[1]}" = '"' ] && quoted=1
    target=$(target_of "$file" "${BASH_REMATCH[2]}" "$quoted")
    if [ -n "$target" ] && [[ "$ok" != *" $target "* ]]; then
      echo "$file:$line: $dir may not include from $target/: $text" >&2
      bad=1
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]' "$dir" \
             --include='*.h' --include='*.hpp' --include='*.cpp' --include='*.c' || true)
done
if [ "$bad" -ne 0 ]; then
  echo "layer check failed: see the graph in CMakeLists.txt" >&2
  exit 1
fi
echo "layer check: includes follow the graph"
