#!/usr/bin/env bash
# Sets up the root if needed, builds, and runs the short demonstration.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
exec tools/in-root.sh bash -c 'tools/build.sh >/dev/null && python3 demo/demo.py'
