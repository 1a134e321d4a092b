#!/usr/bin/env bash
# Sets up the root if needed, builds, and runs every test: the C++ tests
# through ctest, then the Python tests through pytest.
#
#   tools/run-tests.sh             the release build in build/ (or $BUILD_DIR)
#   tools/run-tests.sh --sanitize  the same tests on a build with AddressSanitizer
#                                  and UndefinedBehaviorSanitizer in build-asan/
#                                  (or $BUILD_DIR); any report fails the run
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
case "${1:-}" in
    "") mode=release ;;
    --sanitize) mode=sanitize ;;
    *) echo "usage: $0 [--sanitize]" >&2; exit 2 ;;
esac
exec tools/in-root.sh bash -c '
    set -euo pipefail
    if [ "$0" = sanitize ]; then
        export BUILD_DIR=${BUILD_DIR:-build-asan}
        san="-fsanitize=address,undefined -fno-sanitize-recover=undefined"
        tools/build.sh "-DCMAKE_CXX_FLAGS=-g -fno-omit-frame-pointer $san" \
            "-DCMAKE_EXE_LINKER_FLAGS=$san" "-DCMAKE_SHARED_LINKER_FLAGS=$san"
        # Leaks are not checked (the interpreter keeps objects until exit); one
        # C++ test replaces operator new to inject allocation failures, and
        # tests check that oversized allocations are reported, not aborted.
        export ASAN_OPTIONS=detect_leaks=0:alloc_dealloc_mismatch=0:allocator_may_return_null=1:detect_odr_violation=0
        # The interpreter is not instrumented: its allocations go through
        # malloc, and the sanitizer runtimes are loaded before it.
        python_env="PYTHONMALLOC=malloc LD_PRELOAD=$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
    else
        tools/build.sh
        python_env=
    fi
    dir=${BUILD_DIR:-build}
    status=0
    (cd "$dir" && ctest --output-on-failure -j 4) || status=1
    env $python_env QTK_MODULE_DIR=${QTK_MODULE_DIR:-$PWD/$dir/python} \
        python3 -m pytest -q -p no:cacheprovider tests/python || status=1
    exit $status
' "$mode"
