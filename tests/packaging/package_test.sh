#!/bin/sh
# Installs into a scratch prefix and builds the package of a configured build
# folder, then checks what each holds.
#   package_test.sh BUILD_DIR deb|zip
set -u
build=$1
kind=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

cmake --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log" 2>&1 || fail "install: $(cat "$tmp/install.log")"
cpack --config "$build/CPackConfig.cmake" -B "$tmp/package" >"$tmp/cpack.log" 2>&1 || fail "cpack: $(cat "$tmp/cpack.log")"
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[ -n "$version" ] || fail "no version in CPackConfig.cmake"

case $kind in
deb)
    for f in bin/hwid bin/hwid-explain share/man/man1/hwid.1 share/man/man1/hwid-explain.1; do
        [ -f "$tmp/prefix/$f" ] || fail "install lacks $f"
    done
    deb=$(ls "$tmp/package"/hwid_"$version"_*.deb 2>/dev/null | head -n 1)
    [ -n "$deb" ] || fail "no hwid_${version}_*.deb"
    if [ -n "$deb" ]; then
        dpkg-deb -c "$deb" >"$tmp/list"
        for f in usr/bin/hwid usr/bin/hwid-explain usr/share/man/man1/hwid.1 usr/share/man/man1/hwid-explain.1; do
            grep -q " \./$f\$" "$tmp/list" || fail "package lacks $f"
        done
        [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
        # The installed program works and its man page formats.
        dpkg-deb -x "$deb" "$tmp/root"
        "$tmp/root/usr/bin/hwid" | grep -Eq '^[0-9A-F]{64}$' || fail "packaged hwid does not print an identifier"
        grep -q '^\.TH HWID 1 .*'"$version" "$tmp/root/usr/share/man/man1/hwid.1" || fail "man page lacks the version"
        [ -z "$(dpkg-deb -f "$deb" Depends)" ] || fail "hwid depends on $(dpkg-deb -f "$deb" Depends)"
        grep -q 'libhwid\|python' "$tmp/list" && fail "hwid holds library files: $(cat "$tmp/list")"
    fi
    # The library's packages: what each holds, and what each depends on.
    for f in lib/libhwid.so.1 lib/libhwid.so include/hwid/hwid.h lib/libhwid.a lib/pkgconfig/hwid.pc \
        lib/cmake/hwid/hwidConfig.cmake lib/python3/dist-packages/hwid/__init__.py; do
        [ -e "$tmp/prefix/$f" ] || fail "install lacks $f"
    done
    check_package() {  # NAME DEPENDS FILE...
        name=$1
        depends=$2
        shift 2
        package=$(ls "$tmp/package"/"$name"_"$version"_*.deb 2>/dev/null | head -n 1)
        [ -n "$package" ] || { fail "no ${name}_${version}_*.deb"; return; }
        dpkg-deb -c "$package" | awk '{print $6}' | grep -v '/$' | sed 's|^\./||' |
            sed 's|hwidTargets-[a-z]*\.cmake$|hwidTargets-CONFIG.cmake|' | sort >"$tmp/$name.list"
        printf '%s\n' "$@" | sort >"$tmp/$name.expected"
        cmp -s "$tmp/$name.list" "$tmp/$name.expected" ||
            fail "$name holds $(tr '\n' ' ' <"$tmp/$name.list"), expected $(tr '\n' ' ' <"$tmp/$name.expected")"
        [ "$(dpkg-deb -f "$package" Depends)" = "$depends" ] ||
            fail "$name depends on '$(dpkg-deb -f "$package" Depends)', expected '$depends'"
        [ "$(dpkg-deb -f "$package" Version)" = "$version" ] || fail "$name version is not $version"
    }
    check_package libhwid1 "libc6 (>= 2.34)" usr/lib/libhwid.so.1 usr/lib/libhwid.so.1.0.0
    check_package libhwid-dev "libhwid1 (= $version)" usr/include/hwid/hwid.h usr/lib/libhwid.a \
        usr/lib/libhwid.so usr/lib/pkgconfig/hwid.pc usr/lib/cmake/hwid/hwidConfig.cmake \
        usr/lib/cmake/hwid/hwidConfigVersion.cmake usr/lib/cmake/hwid/hwidTargets.cmake \
        usr/lib/cmake/hwid/hwidTargets-CONFIG.cmake
    check_package python3-hwid "libhwid1 (= $version), python3" \
        usr/lib/python3/dist-packages/hwid/__init__.py
    # The three unpacked together: the module finds the library, and it gives
    # what the packaged hwid prints.
    for name in libhwid1 libhwid-dev python3-hwid; do
        package=$(ls "$tmp/package"/"$name"_"$version"_*.deb 2>/dev/null | head -n 1)
        [ -z "$package" ] || dpkg-deb -x "$package" "$tmp/root"
    done
    # (Not in a sanitizer build, whose library Python cannot load.)
    if ! readelf -d "$tmp/root/usr/lib/libhwid.so.1" | grep -q 'NEEDED.*lib[at]san'; then
        from_python=$(PYTHONPATH="$tmp/root/usr/lib/python3/dist-packages" python3 -c 'import hwid; print(hwid.identifier())' 2>&1)
        [ "$from_python" = "$("$tmp/root/usr/bin/hwid")" ] || fail "packaged module gave $from_python"
    fi
    ;;
zip)
    for f in bin/hwid.exe bin/hwid-explain.exe; do
        [ -f "$tmp/prefix/$f" ] || fail "install lacks $f"
    done
    zip=$(ls "$tmp/package"/hwid-"$version"-win64.zip 2>/dev/null | head -n 1)
    [ -n "$zip" ] || fail "no hwid-${version}-win64.zip"
    if [ -n "$zip" ]; then
        python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$zip" >"$tmp/list"
        for f in bin/hwid.exe bin/hwid-explain.exe bin/hwid.dll lib/libhwid.dll.a lib/libhwid.a \
            include/hwid/hwid.h; do
            grep -q "/$f\$" "$tmp/list" || fail "package lacks $f: $(cat "$tmp/list")"
        done
    fi
    ;;
esac
[ "$failures" -eq 0 ] && echo "package checks passed ($kind, version $version)"
exit "$failures"
