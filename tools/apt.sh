# apt-get for the project's scripts (sourced, not run): tools/run.sh,
# tools/build-python.sh and tools/sid.sh may run at the same time (.ci/run
# builds three interpreters and the sid chroot in the background at once),
# and apt does not wait for its locks: DPkg::Lock::Timeout makes `install`
# wait for dpkg's, but `update` fails at once on the lists lock while another
# update holds it. So every call holds one lock file outside the work tree
# while it runs, and a call that still finds apt's locks taken (by a program
# of someone else's) is tried again, for up to ten minutes.
#
#   tw_apt_get ARGS...   apt-get ARGS..., serialised and retried as above

tw_apt_lock=${TARNWICK_APT_LOCK:-/var/cache/tarnwick-apt.lock}

tw_apt_get() {
    local err status tries=0
    err=$(mktemp) || return 1
    while :; do
        status=0
        (
            exec 6>"$tw_apt_lock"
            flock 6
            apt-get -o DPkg::Lock::Timeout=600 "$@"
        ) 2>"$err" || status=$?
        cat "$err" >&2
        if [[ $status -ne 0 ]] && ((++tries < 60)) && grep -q 'Could not get lock' "$err"; then
            echo "apt's lock is held by another program; trying again in 10s" >&2
            sleep 10
            continue
        fi
        rm -f "$err"
        return "$status"
    done
}
