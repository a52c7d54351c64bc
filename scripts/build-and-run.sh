#!/bin/sh
# Installs what building hwid needs (and only that), builds the two programs
# without the tests and runs hwid. Needs root, or a user who may use sudo.
set -eu
cd "$(dirname "$0")/.."

# Static linking needs libc.a and libstdc++.a, which come with g++; hwid-explain
# reads and writes JSON with the header-only nlohmann-json.
packages="cmake ninja-build g++ nlohmann-json3-dev"
missing=
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    sudo=
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q >&2
    # shellcheck disable=SC2086
    $sudo apt-get install -y -q --no-install-recommends $missing >&2
fi

cmake --preset programs >&2
cmake --build --preset programs >&2
exec build/programs/src/app/hwid
