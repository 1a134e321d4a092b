#!/usr/bin/env bash
# Sets up the root if needed, builds, and runs every test: the C++ tests
# through ctest, then the Python tests through pytest.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
exec tools/in-root.sh bash -c '
    set -euo pipefail
    tools/build.sh
    status=0
    (cd "${BUILD_DIR:-build}" && ctest --output-on-failure -j 4) || status=1
    QTK_MODULE_DIR=${QTK_MODULE_DIR:-$PWD/${BUILD_DIR:-build}/python} \
        python3 -m pytest -q -p no:cacheprovider tests/python || status=1
    exit $status
'
