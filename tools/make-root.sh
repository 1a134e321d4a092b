#!/usr/bin/env bash
# Creates (once per machine) the Debian 13 root that every build, test,
# benchmark and demonstration of this project runs in, and unpacks Debian's
# pybind11 3.x headers from the testing suite into it.  Idempotent: a stamp
# records the package list, and the root is only updated when that list changes.
# Guarded by flock so that parallel runs do not race.
set -euo pipefail

ROOT=${QTK_ROOT:-/opt/qtk-trixie-root}
MIRROR=${QTK_MIRROR:-http://deb.debian.org/debian}
PACKAGES="python3 python3-dev python3-numpy python3-torch libtorch-dev \
libeigen3-dev g++ cmake ninja-build python3-pytest libgtest-dev \
libbenchmark-dev gdb valgrind time ca-certificates"
PYBIND11_SUITE=forky
STAMP_TEXT="packages: $PACKAGES | pybind11: $PYBIND11_SUITE"

mkdir -p "$(dirname "$ROOT")"
exec 9>"$ROOT.lock"
flock 9

stamp="$ROOT/.qtk-stamp"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$STAMP_TEXT" ]; then
    exit 0
fi

log() { echo "[make-root] $*" >&2; }

if [ ! -x "$ROOT/usr/bin/apt-get" ] || [ ! -f "$ROOT/.qtk-bootstrapped" ]; then
    if ! command -v debootstrap >/dev/null 2>&1; then
        log "installing debootstrap on the host"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    fi
    log "bootstrapping Debian trixie into $ROOT"
    rm -rf "$ROOT"
    debootstrap --variant=minbase trixie "$ROOT" "$MIRROR" >/dev/null
    touch "$ROOT/.qtk-bootstrapped"
fi

# Runs a command in the root with /proc, /sys and /dev mounted in a private
# mount namespace (the mounts vanish with the process).
in_root() {
    unshare --mount --propagation private -- bash -c '
        set -e
        root=$1; shift
        mount -t proc proc "$root/proc"
        mount --rbind /sys "$root/sys"
        mount --rbind /dev "$root/dev"
        cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
        exec chroot "$root" "$@"
    ' bash "$ROOT" "$@"
}

log "installing packages in the root"
in_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $PACKAGES >/dev/null

# pybind11 3.x: fetch the package of the testing suite with a private sources
# list, lists folder and cache, so neither the host's nor the root's apt
# configuration changes; unpack it with dpkg-deb (no dependency handling, the
# package is headers and CMake files only).
log "fetching pybind11-dev from $PYBIND11_SUITE"
priv=/var/tmp/qtk-pybind11
in_root bash -c "
    set -e
    rm -rf $priv && mkdir -p $priv/lists/partial $priv/cache/archives/partial $priv/deb
    echo 'deb $MIRROR $PYBIND11_SUITE main' > $priv/sources.list
    opts='-o APT::Sandbox::User=root -o Acquire::Check-Valid-Until=false -o Dir::Etc::SourceList=$priv/sources.list -o Dir::Etc::SourceParts=/dev/null -o Dir::State::Lists=$priv/lists -o Dir::Cache=$priv/cache'
    apt-get \$opts update -qq
    cd $priv/deb && apt-get \$opts download pybind11-dev
    if dpkg -s pybind11-dev >/dev/null 2>&1; then apt-get remove -y -qq pybind11-dev; fi
    dpkg-deb -x $priv/deb/pybind11-dev_*.deb /
    rm -rf $priv
"
echo "$STAMP_TEXT" > "$stamp"
log "root ready"
