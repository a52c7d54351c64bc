#!/bin/sh
# Installs into a scratch prefix and builds the packages of a configured build
# folder, then checks what each holds and runs each ecosystem's own checks:
# lintian on every .deb, rpm's queries on every .rpm, the zip's files, line
# ends, version resources and help under Wine.
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

# Fails unless every line of file $1 ends in CR LF.
check_crlf() {
    [ -s "$1" ] || { fail "$2 is empty"; return; }
    python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); sys.exit(0 if d.endswith(b"\r\n") and d.count(b"\n") == d.count(b"\r\n") else 1)' "$1" ||
        fail "$2 has lines without CR LF"
}

# Fails when ELF or PE program $1 still holds symbols or debug information.
check_stripped() {
    "$2" -h "$1" >"$tmp/sections" 2>&1 || { fail "$3: objdump: $(cat "$tmp/sections")"; return; }
    grep -q ' \.debug_' "$tmp/sections" && fail "$3 holds debug information"
    "$2" -t "$1" 2>&1 | grep -q 'no symbols' || fail "$3 holds a symbol table"
}

case $kind in
deb)
    for f in bin/hwid bin/hwid-explain share/man/man1/hwid.1.gz share/man/man1/hwid-explain.1.gz share/hwid/hwid.fact; do
        [ -f "$tmp/prefix/$f" ] || fail "install lacks $f"
    done
    [ -x "$tmp/prefix/share/hwid/hwid.fact" ] || fail "the installed Ansible fact is not executable"
    debs=$(ls "$tmp/package"/*.deb 2>/dev/null)
    rpms=$(ls "$tmp/package"/*.rpm 2>/dev/null)
    [ -f "$tmp/package/hwid_${version}-1_amd64.deb" ] || fail "no hwid_${version}-1_amd64.deb: $debs"
    [ -f "$tmp/package/hwid-${version}-1.x86_64.rpm" ] || fail "no hwid-${version}-1.x86_64.rpm: $rpms"

    for deb in $debs; do
        name=$(dpkg-deb -f "$deb" Package)
        dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$tmp/$name.deb.list"
        root="$tmp/root-$name"
        dpkg-deb -x "$deb" "$root"
        # lintian is run as root in CI and says it is not recommended; that
        # notice is its only line that is not a tag.
        lintian --fail-on error,warning --pedantic "$deb" >"$tmp/lintian" 2>&1 ||
            fail "lintian on $name: $(grep -v 'root privileges' "$tmp/lintian")"
        grep -Eq "^[EW]: " "$tmp/lintian" && fail "lintian tags on $name: $(grep -E "^[EW]: " "$tmp/lintian")"
        doc="$root/usr/share/doc/$name"
        head -n 1 "$doc/copyright" 2>/dev/null | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' ||
            fail "$name: no machine-readable copyright file"
        grep -q '^Copyright: 2026 hwid developers$' "$doc/copyright" 2>/dev/null || fail "$name: copyright names no holder"
        grep -q '^ Permission is hereby granted, free of charge' "$doc/copyright" 2>/dev/null || fail "$name: copyright lacks the licence text"
        gzip -dc "$doc/changelog.Debian.gz" 2>/dev/null | head -n 1 | grep -q "^$name ($(dpkg-deb -f "$deb" Version))" ||
            fail "$name: changelog.Debian.gz does not start with this version"
        for program in "$root"/usr/bin/*; do
            [ -f "$program" ] && check_stripped "$program" objdump "$name: $program"
        done
        for page in "$root"/usr/share/man/man*/*; do
            [ -f "$page" ] || continue
            case $page in *.gz) gzip -t "$page" || fail "$page is no gzip file" ;; *) fail "$name: $page is not compressed" ;; esac
        done
        dpkg-deb -f "$deb" Maintainer | grep -q 'localhost' && fail "$name: maintainer on localhost"
        [ "$(dpkg-deb -f "$deb" Description | wc -l)" -gt 2 ] || fail "$name: no extended description"
    done

    for rpm in $rpms; do
        name=$(rpm -qp --qf '%{NAME}' "$rpm" 2>/dev/null)
        rpm -qlp "$rpm" 2>/dev/null >"$tmp/$name.rpm.list" || fail "rpm -qlp $rpm"
        # The same files as the .deb; the licence in rpm's place instead of
        # Debian's copyright, changelog and lintian overrides.
        if [ -f "$tmp/$name.deb.list" ]; then
            grep -v -e '/$' -e "^/usr/share/doc/$name/" -e '^/usr/share/lintian/' "$tmp/$name.deb.list" | sort >"$tmp/a"
            rpm -qp --qf '[%{FILEMODES:perms} %{FILENAMES}\n]' "$rpm" 2>/dev/null | grep -v '^d' | cut -d' ' -f2 |
                grep -v "^/usr/share/licenses/$name/" | sort >"$tmp/b"
            diff "$tmp/a" "$tmp/b" >"$tmp/diff" || fail "$name: .deb and .rpm files differ: $(cat "$tmp/diff")"
        else
            fail "$name: an .rpm without a .deb"
        fi
        [ "$(rpm -qp --licensefiles "$rpm" 2>/dev/null)" = "/usr/share/licenses/$name/LICENSE" ] ||
            fail "$name: the rpm's %license is not /usr/share/licenses/$name/LICENSE"
        [ "$(rpm -qp --qf '%{LICENSE}' "$rpm" 2>/dev/null)" = MIT ] || fail "$name: rpm licence is not MIT"
        [ -z "$(rpm -qp --scripts "$rpm" 2>/dev/null)" ] || fail "$name: rpm declares scripts: $(rpm -qp --scripts "$rpm")"
        rpm -qpR "$rpm" 2>/dev/null | grep -v '^rpmlib(' >"$tmp/requires"
        if [ "$name" = hwid ]; then
            # Static programs: nothing but rpm's own features, and the shell
            # for the Ansible fact script.
            grep -vx '/bin/sh' "$tmp/requires" >"$tmp/others"
            [ -s "$tmp/others" ] && fail "hwid rpm requires: $(cat "$tmp/others")"
        fi
        grep -q '/work\|/build/' "$tmp/requires" && fail "$name: rpm requires a build path: $(cat "$tmp/requires")"
        [ "$(rpm -qp --qf '%{VERSION}' "$rpm" 2>/dev/null)" = "$version" ] || fail "$name: rpm version is not $version"
    done

    # The installed program works and its man page formats.
    root="$tmp/root-hwid"
    for f in usr/bin/hwid usr/bin/hwid-explain usr/share/man/man1/hwid.1.gz usr/share/man/man1/hwid-explain.1.gz \
        usr/share/doc/hwid/copyright usr/share/doc/hwid/changelog.Debian.gz usr/share/lintian/overrides/hwid \
        usr/share/hwid/hwid.fact; do
        [ -f "$root/$f" ] || fail "hwid package lacks $f"
    done
    [ "$(dpkg-deb -f "$tmp/package/hwid_${version}-1_amd64.deb" Version 2>/dev/null)" = "$version-1" ] || fail "package version is not $version-1"
    "$root/usr/bin/hwid" | grep -Eq '^[0-9A-F]{64}$' || fail "packaged hwid does not print an identifier"
    gzip -dc "$root/usr/share/man/man1/hwid.1.gz" 2>/dev/null | grep -q '^\.TH HWID 1 .*'"$version" || fail "man page lacks the version"
    [ -z "$(dpkg-deb -f "$tmp/package/hwid_${version}-1_amd64.deb" Depends 2>/dev/null)" ] || fail "hwid depends on something"
    grep -q 'libhwid\|python' "$tmp/hwid.deb.list" && fail "hwid holds library files: $(cat "$tmp/hwid.deb.list")"
    # The library's packages: what each holds, and what each depends on.
    for f in lib/libhwid.so.1 lib/libhwid.so include/hwid/hwid.h lib/libhwid.a lib/pkgconfig/hwid.pc \
        lib/cmake/hwid/hwidConfig.cmake lib/python3/dist-packages/hwid/__init__.py; do
        [ -e "$tmp/prefix/$f" ] || fail "install lacks $f"
    done
    check_package() {  # NAME DEPENDS FILE...
        name=$1
        depends=$2
        shift 2
        package=$(ls "$tmp/package"/"$name"_"$version"-1_*.deb 2>/dev/null | head -n 1)
        [ -n "$package" ] || { fail "no ${name}_${version}-1_*.deb"; return; }
        dpkg-deb -c "$package" | awk '{print $6}' | grep -v '/$' | sed 's|^\./||' |
            grep -v -e "^usr/share/doc/$name/" -e '^usr/share/lintian/' |
            sed 's|hwidTargets-[a-z]*\.cmake$|hwidTargets-CONFIG.cmake|' | sort >"$tmp/$name.list"
        printf '%s\n' "$@" | sort >"$tmp/$name.expected"
        cmp -s "$tmp/$name.list" "$tmp/$name.expected" ||
            fail "$name holds $(tr '\n' ' ' <"$tmp/$name.list"), expected $(tr '\n' ' ' <"$tmp/$name.expected")"
        [ "$(dpkg-deb -f "$package" Depends)" = "$depends" ] ||
            fail "$name depends on '$(dpkg-deb -f "$package" Depends)', expected '$depends'"
        [ "$(dpkg-deb -f "$package" Version)" = "$version-1" ] || fail "$name version is not $version-1"
    }
    check_package libhwid1 "libc6 (>= 2.34)" usr/lib/libhwid.so.1 usr/lib/libhwid.so.1.0.0
    check_package libhwid-dev "libhwid1 (= $version-1)" usr/include/hwid/hwid.h usr/lib/libhwid.a \
        usr/lib/libhwid.so usr/lib/pkgconfig/hwid.pc usr/lib/cmake/hwid/hwidConfig.cmake \
        usr/lib/cmake/hwid/hwidConfigVersion.cmake usr/lib/cmake/hwid/hwidTargets.cmake \
        usr/lib/cmake/hwid/hwidTargets-CONFIG.cmake
    check_package python3-hwid "libhwid1 (= $version-1), python3" \
        usr/lib/python3/dist-packages/hwid/__init__.py
    # The three unpacked together: the module finds the library, and it gives
    # what the packaged hwid prints.
    for name in libhwid1 libhwid-dev python3-hwid; do
        package=$(ls "$tmp/package"/"$name"_"$version"-1_*.deb 2>/dev/null | head -n 1)
        [ -z "$package" ] || dpkg-deb -x "$package" "$tmp/root-hwid"
    done
    # (Not in a sanitizer build, whose library Python cannot load.)
    if ! readelf -d "$tmp/root-hwid/usr/lib/libhwid.so.1" | grep -q 'NEEDED.*lib[at]san'; then
        from_python=$(PYTHONPATH="$tmp/root-hwid/usr/lib/python3/dist-packages" python3 -c 'import hwid; print(hwid.identifier())' 2>&1)
        [ "$from_python" = "$("$tmp/root-hwid/usr/bin/hwid")" ] || fail "packaged module gave $from_python"
    fi
    ;;
zip)
    for f in bin/hwid.exe bin/hwid-explain.exe README.txt LICENSE.txt; do
        [ -f "$tmp/prefix/$f" ] || fail "install lacks $f"
    done
    zip="$tmp/package/hwid-$version-win64.zip"
    [ -f "$zip" ] || fail "no hwid-${version}-win64.zip"
    if [ -f "$zip" ]; then
        python3 -c 'import sys, zipfile; print("\n".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$zip" >"$tmp/list"
        top="hwid-$version-win64"
        # The programs with their read-me and licence, and the library: the
        # DLL, its import and static libraries, the header, the pkg-config and
        # CMake files and the Python module.
        for f in LICENSE.txt README.txt bin/ bin/hwid-explain.exe bin/hwid.exe bin/hwid.dll \
            include/ include/hwid/ include/hwid/hwid.h lib/ lib/libhwid.a lib/libhwid.dll.a \
            lib/pkgconfig/ lib/pkgconfig/hwid.pc lib/cmake/ lib/cmake/hwid/ \
            lib/cmake/hwid/hwidConfig.cmake lib/cmake/hwid/hwidConfigVersion.cmake \
            lib/cmake/hwid/hwidTargets.cmake lib/cmake/hwid/hwidTargets-release.cmake \
            Lib/ Lib/site-packages/ Lib/site-packages/hwid/ Lib/site-packages/hwid/__init__.py; do
            echo "$top/$f"
        done | LC_ALL=C sort >"$tmp/want"
        diff "$tmp/want" "$tmp/list" >"$tmp/diff" || fail "zip holds other files: $(cat "$tmp/diff")"
        python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$tmp/unzip"
        dir="$tmp/unzip/$top"
        check_crlf "$dir/README.txt" README.txt
        check_crlf "$dir/LICENSE.txt" LICENSE.txt
        grep -q 'MIT License' "$dir/LICENSE.txt" || fail "LICENSE.txt is not the MIT licence"
        for exe in hwid hwid-explain; do
            [ -f "$dir/bin/$exe.exe" ] || continue
            check_stripped "$dir/bin/$exe.exe" x86_64-w64-mingw32-objdump "$exe.exe"
            # The version resource, as Windows shows it in the file's properties.
            x86_64-w64-mingw32-windres -i "$dir/bin/$exe.exe" -O rc >"$tmp/$exe.rc" 2>&1 || fail "$exe.exe: no resources: $(cat "$tmp/$exe.rc")"
            for value in '"ProductName", "hwid"' "\"ProductVersion\", \"$version\"" "\"FileVersion\", \"$version\"" \
                "\"OriginalFilename\", \"$exe.exe\"" '"FileDescription", "[A-Z]' '"LegalCopyright", "Copyright (c) 2026 hwid developers'; do
                grep -q "VALUE $value" "$tmp/$exe.rc" || fail "$exe.exe: version resource lacks $value: $(cat "$tmp/$exe.rc")"
            done
        done
        # The help as Windows users ask for it, and README.txt says the same:
        # the usage line and every option.
        for ask in '/?' '-?' --help; do
            "$HWID_WINE" "$dir/bin/hwid-explain.exe" "$ask" >"$tmp/help" 2>&1 || fail "hwid-explain.exe $ask fails: $(cat "$tmp/help")"
            head -n 1 "$tmp/help" | grep -q '^usage: hwid-explain' || fail "hwid-explain.exe $ask prints no help: $(cat "$tmp/help")"
        done
        usage=$(head -n 1 "$tmp/help" | tr -d '\r')
        grep -qF "$usage" "$dir/README.txt" || fail "README.txt lacks the usage line: $usage"
        for option in $(grep -o -- '--[a-z-]*' "$tmp/help" | sort -u); do
            grep -q -- "$option" "$dir/README.txt" || fail "README.txt does not explain $option"
        done
        grep -q 'Exit status' "$dir/README.txt" || fail "README.txt gives no exit statuses"
    fi
    ;;
esac
[ "$failures" -eq 0 ] && echo "package checks passed ($kind, version $version)"
exit "$failures"
