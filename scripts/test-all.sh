#!/usr/bin/env bash
# Builds hwid and runs every test: the native unit and process tests, the
# packages under lintian and rpm, the README's build-and-run command in a fresh
# Debian 12 root, two builds compared byte for byte, the end-to-end runs under
# QEMU, the suite again under the sanitizers, the library's thread test under
# ThreadSanitizer, the fuzz
# targets for a bounded time, and the Windows build with its tests under Wine.
# Installs the Debian packages a fresh machine lacks (needs root, or sudo).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    cmake ninja-build g++ pkg-config
    libgtest-dev libgmock-dev googletest libssl-dev
    g++-mingw-w64-x86-64-posix wine wine64
    qemu-system-x86 busybox-static kmod e2fsprogs python3
    valgrind clang-14 libclang-rt-14-dev
    nlohmann-json3-dev ansible-core
    git lintian rpm mmdebstrap
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
# The end-to-end tests download a kernel package, so the package lists must be
# there even when nothing is missing.
if [ ${#missing[@]} -gt 0 ] || ! apt-cache show linux-image-amd64 >/dev/null 2>&1; then
    "${sudo[@]}" apt-get update -q
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc)
# Native static build: unit tests, the process test, the packages, the fresh
# root, the reproducible builds and the end-to-end suite.
cmake --preset release
cmake --build --preset release -j "$jobs"
ctest --preset release

# The same suite under AddressSanitizer and UBSan.
cmake --preset sanitize
cmake --build --preset sanitize -j "$jobs"
ctest --preset sanitize

# The library called from many threads at once, under ThreadSanitizer.
cmake --preset tsan
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan

# Each fuzz target for a bounded time on its seed corpus.
cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
ctest --preset fuzz

# Windows build, its unit tests and the process test under Wine. The process
# test compares hwid.exe with the native release build's derivation.
cmake --preset windows
cmake --build --preset windows -j "$jobs"
ctest --preset windows
