#!/usr/bin/env bash
# Prints the path of a free-threaded CPython 3.14 interpreter, building one into the per-user
# cache when none is found.  Progress goes to stderr; stdout carries only the path.
#
# Order of preference: $QUORLIN_PYTHON, python3.14t on PATH, an earlier build in the cache.
# Environment:
#   QUORLIN_PYTHON            an interpreter to use as is (must be a free-threaded 3.14)
#   QUORLIN_CPYTHON_TARBALL   a local copy of the source tarball, used instead of downloading
#   QUORLIN_CPYTHON_CONFIGURE extra configure flags (e.g. --with-thread-sanitizer)
#   QUORLIN_PYTHON_PREFIX     where to install the build (default: the cache folder)
set -euo pipefail

readonly CPYTHON_VERSION=3.14.7
readonly TARBALL_NAME="python3.14_${CPYTHON_VERSION}.orig.tar.xz"
readonly TARBALL_PATH_IN_ARCHIVE="pool/main/p/python3.14/${TARBALL_NAME}"
readonly TARBALL_SIZE=24053924
readonly TARBALL_SHA256=3b48dac8fb59f62eaa67ac83c1eb12bda1b7a08406dd286e252c11a66be27f81
readonly BUILD_PREREQS=(libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev uuid-dev libreadline-dev)

cache_root="${XDG_CACHE_HOME:-$HOME/.cache}/quorlin"
prefix="${QUORLIN_PYTHON_PREFIX:-$cache_root/cpython-${CPYTHON_VERSION}t}"

say() { printf 'quorlin setup: %s\n' "$*" >&2; }
die() { printf 'quorlin setup: error: %s\n' "$*" >&2; exit 1; }

is_free_threaded_314() {
    [ -x "$1" ] || return 1
    "$1" - <<'PY' >/dev/null 2>&1
import sys, sysconfig
ok = sys.version_info[:2] == (3, 14) and sysconfig.get_config_var("Py_GIL_DISABLED") == 1
raise SystemExit(0 if ok else 1)
PY
}

if [ -n "${QUORLIN_PYTHON:-}" ]; then
    is_free_threaded_314 "$QUORLIN_PYTHON" || die "QUORLIN_PYTHON=$QUORLIN_PYTHON is not a free-threaded CPython 3.14"
    echo "$QUORLIN_PYTHON"; exit 0
fi
if [ -z "${QUORLIN_PYTHON_PREFIX:-}" ] && on_path=$(command -v python3.14t 2>/dev/null) && is_free_threaded_314 "$on_path"; then
    echo "$on_path"; exit 0
fi
if is_free_threaded_314 "$prefix/bin/python3.14t"; then
    echo "$prefix/bin/python3.14t"; exit 0
fi

# --- build from source ---------------------------------------------------------------------
missing=()
for pkg in "${BUILD_PREREQS[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
        say "installing build prerequisites: ${missing[*]}"
        apt-get update -qq >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
    else
        say "missing build prerequisites; install them first, e.g.:"
        say "  sudo apt-get install ${missing[*]}"
        exit 1
    fi
fi

debian_archive_root() {
    # The main archive named by apt's own configuration; the security archive is skipped.
    local uris=()
    if compgen -G '/etc/apt/sources.list.d/*.sources' >/dev/null; then
        while read -r _ rest; do
            for u in $rest; do uris+=("$u"); done
        done < <(grep -h '^URIs:' /etc/apt/sources.list.d/*.sources)
    fi
    if [ -f /etc/apt/sources.list ]; then
        while read -r line; do
            # deb [options] URI suite components
            set -- $line
            shift
            [ "${1:0:1}" = "[" ] && while [ "${1: -1}" != "]" ]; do shift; done && shift
            uris+=("$1")
        done < <(grep -E '^deb[[:space:]]' /etc/apt/sources.list)
    fi
    for u in "${uris[@]}"; do
        case "$u" in *security*) continue ;; esac
        echo "${u%/}"; return 0
    done
    return 1
}

sha_ok() { echo "$TARBALL_SHA256  $1" | sha256sum -c --status; }

mkdir -p "$cache_root"
tarball="$cache_root/$TARBALL_NAME"
if [ -n "${QUORLIN_CPYTHON_TARBALL:-}" ] && [ -f "$QUORLIN_CPYTHON_TARBALL" ]; then
    tarball="$QUORLIN_CPYTHON_TARBALL"
elif [ ! -f "$tarball" ] || ! sha_ok "$tarball"; then
    root=$(debian_archive_root) || die "no Debian archive found in the apt configuration; set QUORLIN_CPYTHON_TARBALL"
    url="$root/$TARBALL_PATH_IN_ARCHIVE"
    say "downloading CPython $CPYTHON_VERSION source ($TARBALL_SIZE bytes) from $url"
    if command -v curl >/dev/null; then
        curl -fL --retry 3 --progress-bar -o "$tarball.part" "$url" || die "download failed: $url"
    else
        wget --progress=dot:giga -O "$tarball.part" "$url" || die "download failed: $url"
    fi
    mv "$tarball.part" "$tarball"
fi
actual_size=$(stat -c %s "$tarball")
sha_ok "$tarball" || die "checksum mismatch for $tarball (size $actual_size, expected $TARBALL_SIZE bytes, sha256 $TARBALL_SHA256); delete it and retry"

build_dir=$(mktemp -d "$cache_root/build.XXXXXX")
trap 'rm -rf "$build_dir"' EXIT
say "unpacking into $build_dir"
tar -xJf "$tarball" -C "$build_dir"
src=$(find "$build_dir" -mindepth 1 -maxdepth 1 -type d | head -n 1)
cd "$src"
say "configuring (--disable-gil ${QUORLIN_CPYTHON_CONFIGURE:-})"
# shellcheck disable=SC2086
./configure --disable-gil --prefix="$prefix" ${QUORLIN_CPYTHON_CONFIGURE:-} >"$build_dir/configure.log" 2>&1 \
    || { tail -n 40 "$build_dir/configure.log" >&2; die "configure failed"; }
say "building with $(nproc) jobs (a few minutes)"
make -j"$(nproc)" 2>&1 | awk 'NR % 200 == 0 { printf "quorlin setup:   ... %d lines of build output\n", NR > "/dev/stderr" } { print > "'"$build_dir"'/make.log" }'
[ "${PIPESTATUS[0]}" -eq 0 ] || { tail -n 40 "$build_dir/make.log" >&2; die "build failed"; }
say "installing into $prefix"
make install >"$build_dir/install.log" 2>&1 || { tail -n 40 "$build_dir/install.log" >&2; die "install failed"; }
"$prefix/bin/python3.14t" -m ensurepip >/dev/null 2>&1 || die "ensurepip failed"
is_free_threaded_314 "$prefix/bin/python3.14t" || die "the build at $prefix is not a free-threaded 3.14"
say "built $("$prefix/bin/python3.14t" -VV)"
echo "$prefix/bin/python3.14t"
