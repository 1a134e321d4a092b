#!/usr/bin/env bash
# Configures and builds every module, test and benchmark into build/ (or
# $BUILD_DIR).  $QTK_ONLY, a ;-separated list of folders, restricts the build;
# further arguments go to the CMake configure step (for example compiler flags).
# Runs inside the project's root (see tools/in-root.sh).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
dir=${BUILD_DIR:-build}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "-DQTK_ONLY=${QTK_ONLY:-}" "$@" \
    >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" -j "$(nproc)"
