#!/usr/bin/env bash
# Runs a command inside the project's Debian 13 root (created on first use).
# The repository's parent folder is bind-mounted at the same path, so ../shared
# is visible and paths agree inside and out; the command runs in the current
# directory.  All mounts live in a private mount namespace and vanish with it.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
parent=$(dirname "$repo")
ROOT=${QTK_ROOT:-/opt/qtk-trixie-root}
export QTK_ROOT=$ROOT

"$here/make-root.sh"

[ $# -gt 0 ] || set -- bash
exec unshare --mount --propagation private -- bash -c '
    set -e
    root=$1 parent=$2 cwd=$3; shift 3
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    mkdir -p "$root$parent"
    mount --rbind "$parent" "$root$parent"
    exec chroot "$root" /usr/bin/env -i \
        HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        LANG=C.UTF-8 TERM="${TERM:-dumb}" ${OMP_NUM_THREADS:+OMP_NUM_THREADS=$OMP_NUM_THREADS} \
        ${CI:+CI=$CI} ${BUILD_DIR:+BUILD_DIR=$BUILD_DIR} ${QTK_ONLY:+QTK_ONLY=$QTK_ONLY} \
        ${QTK_MODULE_DIR:+QTK_MODULE_DIR=$QTK_MODULE_DIR} \
        bash -c "cd \"\$0\" && exec \"\$@\"" "$cwd" "$@"
' bash "$ROOT" "$parent" "$PWD" "$@"
