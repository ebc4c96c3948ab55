#!/usr/bin/env bash
# Installs the HTTP tools the networking tests and benchmarks drive: wrk (load) and curl (checks).
# Uses apt-get when running as root; otherwise says what to install.  Never fails the build: a
# caller checks for the tools afterwards and skips what needs them.
set -u

missing=()
for tool in wrk curl; do
    command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    if ! apt-get install -y -q "${missing[@]}" >/dev/null 2>&1; then
        apt-get update -q >/dev/null 2>&1
        apt-get install -y -q "${missing[@]}" >/dev/null 2>&1
    fi
fi

still=()
for tool in "${missing[@]}"; do
    command -v "$tool" >/dev/null 2>&1 || still+=("$tool")
done
if [ ${#still[@]} -ne 0 ]; then
    echo "install-net-tools: ${still[*]} not available; install with: sudo apt-get install ${still[*]}" >&2
fi
exit 0
