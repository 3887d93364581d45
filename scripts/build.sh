#!/bin/bash
# Configures and builds into the folder given (default: build), passing any
# further arguments to CMake's configure step; "--target <name>..." at the
# end builds only those targets. Ninja and ccache are used when present.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
configure=()
targets=()
while (($#)); do
  if [[ $1 == --target ]]; then
    shift
    targets=("$@")
    break
  fi
  configure+=("$1")
  shift
done
# The compiler cache keys on paths relative to the folder that holds the
# checkout, so that another clone of the project hits the same entries.
# (Debug information then names the folder of whichever build compiled a
# file first.)
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(cd .. && pwd)}
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
generator=()
if [[ ! -f $dir/CMakeCache.txt ]] && command -v ninja >/dev/null; then
  generator=(-G Ninja)
fi
cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${configure[@]}" >/dev/null
if ((${#targets[@]})); then
  cmake --build "$dir" -j2 --target "${targets[@]}"
else
  cmake --build "$dir" -j2
fi
