#!/bin/sh
# Builds hwid_identity from a copy of the source tree that holds only the
# crypto and identity folders and the CMake helpers: no back end, no explain.
# usage: identity_alone_test.sh SOURCE_DIR CXX_COMPILER
set -eu
source_dir=$1
cxx=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/tree/src"
cp -R "$source_dir/cmake" "$work/tree/cmake"
cp -R "$source_dir/src/crypto" "$source_dir/src/hwid" "$work/tree/src/"
cat >"$work/tree/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(hwid_identity_alone LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
add_library(hwid_warnings INTERFACE)
# Texts go into fixed buffers with snprintf on purpose, as in the full tree.
target_compile_options(hwid_warnings INTERFACE -Wall -Wextra -Werror -Wno-format-truncation)
list(APPEND CMAKE_MODULE_PATH "${PROJECT_SOURCE_DIR}/cmake")
include(HwidLayers)
add_subdirectory(src/crypto)
add_subdirectory(src/hwid)
CMAKE

if [ -e "$work/tree/src/platform" ] || [ -e "$work/tree/src/explain" ]; then
    echo "FAIL: the copy holds more than the crypto and identity layers" >&2
    exit 1
fi
cmake -S "$work/tree" -B "$work/build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/build" --target hwid_identity
test -f "$work/build/src/hwid/libhwid_identity.a" || {
    echo "FAIL: no libhwid_identity.a was built" >&2
    exit 1
}
echo "hwid_identity builds from crypto and identity alone"
