# Finds the Python 3.13 to build with (sourced, not run): $PYTHON when set,
# else python3.13 on PATH (Debian 13), else the newest pyenv 3.13 (Debian 12).
# find_python prints its path, or explains that there is none and fails.

find_python() {
    if [ -n "${PYTHON:-}" ]; then
        command -v "$PYTHON" && return
        echo "error: PYTHON=$PYTHON is not an executable" >&2
        return 1
    fi
    # pyenv's shims answer to python3.13 on PATH without working, so check
    # that the candidate runs.
    if python3.13 -c 'import sys' >/dev/null 2>&1; then
        python3.13 -c 'import sys; print(sys.executable)'
        return
    fi
    local pyenv_root
    pyenv_root=$( (command -v pyenv >/dev/null 2>&1 && pyenv root) || echo "$HOME/.pyenv")
    local found
    found=$(ls -d "$pyenv_root"/versions/3.13.*/bin/python3.13 2>/dev/null | sort -V | tail -n 1 || true)
    if [ -n "$found" ] && [ -x "$found" ]; then
        echo "$found"
        return
    fi
    echo "error: no Python 3.13 found. Install python3.13 (Debian 13: apt-get install python3.13-dev python3.13-venv)," >&2
    echo "       or a pyenv 3.13 (Debian 12), or set PYTHON=/path/to/python3.13." >&2
    return 1
}
