#!/usr/bin/env bash
# Makes the project's environment: a free-threaded interpreter, .venv at the repo root with the
# build and test tools, and the C++ test prerequisites.  Quick when everything is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { printf 'quorlin setup: %s\n' "$*" >&2; }

python=$(scripts/find-python.sh)

venv_python=.venv/bin/python
if [ ! -x "$venv_python" ] || [ "$("$venv_python" -c 'import sys; print(sys._base_executable)' 2>/dev/null)" != "$python" ]; then
    say "creating .venv with $python"
    rm -rf .venv
    "$python" -m venv .venv
fi

stamp=.venv/.quorlin-tools
wanted="scikit-build-core>=0.10 ninja pytest>=8 pytest-timeout>=2.3 hypothesis"
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$wanted" ]; then
    say "installing build and test tools into .venv"
    "$venv_python" -m pip install -q --disable-pip-version-check --upgrade pip
    # shellcheck disable=SC2086
    "$venv_python" -m pip install -q --disable-pip-version-check $wanted
    echo "$wanted" >"$stamp"
fi

# GoogleTest for the C++ unit tests.
if ! [ -f /usr/include/gtest/gtest.h ]; then
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
        say "installing libgtest-dev"
        apt-get update -qq >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >&2
    else
        say "GoogleTest is missing: install libgtest-dev (sudo apt-get install libgtest-dev)"
        exit 1
    fi
fi
