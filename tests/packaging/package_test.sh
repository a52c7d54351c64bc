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
    for f in bin/hwid bin/hwid-explain share/man/man1/hwid.1 share/man/man1/hwid-explain.1 share/hwid/hwid.fact; do
        [ -f "$tmp/prefix/$f" ] || fail "install lacks $f"
    done
    [ -x "$tmp/prefix/share/hwid/hwid.fact" ] || fail "the installed Ansible fact is not executable"
    deb=$(ls "$tmp/package"/hwid_"$version"_*.deb 2>/dev/null | head -n 1)
    [ -n "$deb" ] || fail "no hwid_${version}_*.deb"
    if [ -n "$deb" ]; then
        dpkg-deb -c "$deb" >"$tmp/list"
        for f in usr/bin/hwid usr/bin/hwid-explain usr/share/man/man1/hwid.1 usr/share/man/man1/hwid-explain.1 usr/share/hwid/hwid.fact; do
            grep -q " \./$f\$" "$tmp/list" || fail "package lacks $f"
        done
        [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
        # The installed program works and its man page formats.
        dpkg-deb -x "$deb" "$tmp/root"
        "$tmp/root/usr/bin/hwid" | grep -Eq '^[0-9A-F]{64}$' || fail "packaged hwid does not print an identifier"
        grep -q '^\.TH HWID 1 .*'"$version" "$tmp/root/usr/share/man/man1/hwid.1" || fail "man page lacks the version"
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
        for f in bin/hwid.exe bin/hwid-explain.exe; do
            grep -q "/$f\$" "$tmp/list" || fail "package lacks $f: $(cat "$tmp/list")"
        done
    fi
    ;;
esac
[ "$failures" -eq 0 ] && echo "package checks passed ($kind, version $version)"
exit "$failures"
