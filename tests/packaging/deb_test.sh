#!/bin/bash
# The Debian package as an operator gets it: built with cpack from the build
# tree, listed with dpkg-deb, unpacked with dpkg -x into a root of its own, and
# checked there. Usage: deb_test.sh STEP BUILD_DIR WORK_DIR
#   build      make the package and unpack it (the other steps need it)
#   contents   every file the package must hold, its control data and scripts
#   library    SONAME chain, exactly the six exports, cachekit finds the library
#   pkgconfig  pkg-config from the unpacked root compiles and links a C program
#   unit       systemd-analyze verify accepts the unit (skips without it); the
#              front end's renderer reads a file of knobs
# Exit 77 means skipped.
set -euo pipefail

STEP=$1
BUILD=$2
WORK=$3
ROOT=$WORK/root
DEB=$WORK/cachenode.deb

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

need_package() {
    [ -f "$DEB" ] && [ -d "$ROOT" ] || fail "no unpacked package in $WORK (the build step failed?)"
}

step_build() {
    rm -rf "$WORK"
    mkdir -p "$WORK"
    (cd "$WORK" && cpack -G DEB -B "$WORK/cpack" --config "$BUILD/CPackConfig.cmake") >"$WORK/cpack.log" 2>&1 ||
        { cat "$WORK/cpack.log" >&2; fail "cpack -G DEB failed"; }
    local debs=("$WORK"/cpack/*.deb)
    [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single .deb: ${debs[*]}"
    cp "${debs[0]}" "$DEB"
    dpkg -x "$DEB" "$ROOT"
    echo "built and unpacked $(basename "${debs[0]}")"
}

step_contents() {
    need_package
    dpkg-deb -c "$DEB" | awk '{print $6}' | sed 's|^\./|/|' >"$WORK/list.txt"
    local expected=(
        /usr/bin/vesko_c /usr/bin/fetchwrap /usr/bin/cachekit
        /usr/lib/libcachekit.so /usr/lib/libcachekit.so.1 /usr/include/cachekit.h
        /usr/lib/pkgconfig/cachekit.pc /usr/lib/systemd/system/vesko_c.service
        /usr/share/doc/cachenode/examples/vesko_c.ini /usr/share/doc/cachenode/examples/cachenode_alerts.yml
        /usr/share/man/man1/vesko_c.1 /usr/share/man/man1/fetchwrap.1 /usr/share/man/man1/cachekit.1
        /usr/bin/dispatch_listen /usr/share/man/man1/dispatch_listen.1
        /usr/share/man/man3/cachekit.3
        /usr/share/man/man3/fileExist.3 /usr/share/man/man3/md5data.3 /usr/share/man/man3/md5file.3
        /usr/share/man/man3/uri2d.3 /usr/share/man/man3/checkdisk.3 /usr/share/man/man3/getmsgip.3
        /usr/share/cachenode/frontend/nginx.conf.in /usr/share/cachenode/frontend/cachenode.lua
        /usr/share/cachenode/frontend/cachenode/child.lua /usr/share/cachenode/frontend/cachenode/names.lua
        /usr/share/cachenode/frontend/cachenode/fetch.lua /usr/share/cachenode/frontend/cachenode/stream.lua
        /usr/share/cachenode/frontend/cachenode/guard.lua /usr/share/cachenode/frontend/cachenode/sys.lua
        /usr/share/cachenode/frontend/cachenode-conf
    )
    local missing=0 path
    for path in "${expected[@]}"; do
        grep -qxF "$path" "$WORK/list.txt" || { echo "missing from the package: $path" >&2; missing=1; }
    done
    [ $missing -eq 0 ] || fail "package lacks files (listing in $WORK/list.txt)"
    ! grep -v '^/usr/' "$WORK/list.txt" | grep -vx '/' | grep . ||
        fail "package holds files outside /usr"
    # The sandbox and the stand-in client are for the demo and the tests only.
    ! grep -E '/testbed/|kelpclient' "$WORK/list.txt" || fail "package holds the testbed or the stand-in client"
    for path in /usr/bin/vesko_c /usr/bin/fetchwrap /usr/bin/cachekit /usr/bin/dispatch_listen \
        /usr/share/cachenode/frontend/cachenode-conf; do
        [ -x "$ROOT$path" ] || fail "$path is not executable"
    done
    # The front end's template names the installed programs and itself.
    local knob
    for knob in 'fetchwrap /usr/bin/fetchwrap' 'cachekit_cli /usr/bin/cachekit' \
        'frontend_dir /usr/share/cachenode/frontend'; do
        grep -qx "#@ $knob" "$ROOT/usr/share/cachenode/frontend/nginx.conf.in" ||
            fail "the front end's template lacks the default '$knob'"
    done

    [ "$(dpkg-deb -f "$DEB" Package)" = cachenode ] || fail "package name is not cachenode"
    dpkg-deb -f "$DEB" Depends | grep -q 'libc6' || fail "Depends names no libc6: $(dpkg-deb -f "$DEB" Depends)"
    local script
    mkdir -p "$WORK/control"
    dpkg-deb -e "$DEB" "$WORK/control"
    for script in postinst prerm postrm; do
        [ -x "$WORK/control/$script" ] || fail "maintainer script $script missing or not executable"
        sh -n "$WORK/control/$script" || fail "maintainer script $script does not parse"
    done

    # Files filled in at install time must name the installed prefix, never the
    # build or staging directory.
    if grep -rlF -e "$BUILD" -e "_CPack_Packages" "$ROOT/usr/lib/pkgconfig" "$ROOT/usr/lib/systemd" "$ROOT/usr/share"; then
        fail "installed text files name the build tree"
    fi
    grep -qx 'prefix=/usr' "$ROOT/usr/lib/pkgconfig/cachekit.pc" || fail "cachekit.pc prefix is not /usr"
    for page in "$ROOT"/usr/share/man/man1/*.1 "$ROOT"/usr/share/man/man3/cachekit.3; do
        command -v man >/dev/null || break
        local warnings
        warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null || true)
        [ -z "$warnings" ] || fail "man page $(basename "$page"): $warnings"
    done
    echo "$(wc -l <"$WORK/list.txt") entries, all expected files present"
}

step_library() {
    need_package
    local lib=$ROOT/usr/lib
    local soname
    soname=$(readelf -d "$lib/libcachekit.so" | sed -n 's/.*(SONAME).*\[\(.*\)\].*/\1/p')
    [ "$soname" = libcachekit.so.1 ] || fail "SONAME is '$soname', not libcachekit.so.1"
    [ -L "$lib/libcachekit.so.1" ] || fail "libcachekit.so.1 is not a symbolic link"
    [ -L "$lib/libcachekit.so" ] || fail "libcachekit.so (the development link) is not a symbolic link"
    local real
    real=$(readlink -f "$lib/libcachekit.so.1")
    [ -f "$real" ] && [ "${real#"$lib"/}" != "$real" ] || fail "libcachekit.so.1 does not resolve inside the package: $real"
    [ "$(readlink -f "$lib/libcachekit.so")" = "$real" ] || fail "libcachekit.so and libcachekit.so.1 lead to different files"

    local exports
    exports=$(nm -D --defined-only "$real" | awk '{print $3}' | sed 's/@.*//' | sort | tr '\n' ' ')
    [ "$exports" = "checkdisk fileExist getmsgip md5data md5file uri2d " ] ||
        fail "library exports '$exports', not exactly the six names"

    # The packaged front finds the packaged library beside itself (bin/../lib).
    local digest
    digest=$(env -u CACHEKIT_LIB "$ROOT/usr/bin/cachekit" md5 abc) || fail "packaged cachekit could not run"
    [ "$digest" = 900150983cd24fb0d6963f7d28e17f72 ] || fail "packaged cachekit md5 abc gave '$digest'"
    echo "SONAME $soname -> $(basename "$real"); exports: $exports"
}

step_pkgconfig() {
    need_package
    local flags
    flags=$(PKG_CONFIG_SYSROOT_DIR=$ROOT PKG_CONFIG_PATH=$ROOT/usr/lib/pkgconfig \
            PKG_CONFIG_LIBDIR=$ROOT/usr/lib/pkgconfig pkg-config --cflags --libs cachekit) ||
        fail "pkg-config does not know cachekit in $ROOT"
    echo "pkg-config: $flags"
    case " $flags " in
        *" -I$ROOT/usr/include "*) ;;
        *) fail "--cflags do not point into the unpacked root" ;;
    esac
    cat >"$WORK/host.c" <<'EOF'
#include <stdio.h>
#include <string.h>
#include <cachekit.h>

int main(void) {
    char digest[33];
    char path[4096];
    md5data(digest, "abc", 3);
    uri2d(path, "http://node7:8080/vod/movie01.mp4?start=30", "/data1|/data2");
    printf("%s %s %d\n", digest, path, fileExist("/"));
    return 0;
}
EOF
    # shellcheck disable=SC2086 # the flags are meant to split
    cc -Wall -Wextra -Werror ${HOST_CFLAGS:-} -o "$WORK/host" "$WORK/host.c" $flags || fail "the C program did not compile and link"
    readelf -d "$WORK/host" | grep -q 'NEEDED.*\[libcachekit.so.1\]' || fail "the program does not need libcachekit.so.1"
    local out
    out=$(LD_LIBRARY_PATH=$ROOT/usr/lib "$WORK/host") || fail "the linked program did not run"
    [ "$out" = "900150983cd24fb0d6963f7d28e17f72 /data2/node7/vod/movie01.mp4 0" ] ||
        fail "the linked program printed '$out'"
    echo "linked and ran: $out"
}

# conf_gives EXPECTED ARG...: the packaged renderer, given ARGs, prints EXPECTED.
conf_gives() {
    local want=$1 got
    shift
    got=$("$ROOT/usr/share/cachenode/frontend/cachenode-conf" "$@" 2>&1) || true
    [ "$got" = "$want" ] || fail "cachenode-conf $*: '$got', not '$want'"
}

step_unit() {
    need_package
    command -v systemd-analyze >/dev/null || { echo "SKIP: no systemd-analyze"; exit 77; }
    local unit=$ROOT/usr/lib/systemd/system/vesko_c.service
    grep -qx 'KillMode=control-group' "$unit" || fail "unit does not stop the whole control group"
    grep -qx 'Restart=always' "$unit" || fail "unit does not restart the reporter"
    grep -qx 'ExecStart=/usr/bin/vesko_c -c /etc/cachenode/vesko_c.ini' "$unit" || fail "unexpected ExecStart"
    # The reporter logs to its program file's path plus ".log": that file, and
    # only that, must be writable in the sandbox.
    grep -qx 'ReadWritePaths=/usr/bin/vesko_c.log' "$unit" || fail "the log next to the program is not writable"
    grep -qx 'ProtectSystem=strict' "$unit" || fail "unit is not sandboxed"

    # verify checks that the programs exist: point it at the unpacked ones.
    mkdir -p "$WORK/unit"
    sed "s|/usr/bin/|$ROOT/usr/bin/|g" "$unit" >"$WORK/unit/vesko_c.service"
    local out
    out=$(MANPATH=$ROOT/usr/share/man systemd-analyze verify "$WORK/unit/vesko_c.service" 2>&1) ||
        fail "systemd-analyze verify refused the unit: $out"
    [ -z "$out" ] || fail "systemd-analyze verify complained: $out"
    echo "systemd-analyze verify accepts vesko_c.service"

    # A file of knobs: a default given with -d yields to it, an argument wins
    # over both, a bad line is named.
    local conf=$WORK/unit/frontend.conf
    printf '# a node\n\n  hosts=node7  \nspool_dir=/srv/spool\n' >"$conf"
    conf_gives /srv/spool -d spool_dir=/var/lib/cachenode/spool -f "$conf" -k spool_dir
    conf_gives /x -d spool_dir=/var/lib/cachenode/spool -f "$conf" -k spool_dir spool_dir=/x
    conf_gives /d -d spool_dir=/d -k spool_dir hosts=node7
    conf_gives node7 -f "$conf" -k hosts
    printf 'hosts=node7\nlisten 0.0.0.0:80\n' >"$conf"
    conf_gives "cachenode-conf: $conf line 2: expected NAME=VALUE, not \"listen 0.0.0.0:80\"" -f "$conf"
    printf 'hosts=node7\nlisen=0.0.0.0:80\n' >"$conf"
    conf_gives "cachenode-conf: $conf line 2: unknown knob lisen" -f "$conf"
    "$ROOT/usr/share/cachenode/frontend/cachenode-conf" -h | grep -qF -- '[-f FILE]...' ||
        fail "cachenode-conf -h does not show -f"
    echo "cachenode-conf reads a file of knobs"
}

case "$STEP" in
    build | contents | library | pkgconfig | unit) "step_$STEP" ;;
    *) fail "unknown step $STEP" ;;
esac
