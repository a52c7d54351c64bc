#!/bin/sh
# Builds the programs and packages of the checkout's last commit twice, from
# two clones in different folders, natively and for Windows, and compares the
# results byte for byte.
#   reproducible_test.sh SOURCE_DIR WORK_DIR
set -eu
source=$(cd "$1" && pwd)
work=$2
jobs=$(nproc)
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
trap 'rm -rf "$work"' EXIT

# Folders of different depth and name lengths, so a path that leaks into a
# binary shows as a difference.
one="$work/one"
two="$work/second/clone"
failures=0
# One commit for both, even when another is made while they build.
commit=$(git -C "$source" rev-parse HEAD)
for clone in "$one" "$two"; do
    git clone --quiet --no-hardlinks "$source" "$clone"
    git -C "$clone" checkout --quiet --detach "$commit"
    (
        cd "$clone"
        cmake --preset programs >build.log 2>&1 &&
            cmake --build --preset programs -j "$jobs" >>build.log 2>&1 &&
            (cd build/programs && cpack -G DEB >>../../build.log 2>&1) &&
            cmake -S . -B build/windows-programs -G Ninja --toolchain cmake/mingw-w64-x86_64.cmake \
                -DCMAKE_BUILD_TYPE=Release -DHWID_STATIC=ON -DHWID_BUILD_TESTS=OFF \
                -DHWID_WARNINGS_AS_ERRORS=ON >>build.log 2>&1 &&
            cmake --build build/windows-programs -j "$jobs" >>build.log 2>&1 &&
            (cd build/windows-programs && cpack >>../../build.log 2>&1)
    ) || { echo "FAIL: build in $clone:"; tail -n 30 "$clone/build.log"; exit 1; }
done

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$one/build/programs/CPackConfig.cmake")
for f in build/programs/src/app/hwid build/programs/src/app/hwid-explain \
    "build/programs/hwid_${version}-1_amd64.deb" \
    build/windows-programs/src/app/hwid.exe build/windows-programs/src/app/hwid-explain.exe \
    "build/windows-programs/hwid-${version}-win64.zip"; do
    if [ ! -f "$one/$f" ] || [ ! -f "$two/$f" ]; then
        echo "FAIL: $f was not built"
        failures=$((failures + 1))
    elif cmp -s "$one/$f" "$two/$f"; then
        echo "same: $(sha256sum "$one/$f" | cut -c1-64)  $f"
    else
        echo "FAIL: $f differs between the two builds"
        # Where: the package's members and their listings.
        case $f in
        *.deb) for d in "$one" "$two"; do
                echo "== $d"
                dpkg-deb -I "$d/$f" | head -n 4
                dpkg-deb -c "$d/$f"
                ar tv "$d/$f"
            done ;;
        *.zip) for d in "$one" "$two"; do
                python3 -c 'import sys, zipfile; [print(i.filename, i.date_time, i.external_attr, i.CRC) for i in zipfile.ZipFile(sys.argv[1]).infolist()]' "$d/$f"
            done ;;
        esac
        cmp -l "$one/$f" "$two/$f" | head -n 5
        failures=$((failures + 1))
    fi
done
# No build folder in the native programs.
for f in hwid hwid-explain; do
    if grep -q -a -e "$one" -e "$two" "$one/build/programs/src/app/$f"; then
        echo "FAIL: $f holds a build path"
        failures=$((failures + 1))
    fi
done
exit "$failures"
