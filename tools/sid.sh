#!/usr/bin/env bash
# Build and test tarnwick with Debian sid's CPython 3.14 and 3.15, inside a
# Debian sid chroot (those Pythons need a newer glibc than Debian 12 has).
#
#   tools/sid.sh prepare                 make (or reuse) the chroot; prints its path
#   tools/sid.sh test VERSION [ARGS..]   build tarnwick with python VERSION (3.14 or
#                                        3.15) in the chroot and run the suite there,
#                                        passing ARGS to pytest
#
# The chroot lives outside the work tree, as the private CPython builds do:
#
#   $TARNWICK_SID_CACHE (default /var/cache/tarnwick-sid)
#     root/     the chroot (debootstrap --variant=minbase, ~1 GB)
#     .lock     held while the chroot is made, and shared while it is in use
#
# It only counts as made once root/.tarnwick-sid-complete exists; that marker
# is written last, so an interrupted preparation is started over. A warm run
# does no preparation at all.
#
# The work tree is bind-mounted into the chroot at its own path, so the build
# and venv directories under build/ (tools/run.sh's, one per interpreter ABI)
# mean the same inside and outside. Every mount is made in a private mount
# namespace and disappears with it: nothing is left mounted on the host, even
# when a run is killed.
set -euo pipefail

# Bump to force the cached chroot to be made again after changing how it is made.
RECIPE=1
PACKAGES=(python3.14-dev python3.14-venv python3.15-dev python3.15-venv g++ ca-certificates)
VERSIONS=(3.14 3.15)

prog=${0##*/}
log() { printf '[%s] %s\n' "$prog" "$*" >&2; }
die() { log "error: $*"; exit 1; }

usage() {
    cat >&2 <<EOF
usage: $prog prepare
       $prog test VERSION [PYTEST ARGS..]     VERSION: ${VERSIONS[*]}
Cache root: \${TARNWICK_SID_CACHE:-/var/cache/tarnwick-sid}
EOF
}

repo_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
source "$repo_top/tools/apt.sh"
cache=$(realpath -m "${TARNWICK_SID_CACHE:-/var/cache/tarnwick-sid}")
root=$cache/root
marker=$root/.tarnwick-sid-complete
recipe="recipe=$RECIPE packages=${PACKAGES[*]}"
# pip's CA bundle inside the chroot: a copy of the host's, since installing
# ca-certificates there writes the chroot's own bundle over
# /etc/ssl/certs/ca-certificates.crt.
host_ca=/etc/tarnwick/host-ca-certificates.crt

case "$cache/" in
    "$repo_top"/*) die "cache root $cache is inside the work tree $repo_top; set TARNWICK_SID_CACHE elsewhere" ;;
esac

warm() {
    [[ -f $marker && $(grep -m1 '^recipe: ' "$marker" || true) == "recipe: $recipe" ]]
}

# The deletion below must never reach through a mount into the host's files.
remove_tree() {
    if grep -q " $1[/ ]" /proc/self/mountinfo; then
        die "something is still mounted under $1; unmount it before it can be made again"
    fi
    rm -rf --one-file-system "$1"
}

# The URI of the machine's own Debian archive (not the security one), so the
# chroot comes from the same mirror as the host's packages.
debian_mirror() {
    local uri
    uri=$(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' 2>/dev/null |
        grep -v security | grep -m1 debian || true)
    printf '%s\n' "${uri:-http://deb.debian.org/debian/}"
}

prepare() {
    [[ $(id -u) -eq 0 ]] || die "must run as root (debootstrap, chroot and mounts need it)"
    # The marker is written last, so a warm chroot needs no lock to be seen;
    # runs that share it only hold the lock shared.
    warm && return
    mkdir -p "$cache"
    exec 9>"$cache/.lock"
    if ! flock -n 9; then
        log "the chroot is being made or used elsewhere; waiting"
        flock 9
    fi
    if warm; then
        flock -u 9
        return
    fi

    local t0=$SECONDS mirror logfile=$cache/prepare.log
    export DEBIAN_FRONTEND=noninteractive
    if ! command -v debootstrap >/dev/null; then
        log "installing debootstrap"
        tw_apt_get update >&2 || die "apt-get update failed"
        tw_apt_get install -y --no-install-recommends debootstrap >&2 \
            || die "installing debootstrap failed"
    fi
    mirror=$(debian_mirror)
    log "making a Debian sid chroot in $root from $mirror (log: $logfile)"
    remove_tree "$root"
    : >"$logfile"
    # debootstrap mounts /proc and /sys in the target while it works; a
    # private mount namespace takes them away with it if it is interrupted.
    if ! nice -n 10 unshare --mount --propagation private \
        debootstrap --variant=minbase sid "$root" "$mirror" >>"$logfile" 2>&1; then
        tail -n 30 "$logfile" >&2
        die "debootstrap failed (log: $logfile)"
    fi
    # The mirror's sid Release file may be past its Valid-Until date: sid
    # changes daily and a mirror or snapshot can lag behind it.
    printf 'Acquire::Check-Valid-Until "false";\nAPT::Install-Recommends "false";\n' \
        >"$root/etc/apt/apt.conf.d/99tarnwick"
    log "debootstrap done in $((SECONDS - t0))s; installing ${PACKAGES[*]}"
    if ! in_chroot DEBIAN_FRONTEND=noninteractive nice -n 10 sh -c "apt-get update && apt-get install -y ${PACKAGES[*]} && apt-get clean" \
        >>"$logfile" 2>&1; then
        tail -n 30 "$logfile" >&2
        die "installing the packages in the chroot failed (log: $logfile)"
    fi
    local v
    for v in "${VERSIONS[@]}"; do
        in_chroot "python$v" -c 'import sys, _testcapi, venv, ensurepip; print(sys.version)' >&2 \
            || die "python$v in the chroot is incomplete"
    done

    {
        printf 'recipe: %s\n' "$recipe"
        printf 'mirror: %s\n' "$mirror"
        printf 'made: %s in %ss\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)" "$((SECONDS - t0))"
    } >"$marker.tmp"
    mv -f "$marker.tmp" "$marker"
    log "chroot made in $((SECONDS - t0))s ($(du -sh --one-file-system "$root" | cut -f1))"
    flock -u 9
}

# in_chroot CMD..: run CMD in the chroot, in a private mount namespace with
# /proc, /dev and the work tree mounted, with a clean environment: the host's
# PIP_* settings (except those naming a folder the chroot lacks, and with the
# CA bundle pointed at the host's copy), proxies, and tarnwick's own settings.
in_chroot() {
    mkdir -p "$root/etc/tarnwick"
    cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    local bundle=${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}
    [[ -f $bundle ]] && cp -L "$bundle" "$root$host_ca"
    local -a envs=(HOME=/root LANG=C.UTF-8 PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin)
    local name value
    while IFS='=' read -r -d '' name value; do
        case "$name" in
            PIP_CERT) ;;
            PIP_*)
                # A setting that is a folder or file on the host is only kept
                # when the chroot has it too.
                if [[ $value == /* && ! -e $root$value ]]; then
                    log "not passing $name=$value: the chroot has no $value"
                    continue
                fi
                envs+=("$name=$value") ;;
            TARNWICK_SID_CACHE) ;;
            TARNWICK_* | PYTEST_ADDOPTS | http_proxy | https_proxy | no_proxy | HTTP_PROXY | HTTPS_PROXY | NO_PROXY)
                envs+=("$name=$value") ;;
        esac
    done < <(env -0)
    [[ -f $root$host_ca ]] && envs+=("PIP_CERT=$host_ca")
    unshare --mount --propagation private bash -c '
        set -e
        root=$1 top=$2
        shift 2
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        mkdir -p "$root$top"
        mount --bind "$top" "$root$top"
        exec chroot "$root" /usr/bin/env -i "$@"
    ' in-chroot "$root" "$repo_top" "${envs[@]}" "$@"
}

cmd=${1:-}
[[ $# -gt 0 ]] && shift
case "$cmd" in
    prepare)
        prepare
        printf '%s\n' "$root" ;;
    test)
        version=${1:-}
        [[ $# -gt 0 ]] && shift
        [[ " ${VERSIONS[*]} " == *" $version "* ]] || { usage; exit 2; }
        prepare
        # Shared: a run never sees the chroot being made again under it.
        exec 9>"$cache/.lock"
        flock -s 9
        in_chroot PYTHON="/usr/bin/python$version" \
            bash -c 'cd "$1" && shift && exec tools/run.sh test "$@"' sid-test "$repo_top" "$@" ;;
    *)
        usage
        exit 2 ;;
esac
