#!/usr/bin/env bash
# Runs the Python test suite against a module built with a sanitizer, inside a free-threaded
# CPython 3.14.7 built with the same sanitizer (each kept in its own cache folder).
#   scripts/sanitize.sh thread    ThreadSanitizer
#   scripts/sanitize.sh address   AddressSanitizer (+ LeakSanitizer for the module's allocations)
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:?usage: scripts/sanitize.sh thread|address [pytest args]}
shift

case "$kind" in
    thread) configure_flag=--with-thread-sanitizer; module_flag=thread ;;
    address) configure_flag=--with-address-sanitizer; module_flag=address,undefined ;;
    *) echo "unknown sanitizer: $kind" >&2; exit 2 ;;
esac

# Building the interpreter and installing into its venv run the instrumented interpreter; what it
# keeps until exit is not ours to report, so leak checking waits for the test run.
export ASAN_OPTIONS="detect_leaks=0"

cache_root="${XDG_CACHE_HOME:-$HOME/.cache}/quorlin"
python=$(env -u QUORLIN_PYTHON QUORLIN_PYTHON_PREFIX="$cache_root/cpython-3.14.7t-$kind" \
    QUORLIN_CPYTHON_CONFIGURE="$configure_flag" scripts/find-python.sh)

venv="$(pwd)/.venv-$kind"
if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check scikit-build-core ninja pytest pytest-timeout hypothesis
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    -C cmake.define.QUORLIN_SANITIZE="$module_flag" -C build-dir="build/$kind-{wheel_tag}" \
    -C cmake.build-type=RelWithDebInfo --force-reinstall .

suppressions="$(pwd)/tests/sanitizers"
# Reports go to files, one per process: a report from a child interpreter whose output a test
# captures would otherwise be lost.  They are shown, and fail the run, at the end.
reports="$(pwd)/build/$kind-reports"
rm -rf "$reports" && mkdir -p "$reports"
export TSAN_OPTIONS="suppressions=$suppressions/tsan.supp halt_on_error=0 second_deadlock_stack=1 report_signal_unsafe=0 exitcode=66 log_path=$reports/report"
export ASAN_OPTIONS="detect_leaks=1 abort_on_error=0 exitcode=66 log_path=$reports/report"
# use_tls=0: the leak checker of this toolchain misreads the dynamic TLS of threads that are still
# alive at exit and crashes ("Tracer caught signal 11"); nothing of ours is held only there.
export LSAN_OPTIONS="suppressions=$suppressions/lsan.supp print_suppressions=0 use_tls=0"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 log_path=$reports/report"
export QUORLIN_SANITIZER="$kind"
# The installed copy is imported, not the source tree's package directory.
status=0
(cd tests/python && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@") || status=$?
if compgen -G "$reports/report*" >/dev/null; then
    cat "$reports"/report*
    echo "sanitizer reports: $(ls "$reports" | wc -l) file(s) in $reports" >&2
    status=1
fi
exit $status
