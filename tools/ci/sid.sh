#!/usr/bin/env bash
# CPython 3.14 and 3.15, Debian sid's builds, inside the cached sid chroot of
# tools/sid.sh (made on first use, reused after): tarnwick is built with
# warnings as errors and the whole suite runs once on each.
#
# Exits non-zero on any failure.
set -euo pipefail
CI_STAGE=sid
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ci_root"
export TARNWICK_WERROR=1
# The stress tests run in full on 3.13; here they need not run for long.
export TARNWICK_STRESS_SECONDS=${TARNWICK_STRESS_SECONDS:-1}

t=$SECONDS
tools/sid.sh prepare >/dev/null
ci_log "chroot ready in $((SECONDS - t))s"
for version in 3.14 3.15; do
    t=$SECONDS
    tools/sid.sh test "$version" -q -p no:cacheprovider
    ci_log "python$version: built and tested in $((SECONDS - t))s"
done

ci_stage_time
