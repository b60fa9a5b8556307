#!/usr/bin/env bash
# Build a private CPython 3.13 to develop and test tarnwick against.
#
#   tools/build-python.sh ft      free-threaded build (--disable-gil)  -> bin/python3.13t
#   tools/build-python.sh debug   debug build (--with-pydebug)          -> bin/python3.13d
#   tools/build-python.sh tsan    free-threaded + ThreadSanitizer       -> bin/python3.13t
#
# The source is Debian's python3.13 package (from trixie, also on bookworm
# machines), fetched through a private apt configuration so the system's
# sources and lists are left alone.  Everything lives under a cache root
# outside the work tree:
#
#   $TARNWICK_PY_CACHE (default /var/cache/tarnwick-python)
#     downloads/       apt-get source -d output (kept, so rebuilds are offline)
#     apt/             private sources file, lists and apt cache
#     build/VARIANT/   unpacked source, object files and build logs
#     VARIANT/         install prefix
#
# A prefix only counts as built once its completion marker exists; the marker
# is written as the very last step, so an interrupted build is started over.
# A warm run does no work and just prints the interpreter path.
#
# The last line on stdout is the absolute path of the interpreter:
#   PY=$(tools/build-python.sh ft | tail -1)
# Progress goes to stderr; the noisy output of configure/make goes to log files
# under build/VARIANT/logs (the tail is shown if a step fails).
#
# For the tsan build, CPython's own suppression file is installed as
#   $prefix/share/tarnwick/tsan/suppressions_free_threading.txt
# and $prefix/share/tarnwick/tsan/TSAN_OPTIONS holds a suggested setting.

set -euo pipefail

PY_SERIES=3.13
SRC_PACKAGE=python3.13
SRC_SUITE=trixie
# Bump to force every cached prefix to be rebuilt after changing how we build.
BUILD_RECIPE=1

prog=${0##*/}
variant=${1:-}

usage() {
    cat >&2 <<EOF
usage: $prog VARIANT
  VARIANT is one of:
    ft     free-threaded CPython $PY_SERIES (--disable-gil)
    debug  debug CPython $PY_SERIES (--with-pydebug)
    tsan   free-threaded CPython $PY_SERIES built with ThreadSanitizer
Cache root: \${TARNWICK_PY_CACHE:-/var/cache/tarnwick-python}
EOF
}

log() { printf '[%s %s] %s\n' "$prog" "${variant:-?}" "$*" >&2; }
die() { log "error: $*"; exit 1; }

if [[ $# -ne 1 ]]; then
    usage
    exit 2
fi
case "$variant" in
    ft)    configure_flags=(--disable-gil) ;;
    debug) configure_flags=(--with-pydebug) ;;
    tsan)  configure_flags=(--disable-gil --with-thread-sanitizer) ;;
    -h|--help) usage; exit 0 ;;
    *) usage; die "unknown VARIANT '$variant' (expected ft, debug or tsan)" ;;
esac

root=${TARNWICK_PY_CACHE:-/var/cache/tarnwick-python}
[[ $root == /* ]] || root=$PWD/$root
prefix=$root/$variant
marker=$prefix/.tarnwick-build-complete
recipe="recipe=$BUILD_RECIPE variant=$variant flags=${configure_flags[*]}"

# Warm path: nothing to do if the marker matches this recipe and the
# interpreter is still there.
warm_interpreter() {
    [[ -f $marker ]] || return 1
    local want got py
    want="recipe: $recipe"
    got=$(grep -m1 '^recipe: ' "$marker" || true)
    [[ $got == "$want" ]] || return 1
    py=$(sed -n 's/^interpreter: //p' "$marker" | head -n1)
    [[ -n $py && -x $py ]] || return 1
    printf '%s\n' "$py"
}

if py=$(warm_interpreter); then
    log "using cached build: $py"
    printf '%s\n' "$py"
    exit 0
fi

# ---------------------------------------------------------------------------
# Cold path from here on.

[[ $(id -u) -eq 0 ]] || die "must run as root (installs build dependencies with apt-get)"
[[ -r /etc/debian_version ]] || die "this script expects a Debian system (no /etc/debian_version)"

# Keep the cache out of the work tree: object files and a whole install prefix
# do not belong next to the sources.
repo_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
source "$repo_top/tools/apt.sh"
root=$(realpath -m "$root")
prefix=$root/$variant
marker=$prefix/.tarnwick-build-complete
case "$root/" in
    "$repo_top"/*) die "cache root $root is inside the work tree $repo_top; set TARNWICK_PY_CACHE elsewhere" ;;
esac
mkdir -p "$root"

# One build per variant at a time; a second caller waits and then takes the
# warm path.
exec 9>"$root/.$variant.lock"
if ! flock -n 9; then
    log "another build of '$variant' is running; waiting for it"
    flock 9
fi
if py=$(warm_interpreter); then
    log "using cached build: $py"
    printf '%s\n' "$py"
    exit 0
fi

export DEBIAN_FRONTEND=noninteractive
# A stray environment must not leak into the build or into pip.
unset PYTHONPATH PYTHONHOME PYTHONSTARTUP PYTHONUSERBASE VIRTUAL_ENV PIP_USER \
      PIP_REQUIRE_VIRTUALENV PIP_TARGET PIP_PREFIX CONDA_PREFIX || true

debian_version=$(cat /etc/debian_version)
log "Debian $debian_version; cache root $root"

t_start=$SECONDS
build_dir=$root/build/$variant
logs=$build_dir/logs

# run_logged NAME CMD...: run CMD with output to $logs/NAME.log; on failure
# show the tail of that log and stop.
run_logged() {
    local name=$1; shift
    local logfile=$logs/$name.log
    local t0=$SECONDS
    log "$name ... (log: $logfile)"
    if ! "$@" >"$logfile" 2>&1; then
        printf '%s\n' "----- last lines of $logfile -----" >&2
        tail -n 40 "$logfile" >&2 || true
        printf '%s\n' "-----" >&2
        die "$name failed (full log: $logfile)"
    fi
    log "$name done in $((SECONDS - t0))s"
}

# ---------------------------------------------------------------------------
# Build dependencies.

apt_updated=0
apt_update_once() {
    if [[ $apt_updated -eq 0 ]]; then
        log "apt-get update"
        tw_apt_get update >&2 || die "apt-get update failed"
        apt_updated=1
    fi
}

pkg_installed() {
    [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true) == "install ok installed" ]]
}

pkg_available() {
    [[ -n $(apt-cache policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: //p' | grep -v '(none)' || true) ]]
}

deps=(build-essential pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev libbz2-dev
      libreadline-dev libsqlite3-dev liblzma-dev uuid-dev libgdbm-dev libgdbm-compat-dev
      ca-certificates)

missing=()
for p in "${deps[@]}"; do
    pkg_installed "$p" || missing+=("$p")
done
# ncurses headers: libncurses-dev everywhere current; libncurses5-dev is the
# old name.
if ! pkg_installed libncurses-dev && ! pkg_installed libncurses5-dev; then
    missing+=(NCURSES)
fi

# TSan build uses clang: CPython's TSan support is exercised with clang
# upstream, and a recent clang copes with the kernel's address layout better.
# clang-19 exists on both bookworm and trixie; otherwise take the default.
tsan_cc='' tsan_cxx='' tsan_llvm_bin=''
if [[ $variant == tsan ]]; then
    # libclang-rt-*-dev carries the TSan runtime (libclang_rt.tsan.a); it is
    # only a Recommends of clang, and llvm-* brings llvm-symbolizer for
    # readable reports.
    if pkg_installed clang-19 && pkg_installed llvm-19 && pkg_installed libclang-rt-19-dev; then
        clang_pkgs=(clang-19 llvm-19 libclang-rt-19-dev)
    else
        apt_update_once
        if pkg_available clang-19 && pkg_available llvm-19 && pkg_available libclang-rt-19-dev; then
            clang_pkgs=(clang-19 llvm-19 libclang-rt-19-dev)
        else
            clang_pkgs=(clang llvm)
            pkg_available libclang-rt-dev && clang_pkgs+=(libclang-rt-dev)
        fi
        for p in "${clang_pkgs[@]}"; do
            pkg_installed "$p" || missing+=("$p")
        done
    fi
fi

if [[ ${#missing[@]} -gt 0 ]]; then
    apt_update_once
    to_install=()
    for p in "${missing[@]}"; do
        if [[ $p == NCURSES ]]; then
            if pkg_available libncurses-dev; then p=libncurses-dev; else p=libncurses5-dev; fi
        fi
        to_install+=("$p")
    done
    log "installing build dependencies: ${to_install[*]}"
    tw_apt_get install -y --no-install-recommends "${to_install[@]}" >&2 \
        || die "apt-get install of build dependencies failed"
else
    log "build dependencies already installed"
fi

if [[ $variant == tsan ]]; then
    if [[ ${clang_pkgs[0]} == clang-19 ]]; then
        tsan_cc=clang-19 tsan_cxx=clang++-19
        tsan_llvm_bin=/usr/lib/llvm-19/bin
    else
        tsan_cc=clang tsan_cxx=clang++
        tsan_llvm_bin=$(dirname "$(readlink -f "$(command -v clang)")")
    fi
    command -v "$tsan_cc" >/dev/null || die "$tsan_cc not found after installing ${clang_pkgs[*]}"
    command -v "$tsan_cxx" >/dev/null || die "$tsan_cxx not found after installing ${clang_pkgs[*]}"
fi

# ---------------------------------------------------------------------------
# Source: Debian's python3.13 source package, downloaded once into the cache.

downloads=$root/downloads
mkdir -p "$downloads"

find_orig() {
    local f
    f=$(ls -1 "$downloads"/"${SRC_PACKAGE}"_*.orig.tar.xz 2>/dev/null | sort -V | tail -n1 || true)
    [[ -n $f && -s $f ]] && printf '%s\n' "$f"
}

# Print "URI KEYRING" of the machine's main Debian archive entry (not the
# security archive), from deb822 .sources files or one-line .list files.
system_debian_entry() {
    local files=() f
    for f in /etc/apt/sources.list.d/*.sources; do [[ -f $f ]] && files+=("$f"); done
    if [[ ${#files[@]} -gt 0 ]]; then
        awk '
            function flush() {
                if (types ~ /(^| )deb( |$)/ && uri != "" && enabled != "no" && uri !~ /security/ && uri ~ /debian/ && found == "") {
                    found = uri " " (signed == "" ? "-" : signed)
                }
                types = ""; uri = ""; signed = ""; enabled = ""
            }
            /^[ \t]*#/ { next }
            /^[ \t]*$/ { flush(); next }
            tolower($1) == "types:"     { types = ""; for (i = 2; i <= NF; i++) types = types " " $i; types = types " " }
            tolower($1) == "uris:"      { uri = $2 }
            tolower($1) == "signed-by:" { signed = $2 }
            tolower($1) == "enabled:"   { enabled = tolower($2) }
            END { flush(); if (found != "") print found }
        ' "${files[@]}" | head -n1
    fi
    files=()
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do [[ -f $f ]] && files+=("$f"); done
    if [[ ${#files[@]} -gt 0 ]]; then
        awk '
            /^[ \t]*#/ { next }
            $1 == "deb" {
                signed = "-"; i = 2
                if ($2 ~ /^\[/) {
                    while (i <= NF) {
                        if ($i ~ /^\[?signed-by=/) { s = $i; sub(/^\[?signed-by=/, "", s); sub(/\]$/, "", s); signed = s }
                        if ($i ~ /\]$/) { i++; break }
                        i++
                    }
                }
                uri = $i
                if (uri !~ /security/ && uri ~ /debian/) { print uri " " signed; exit }
            }
        ' "${files[@]}" | head -n1
    fi
}

fetch_source() {
    local entry uri keyring aptdir srclist tmp
    entry=$(system_debian_entry | head -n1)
    uri=${entry%% *}
    keyring=${entry#* }
    if [[ -z $entry || -z $uri ]]; then
        uri=http://deb.debian.org/debian
        keyring=-
        log "no Debian archive entry found in /etc/apt; falling back to $uri"
    fi
    # Signed-By may also be an inline key block; only a file path is usable here.
    if [[ $keyring == - || ! -f $keyring ]]; then
        keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    fi
    [[ -f $keyring ]] || die "Debian archive keyring not found ($keyring); install debian-archive-keyring"
    uri=${uri%/}

    aptdir=$root/apt
    srclist=$aptdir/sources.list
    mkdir -p "$aptdir/lists/partial" "$aptdir/cache/archives/partial"
    printf 'deb-src [signed-by=%s] %s %s main\n' "$keyring" "$uri" "$SRC_SUITE" >"$srclist"
    log "private apt source: $(cat "$srclist")"

    local apt_opts=(
        -o "Dir::Etc::sourcelist=$srclist"
        -o "Dir::Etc::sourceparts=-"
        -o "Dir::State::Lists=$aptdir/lists"
        -o "Dir::Cache=$aptdir/cache"
        -o "APT::Get::List-Cleanup=0"
        -o "APT::Sandbox::User=root"
    )
    log "apt-get update (private lists for $SRC_SUITE deb-src)"
    tw_apt_get "${apt_opts[@]}" update >&2 || die "apt-get update of the private $SRC_SUITE source list failed"

    tmp=$(mktemp -d "$downloads/.tmp.XXXXXX")
    log "apt-get source -d $SRC_PACKAGE"
    if ! (cd "$tmp" && tw_apt_get "${apt_opts[@]}" source -d "$SRC_PACKAGE" >&2); then
        rm -rf "$tmp"
        die "apt-get source -d $SRC_PACKAGE failed"
    fi
    # Move into place only after the download (and apt's hash check) succeeded.
    local f
    for f in "$tmp"/*; do
        [[ -f $f ]] && mv -f "$f" "$downloads/"
    done
    rm -rf "$tmp"
}

(
    # Downloads are shared between variants.
    exec 8>"$root/.downloads.lock"
    flock 8
    if orig=$(find_orig); then
        log "source already downloaded: $orig"
    else
        fetch_source
        orig=$(find_orig) || die "no ${SRC_PACKAGE}_*.orig.tar.xz after apt-get source"
        log "downloaded $orig"
    fi
)
orig=$(find_orig) || die "no ${SRC_PACKAGE}_*.orig.tar.xz in $downloads"
py_version=${orig##*/${SRC_PACKAGE}_}
py_version=${py_version%%.orig.tar.xz}
py_version=${py_version%%+*}
log "CPython $py_version ($orig)"

# ---------------------------------------------------------------------------
# Configure, build, install.

log "starting a fresh build in $build_dir, installing into $prefix"
rm -rf "$build_dir" "$prefix"
src=$build_dir/src
mkdir -p "$src" "$logs"
run_logged unpack tar -xJf "$orig" -C "$src" --strip-components=1
[[ -x $src/configure ]] || die "unpacked source in $src has no configure script"

# TSAN_OPTIONS used whenever the tsan interpreter runs during the build and
# the install steps: known CPython races are suppressed and remaining reports
# are logged but neither abort nor change exit codes, so the build, ensurepip
# and pip can finish.
tsan_supp_src=$src/Tools/tsan/suppressions_free_threading.txt
tsan_build_options=''
if [[ $variant == tsan ]]; then
    [[ -f $tsan_supp_src ]] || die "missing $tsan_supp_src in the CPython source"
    tsan_build_options="suppressions=$tsan_supp_src halt_on_error=0 exitcode=0 report_signal_unsafe=0"
    [[ -x $tsan_llvm_bin/llvm-symbolizer ]] && tsan_build_options+=" external_symbolizer_path=$tsan_llvm_bin/llvm-symbolizer"
    export TSAN_OPTIONS=$tsan_build_options
    export CC=$tsan_cc CXX=$tsan_cxx
    log "TSan build with CC=$CC CXX=$CXX"
fi

jobs=$(nproc)
(
    cd "$src"
    run_logged configure ./configure --prefix="$prefix" "${configure_flags[@]}"
    run_logged make make -j"$jobs"
    # make install would run ensurepip itself; it runs below, logged, instead.
    # Under ThreadSanitizer, compiling the whole standard library to bytecode
    # at three optimisation levels took longer than building the interpreter
    # (32 against 21 minutes): there the install's build interpreter is made
    # a no-op (it only compiles and re-checks the extension modules that make
    # has just checked), and the compiling is done below, at one level.
    install_args=(ENSUREPIP=no)
    [[ $variant == tsan ]] && install_args+=("PYTHON_FOR_BUILD=:")
    run_logged make-install make install "${install_args[@]}"
)

# The interpreter is named after the ABI flags: python3.13t for free-threaded
# builds, python3.13d for debug builds.
py=''
case "$variant" in
    ft|tsan) candidates=(python${PY_SERIES}t) ;;
    debug)   candidates=(python${PY_SERIES}d python${PY_SERIES}) ;;
esac
for c in "${candidates[@]}"; do
    if [[ -x $prefix/bin/$c ]]; then py=$prefix/bin/$c; break; fi
done
[[ -n $py ]] || die "no interpreter (${candidates[*]}) in $prefix/bin after make install"

if [[ $variant == tsan ]]; then
    tsan_share=$prefix/share/tarnwick/tsan
    mkdir -p "$tsan_share"
    cp "$src"/Tools/tsan/*.txt "$tsan_share/"
    # Suggested setting for running tests: suppress CPython's known races,
    # report everything else with a non-zero exit code.
    opts="suppressions=$tsan_share/suppressions_free_threading.txt"
    [[ -x $tsan_llvm_bin/llvm-symbolizer ]] && opts+=" external_symbolizer_path=$tsan_llvm_bin/llvm-symbolizer"
    printf '%s\n' "$opts" >"$tsan_share/TSAN_OPTIONS"
    # From here on the install steps use the installed copy.
    tsan_build_options="suppressions=$tsan_share/suppressions_free_threading.txt halt_on_error=0 exitcode=0 report_signal_unsafe=0"
    [[ -x $tsan_llvm_bin/llvm-symbolizer ]] && tsan_build_options+=" external_symbolizer_path=$tsan_llvm_bin/llvm-symbolizer"
    export TSAN_OPTIONS=$tsan_build_options
    log "CPython TSan suppressions installed in $tsan_share"
    # Bytecode for what runs: optimisation level 0 only, and not the test
    # package, whose few modules that tarnwick's tests import are compiled
    # on first use. Compiled in advance because with PYTHONDONTWRITEBYTECODE
    # set, every process would compile the modules it imports (~10 s each).
    run_logged compileall "$py" -m compileall -q -j0 -o 0 \
        -x 'bad_coding|badsyntax|site-packages|/test/' "$prefix/lib/python${PY_SERIES}t"
fi

# Sanity-check that the build really is the variant we asked for.
case "$variant" in
    ft|tsan) check='import sys, sysconfig; assert not sys._is_gil_enabled(), "GIL is enabled"; assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1' ;;
    debug)   check='import sys; assert hasattr(sys, "gettotalrefcount"), "not a debug build"' ;;
esac
[[ $variant == tsan ]] && check+='; import sysconfig; assert "--with-thread-sanitizer" in sysconfig.get_config_var("CONFIG_ARGS"), "not built with TSan"'
run_logged check-variant "$py" -c "$check"

export PIP_NO_INPUT=1 PIP_DISABLE_PIP_VERSION_CHECK=1
run_logged ensurepip "$py" -m ensurepip --upgrade
# Wheels only: recent hypothesis releases carry a Rust extension with no
# free-threaded wheel, and building it would need crates.io.  With wheels only,
# pip settles on the newest release that installs as a wheel here.
run_logged pip-install "$py" -m pip install --upgrade --only-binary=:all: pytest hypothesis
run_logged check-imports "$py" -c 'import pytest, hypothesis; print("pytest", pytest.__version__, "hypothesis", hypothesis.__version__)'
log "$(tail -n1 "$logs/check-imports.log")"

# Completion marker: written last, so its presence means the prefix is whole.
{
    printf 'recipe: %s\n' "$recipe"
    printf 'interpreter: %s\n' "$py"
    printf 'cpython: %s\n' "$py_version"
    printf 'source: %s\n' "$orig"
    printf 'configure: %s\n' "${configure_flags[*]}"
    [[ $variant == tsan ]] && printf 'cc: %s\n' "$tsan_cc"
    printf 'debian: %s\n' "$debian_version"
    printf 'built: %s in %ss\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)" "$((SECONDS - t_start))"
} >"$marker.tmp"
mv -f "$marker.tmp" "$marker"

log "built CPython $py_version ($variant) in $((SECONDS - t_start))s"
printf '%s\n' "$py"
