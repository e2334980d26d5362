#!/bin/bash
# The Debian package as an operator gets it: built with cpack from the build
# tree, listed with dpkg-deb, unpacked with dpkg -x into a root of its own, and
# checked there. Usage: deb_test.sh STEP BUILD_DIR WORK_DIR
#   build      make the package and unpack it (the other steps need it)
#   contents   every file the package must hold, its control data and scripts
#   library    SONAME chain, exactly the six exports, cachekit finds the library
#   pkgconfig  pkg-config from the unpacked root compiles and links a C program
#   unit       systemd-analyze verify accepts the four units (skips without
#              it); the front end's, the listener's and the balancer's command
#              lines, and the maintainer scripts, run in the node sandbox
#              (skips where it cannot run)
# Exit 77 means skipped.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
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
        /usr/lib/systemd/system/cachenode-frontend.service /usr/lib/systemd/system/cachenode-dispatch.service
        /usr/share/doc/cachenode/examples/frontend.conf /usr/share/doc/cachenode/examples/cachenode-dispatch.default
        /usr/share/doc/cachenode/examples/vesko_c.ini /usr/share/doc/cachenode/examples/cachenode_alerts.yml
        /usr/share/man/man1/vesko_c.1 /usr/share/man/man1/fetchwrap.1 /usr/share/man/man1/cachekit.1
        /usr/bin/dispatch_listen /usr/share/man/man1/dispatch_listen.1
        /usr/share/man/man3/cachekit.3 /usr/share/man/man8/cachenode-frontend.8
        /usr/share/man/man3/fileExist.3 /usr/share/man/man3/md5data.3 /usr/share/man/man3/md5file.3
        /usr/share/man/man3/uri2d.3 /usr/share/man/man3/checkdisk.3 /usr/share/man/man3/getmsgip.3
        /usr/share/cachenode/frontend/nginx.conf.in /usr/share/cachenode/frontend/cachenode.lua
        /usr/share/cachenode/frontend/cachenode/child.lua /usr/share/cachenode/frontend/cachenode/names.lua
        /usr/share/cachenode/frontend/cachenode/fetch.lua /usr/share/cachenode/frontend/cachenode/stream.lua
        /usr/share/cachenode/frontend/cachenode/guard.lua /usr/share/cachenode/frontend/cachenode/sys.lua
        /usr/share/cachenode/frontend/cachenode/claims.lua /usr/share/cachenode/frontend/cachenode/files.lua
        /usr/share/cachenode/frontend/cachenode/clients.lua /usr/share/cachenode/frontend/cachenode/config.lua
        /usr/share/cachenode/frontend/cachenode/download.lua
        /usr/share/cachenode/frontend/cachenode/line.lua /usr/share/cachenode/frontend/cachenode/record.lua
        /usr/share/cachenode/frontend/cachenode/spool.lua /usr/share/cachenode/frontend/cachenode/waits.lua
        /usr/share/cachenode/frontend/cachenode/wake.lua /usr/share/cachenode/frontend/cachenode/health.lua
        /usr/share/cachenode/frontend/cachenode/disks.lua /usr/share/cachenode/frontend/cachenode/probe.lua
        /usr/share/cachenode/frontend/cachenode/mapping.lua
        /usr/share/cachenode/frontend/cachenode-conf /usr/share/doc/cachenode/examples/certbot-deploy-hook
        /usr/share/cachenode/logrotate.d/cachenode-frontend
        /usr/share/cachenode/balancer/cachenode-balancer /usr/share/cachenode/balancer/haproxy.cfg.in
        /usr/lib/systemd/system/cachenode-balancer.service /usr/share/man/man8/cachenode-balancer.8
        /usr/share/doc/cachenode/examples/balancer.conf /usr/share/doc/cachenode/examples/balancer.nodes
        /usr/share/doc/cachenode/examples/prometheus-fleet.yml
        /usr/share/doc/cachenode/examples/cachenode_fleet_rules.yml
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
        /usr/share/cachenode/frontend/cachenode-conf /usr/share/doc/cachenode/examples/certbot-deploy-hook \
        /usr/share/cachenode/balancer/cachenode-balancer; do
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
    for page in "$ROOT"/usr/share/man/man1/*.1 "$ROOT"/usr/share/man/man3/cachekit.3 \
        "$ROOT"/usr/share/man/man8/*.8; do
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
    local units=$ROOT/usr/lib/systemd/system
    local unit=$units/vesko_c.service
    grep -qx 'KillMode=control-group' "$unit" || fail "unit does not stop the whole control group"
    grep -qx 'Restart=always' "$unit" || fail "unit does not restart the reporter"
    grep -qx 'ExecStart=/usr/bin/vesko_c -c /etc/cachenode/vesko_c.ini' "$unit" || fail "unexpected ExecStart"
    # The reporter logs to its program file's path plus ".log": that file, and
    # only that, must be writable in the sandbox.
    grep -qx 'ReadWritePaths=/usr/bin/vesko_c.log' "$unit" || fail "the log next to the program is not writable"
    grep -qx 'ProtectSystem=strict' "$unit" || fail "unit is not sandboxed"
    unit=$units/cachenode-frontend.service
    grep -qx "ExecStart=/usr/sbin/nginx -p /var/lib/cachenode -c /run/cachenode/nginx.conf -e stderr -g 'daemon off;'" \
        "$unit" || fail "the front end's nginx is not the one of prefix /var/lib/cachenode in the foreground"
    ! grep -q '^MemoryDenyWriteExecute=' "$unit" || fail "the front end's LuaJIT needs writable, executable memory"
    grep -qx 'ReadWritePaths=-/usr/local/dadiv-urede/logs' "$unit" || fail "checkdisk's autodel.log is not writable"
    grep -qx 'EnvironmentFile=-/etc/default/cachenode-dispatch' "$units/cachenode-dispatch.service" ||
        fail "the listener does not read /etc/default/cachenode-dispatch"

    unit=$units/cachenode-balancer.service
    grep -qx 'ExecStartPre=/usr/sbin/haproxy -c -q -f /run/cachenode-balancer/haproxy.cfg' "$unit" ||
        fail "the balancer's unit does not check the rendering before a start"
    grep -qx 'ExecReload=/usr/sbin/haproxy -c -q -f /run/cachenode-balancer/haproxy.cfg.new' "$unit" ||
        fail "the balancer's unit does not check the rendering before a reload"

    # verify checks that the programs exist: point it at the unpacked ones.
    # The front end's needs nginx installed, the balancer's HAProxy.
    mkdir -p "$WORK/unit"
    local -a verify=()
    for unit in vesko_c cachenode-dispatch cachenode-frontend cachenode-balancer; do
        [ $unit != cachenode-frontend ] || [ -x /usr/sbin/nginx ] || continue
        [ $unit != cachenode-balancer ] || [ -x /usr/sbin/haproxy ] || continue
        sed -E "s#/usr/(bin/(vesko_c|dispatch_listen)|share/cachenode/)#$ROOT/usr/\1#g" \
            "$units/$unit.service" >"$WORK/unit/$unit.service"
        verify+=("$WORK/unit/$unit.service")
    done
    local out
    out=$(MANPATH=$ROOT/usr/share/man systemd-analyze verify "${verify[@]}" 2>&1) ||
        fail "systemd-analyze verify refused a unit: $out"
    [ -z "$out" ] || fail "systemd-analyze verify complained: $out"
    echo "systemd-analyze verify accepts ${verify[*]##*/}"

    # The rendering the front end's unit asks for: its spool default yields to
    # frontend.conf, an argument wins over both, a bad line is named.
    local conf=$WORK/unit/frontend.conf
    printf '# a node\n\n  hosts=node7  \nspool_dir=/srv/spool\n' >"$conf"
    conf_gives /srv/spool -d spool_dir=/var/lib/cachenode/spool -f "$conf" -k spool_dir
    conf_gives /x -d spool_dir=/var/lib/cachenode/spool -f "$conf" -k spool_dir spool_dir=/x
    conf_gives /d -d spool_dir=/d -k spool_dir hosts=node7
    conf_gives node7 -f "$conf" -k hosts
    # The example as installed names no site; each of its knobs, uncommented, is one.
    local example=$ROOT/usr/share/doc/cachenode/examples/frontend.conf
    conf_gives "cachenode-conf: knob hosts must be given (hosts=VALUE)" -f "$example" -k user
    sed 's/^#\([a-z_]*=\)/\1/' "$example" >"$conf"
    conf_gives "0.0.0.0:80|[::]:80" -f "$conf" -k listen
    printf 'hosts=node7\nlisten 0.0.0.0:80\n' >"$conf"
    conf_gives "cachenode-conf: $conf line 2: expected NAME=VALUE, not \"listen 0.0.0.0:80\"" -f "$conf"
    printf 'hosts=node7\nlisen=0.0.0.0:80\n' >"$conf"
    conf_gives "cachenode-conf: $conf line 2: unknown knob lisen" -f "$conf"
    "$ROOT/usr/share/cachenode/frontend/cachenode-conf" -h | grep -qF -- '#@use NAME' ||
        fail "cachenode-conf -h does not show the whole head"
    # A block written where it is used, and a choice by a knob's value.
    local template=$WORK/unit/template.in
    printf '#@ a x\n#@block b\n#@if a x\nis x\n#@else\nnot x: @a@\n#@fi\n#@end\none\n#@use b\n#@use b\n' \
        >"$template"
    conf_gives "#@ a x
one
is x
is x" -t "$template"
    conf_gives "#@ a x
one
not x: y
not x: y" -t "$template" a=y
    # A choice by a list of addresses being IPv4 alone.
    printf '#@ l a\n#@if l:ipv4\nipv4\n#@else\nnot\n#@fi\n' >"$template"
    local addresses
    for addresses in 127.0.0.1:80 '0.0.0.0:80|127.0.0.2:81,reuseport' 80 '*:80' off; do
        conf_gives "#@ l a
ipv4" -t "$template" "l=$addresses"
    done
    for addresses in '[::]:80' '127.0.0.1:80|[::1]:80,ipv6only=off' localhost:80 unix:/run/x 1.2.3:80; do
        conf_gives "#@ l a
not" -t "$template" "l=$addresses"
    done
    printf '#@ l a\n#@if l:ipv6\n#@fi\n' >"$template"
    conf_gives "cachenode-conf: template line 2 names an unknown knob: #@if l:ipv6" -t "$template"
    # An address's parameters on its first line only; bits in bytes.
    printf '#@ l a\n#@ n 64\n#@each l\nlisten @l:listen@;\n#@end\n#@each l\nagain @l:listen@; @n:bytes@\n#@end\n' \
        >"$template"
    conf_gives "#@ l a
#@ n 64
listen 127.0.0.1:80;
listen [::]:81 ipv6only=off;
again 127.0.0.1:80; 8
again [::]:81; 8" -t "$template" 'l=127.0.0.1:80|[::]:81,ipv6only=off'
    conf_gives "cachenode-conf: n must be 8 to 128 in steps of 8, not \"60\"" -o "$WORK/unit/x.conf" -t "$template" n=60
    printf '#@ a x\n#@use b\n#@block b\nb\n#@end\n' >"$template"
    conf_gives "cachenode-conf: template line 2 uses no block defined before it: #@use b" -t "$template"
    printf '#@ a x\n#@if a\n#@block b\n#@end\n#@fi\n' >"$template"
    conf_gives "cachenode-conf: template line 3 is not \"#@block NAME\" outside the others" -t "$template"
    # The template's lines for TLS: without tls_listen one server and no
    # certificate read; with it one per pair, which must match in number.
    local out=$WORK/unit/rendered.conf
    conf_gives "" -o "$out" hosts=node7 'tls_cert=/gone/a.pem|/gone/b.pem' 'tls_key=/gone/a.key|/gone/b.key'
    [ "$(grep -c '^    server {' "$out")" = 1 ] && ! grep -q 'ssl_certificate' "$out" ||
        fail "without tls_listen the rendering has $(grep -c '^    server {' "$out") servers or a certificate"
    conf_gives "cachenode-conf: tls_cert has 2 items, tls_key 1" -o "$out" hosts=node7 tls_listen=127.0.0.1:1 \
        'tls_cert=/gone/a.pem|/gone/b.pem' tls_key=/gone/a.key
    # The per-client zone's key: the map of IPv6 prefixes wherever an IPv6
    # client may arrive, through a listen address or a balancer.
    local row
    for row in '$binary_remote_addr listen=127.0.0.1:80|0.0.0.0:81' '$cachenode_client listen=127.0.0.1:80|[::]:80' \
        '$cachenode_client listen=[::]:80,ipv6only=off' '$cachenode_client balancers=192.0.2.1'; do
        conf_gives "" -o "$out" hosts=node7 "${row#* }"
        grep -qx "    limit_conn_zone ${row%% *} zone=cachenode_clients:10m;" "$out" ||
            fail "with ${row#* } the zone is not keyed by ${row%% *}: $(grep limit_conn_zone "$out")"
    done

    # The command lines themselves and the maintainer scripts, in the node
    # sandbox, from a copy of this script beside the unpacked package.
    cp "${BASH_SOURCE[0]}" "$WORK/deb_test.sh"
    mkdir -p "$WORK/unit/control"
    dpkg-deb -e "$DEB" "$WORK/unit/control"
    "$HERE/../../tools/testbed/testbed" --fetchwrap "$ROOT/usr/bin/fetchwrap" \
        --lib "$ROOT/usr/lib/libcachekit.so.1" --cli "$ROOT/usr/bin/cachekit" --knob hosts=node7 --tls \
        -- "$WORK/deb_test.sh" unit_sandbox "$BUILD" /node/cmd
}

# exec_lines UNIT KEY: the command lines of KEY= in UNIT without their prefixes,
# systemd's "$$" turned into the "$" it stands for. The units write only what
# bash reads as systemd does: plain words, '...', "${VAR}" and $MAINPID.
exec_lines() {
    sed -n "s/^$2=[-+!:@]*//p" "$1" | sed 's/\$\$/$/g'
}

# run_unit UNIT KEY: runs the lines of KEY= in order, as the unit would, with
# its EnvironmentFile=, MAINPID, NoNewPrivileges= and CapabilityBoundingSet=;
# the status is the first failure's. ExecStart runs in the background (exec'd,
# so $! is its process) and prints its pid.
run_unit() {
    local line file caps
    local -a lines
    mapfile -t lines < <(exec_lines "$1" "$2")
    [ ${#lines[@]} -gt 0 ] || fail "$1 has no $2="
    grep -qx 'NoNewPrivileges=yes' "$1" || fail "$1 lets its programs gain privileges"
    caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$1" | tr 'A-Z ' 'a-z\n' | sed -n 's/^cap_/,+/p' | tr -d '\n')
    (
        set -a
        while read -r file; do
            # shellcheck disable=SC1090 # the unit's own file
            [ ! -e "$file" ] || . "$file"
        done < <(sed -n 's/^EnvironmentFile=-\{0,1\}//p' "$1")
        set +a
        for line in "${lines[@]}"; do
            # nginx, which loads the library, gets the testbed's runtime for
            # one built with AddressSanitizer (as the testbed's own do).
            case $line in
                /usr/sbin/nginx\ *) [ -z "${TB_PRELOAD:-}" ] ||
                    line="env LD_PRELOAD=$TB_PRELOAD ASAN_OPTIONS=detect_leaks=0 $line" ;;
            esac
            line="setpriv --no-new-privs --bounding-set -all$caps $line"
            if [ "$2" = ExecStart ]; then
                eval "exec $line" </dev/null >>"/tmp/$(basename "$1").out" 2>&1 &
                echo $!
            else
                eval "$line" </dev/null || exit $?
            fi
        done
    )
}

# http_code PORT HOST TARGET: the status of GET TARGET, 000 for no answer.
http_code() {
    curl -s -m 2 -o /dev/null -w '%{http_code}' -H "Host: $2" "http://127.0.0.1:$1$3" || true
}

# wait_code CODE PORT HOST TARGET: polls for up to 10 s until GET TARGET has
# status CODE; fails with the front end's error log when it never does.
wait_code() {
    local code end=$((SECONDS + 10))
    while [ $SECONDS -lt $end ]; do
        code=$(http_code "$2" "$3" "$4")
        [ "$code" != "$1" ] || return 0
        sleep 0.1
    done
    tail -n 20 /var/lib/cachenode/logs/error.log /tmp/cachenode-frontend.service.out >&2 || true
    fail "GET $4 (Host: $3) on port $2 gave $code, not $1"
}

# https_serial PORT: the serial number of the certificate the front end's HTTPS
# on PORT shows for node7, checked against the testbed's CA; empty for none.
https_serial() {
    openssl s_client -connect "127.0.0.1:$1" -servername node7 -CAfile "$CN_CA" -verify_return_error \
        </dev/null 2>/dev/null | openssl x509 -noout -serial 2>/dev/null
}

# new_cert NAME: a new key and certificate for node7 from the testbed's CA,
# in /tmp/NAME.key and /tmp/NAME.pem.
new_cert() {
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -noenc -keyout "/tmp/$1.key" -subj /CN=node7 \
        -addext subjectAltName=DNS:node7 -out "/tmp/$1.csr" 2>/dev/null
    openssl x509 -req -in "/tmp/$1.csr" -CA "$CN_CA" -CAkey "${CN_CA%/*}/ca.key" -days 2 \
        -copy_extensions copy -out "/tmp/$1.pem" 2>/dev/null
}

# owned_by USER FILE: waits up to 10 s until FILE exists and belongs to USER.
owned_by() {
    for _ in $(seq 100); do
        [ "$(stat -c %U "$2" 2>/dev/null)" != "$1" ] || return 0
        sleep 0.1
    done
    return 1
}

# Inside the node sandbox (CN_* from the testbed), WORK the unpacked package's
# directory, read-only. /etc and /usr here are the machine's own, bound
# read-only, so the units' paths into them are rewritten: the package's files
# to the unpacked ones, /etc/cachenode and /etc/default to a writable /node/etc.
# /var/lib and /run exist only in the sandbox's own tmpfs root, so the units'
# paths there stand as written (only the listener's textfile directory moves
# to a temporary one), and what StateDirectory= and RuntimeDirectory= would
# make is made below them.
step_unit_sandbox() {
    local units=$ROOT/usr/lib/systemd/system examples=$ROOT/usr/share/doc/cachenode/examples unit dir
    local front=/tmp/cachenode-frontend.service listener=/tmp/cachenode-dispatch.service
    local balancer=/tmp/cachenode-balancer.service
    mkdir -p /node/etc/cachenode /node/etc/default /tmp/textfile
    for unit in cachenode-frontend cachenode-dispatch cachenode-balancer; do
        sed -e "s#/usr/share/cachenode/#$ROOT&#g" -e "s#/usr/bin/dispatch_listen#$ROOT&#g" \
            -e "s#/etc/cachenode/#/node&#g" -e "s#/etc/default/#/node&#g" \
            -e "s#/var/lib/prometheus/node-exporter#/tmp/textfile#g" "$units/$unit.service" >"/tmp/$unit.service"
        for dir in $(sed -n 's/^StateDirectory=//p' "/tmp/$unit.service"); do mkdir -p "/var/lib/$dir"; done
        for dir in $(sed -n 's/^RuntimeDirectory=//p' "/tmp/$unit.service"); do mkdir -p "/run/$dir"; done
    done

    # As installed, neither starts: skipped (1 to 254), not failed (255).
    cp "$examples/frontend.conf" /node/etc/cachenode/frontend.conf
    cp "$examples/cachenode-dispatch.default" /node/etc/default/cachenode-dispatch
    cp "$examples/balancer.conf" "$examples/balancer.nodes" /node/etc/cachenode/
    local rc
    for unit in "$front" "$listener" "$balancer"; do
        rc=0
        run_unit "$unit" ExecCondition || rc=$?
        [ $rc -ge 1 ] && [ $rc -le 254 ] || fail "$(basename "$unit") as installed: ExecCondition gave $rc, not a skip"
    done

    # The front end, configured to use the sandbox's programs; the spool is
    # the unit's. The testbed's cache directories belong to the workers' user.
    local port=$CN_SPARE_PORT user tls_port tls_key=$CN_TLS_KEY
    tls_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    user=$(stat -c %U "${CN_DIRS%%|*}")
    write_front_conf() {
        printf '%s\n' "# written by deb_test.sh" "hosts=$1" "listen=127.0.0.1:$port" "cache_dirs=$CN_DIRS" \
            "cachekit_lib=$CN_LIB" "cachekit_cli=$CN_CLI" fetchwrap=/node/bin/fetchwrap \
            path=/node/bin:/usr/bin:/bin "frontend_dir=$ROOT/usr/share/cachenode/frontend" guard_interval=0 \
            "tls_listen=127.0.0.1:$tls_port" "tls_cert=$CN_TLS_CERT" "tls_key=$tls_key"
        [ "$user" = www-data ] || echo "user=$user"
    } >/node/etc/cachenode/frontend.conf
    write_front_conf node7
    run_unit "$front" ExecCondition || fail "a configured front end is skipped"
    run_unit "$front" ExecStartPre || fail "the front end's ExecStartPre failed"
    grep -qF 'spool_dir = "/var/lib/cachenode/spool",' /run/cachenode/nginx.conf ||
        fail "the unit's rendering has another spool_dir"
    [ "$(stat -c '%U %a' /var/lib/cachenode/spool)" = "$user 700" ] ||
        fail "the spool is not the workers' ($user): $(stat -c '%U %a' /var/lib/cachenode/spool)"
    local pid
    pid=$(run_unit "$front" ExecStart)
    wait_code 200 "$port" node7 /vod/movie01.mp4
    cmp -s <(curl -s -m 5 -H 'Host: node7' "http://127.0.0.1:$port/vod/movie01.mp4") "$CN_FILES/vod/movie01.mp4" ||
        fail "the front end served other bytes"

    # Reload: a new site is served by the same master; a file that fails
    # nginx's check leaves the running configuration and its file alone. The
    # logs are reopened first, as after a rotation: they are then the workers'
    # user's, and the master must still open them.
    [ "$(http_code "$port" reload.example /vod/movie02.mp4)" = 421 ] || fail "reload.example served before the reload"
    kill -USR1 "$pid"
    for _ in $(seq 100); do
        [ "$(stat -c %U /var/lib/cachenode/logs/error.log)" != "$user" ] || break
        sleep 0.1
    done
    [ "$(stat -c %U /var/lib/cachenode/logs/error.log)" = "$user" ] || fail "USR1 did not reopen the logs"
    write_front_conf 'node7|reload.example'
    MAINPID=$pid run_unit "$front" ExecReload || fail "the front end's ExecReload failed"
    wait_code 200 "$port" reload.example /vod/movie02.mp4
    [ "$(http_code "$port" node7 /vod/movie01.mp4)" = 200 ] || fail "node7 is not served after the reload"
    kill -0 "$pid" || fail "the master is gone after the reload"
    cp /run/cachenode/nginx.conf /tmp/good.conf
    echo worker_processes=many >>/node/etc/cachenode/frontend.conf
    ! MAINPID=$pid run_unit "$front" ExecReload 2>/dev/null || fail "a reload with worker_processes=many passed"
    cmp -s /run/cachenode/nginx.conf /tmp/good.conf || fail "a failed reload replaced the running configuration's file"
    [ "$(http_code "$port" reload.example /vod/movie03.mp4)" = 200 ] || fail "not serving after a failed reload"
    echo "front end: ExecStartPre, ExecStart and ExecReload serve on 127.0.0.1:$port"

    # HTTPS. A key that is not the certificate's fails the reload, with the
    # reason, and the old pair goes on serving; a renewed pair at the same
    # paths is served after a reload.
    local serial
    serial=$(https_serial "$tls_port")
    [ -n "$serial" ] || fail "no HTTPS on 127.0.0.1:$tls_port with the testbed's certificate"
    new_cert other
    tls_key=/tmp/other.key write_front_conf node7
    local said
    said=$(MAINPID=$pid run_unit "$front" ExecReload 2>&1) && fail "a reload with a mismatched key passed"
    grep -q 'key values mismatch' <<<"$said" || fail "a reload with a mismatched key said: $said"
    [ "$(https_serial "$tls_port")" = "$serial" ] || fail "not serving the old certificate after a failed reload"
    new_cert renewed
    cp /tmp/renewed.pem "$CN_TLS_CERT"
    cp /tmp/renewed.key "$CN_TLS_KEY"
    write_front_conf node7
    local renewed old
    old=$(pgrep -P "$pid")
    MAINPID=$pid run_unit "$front" ExecReload || fail "the reload after a renewal failed"
    renewed=$(openssl x509 -noout -serial -in /tmp/renewed.pem)
    # Until an old worker has seen the reload, it still takes connections
    # with the old certificate.
    # shellcheck disable=SC2086
    for _ in $(seq 50); do kill -0 $old 2>/dev/null || break; sleep 0.1; done
    [ "$(https_serial "$tls_port")" = "$renewed" ] || fail "the renewed certificate is not served after a reload"
    echo "HTTPS: a mismatched key keeps the running pair, a renewal is served after a reload"

    # The logs: a log that a reload creates is the workers' user's, and
    # logrotate with the package's file (its paths as they stand) rotates
    # them: the old lines in .1, then compressed, the new ones in a new file
    # of the workers' user.
    local logs=/var/lib/cachenode/logs
    rm "$logs/access.log"
    MAINPID=$pid run_unit "$front" ExecReload || fail "the front end's ExecReload failed"
    owned_by "$user" "$logs/access.log" || fail "a log made by a reload belongs to $(stat -c %U "$logs/access.log")"
    http_code "$port" node7 /vod/movie01.mp4 >/dev/null
    grep -q 'GET /vod/movie01.mp4 HTTP/1.1" 200 [0-9]* [0-9.]* HIT -$' "$logs/access.log" ||
        fail "the access log has no cachenode line for the HIT: $(tail -n 2 "$logs/access.log")"
    local rotate=$ROOT/usr/share/cachenode/logrotate.d/cachenode-frontend
    logrotate -f -s /tmp/logrotate.state "$rotate" || fail "logrotate -f failed"
    owned_by "$user" "$logs/access.log" || fail "after logrotate no access.log of $user"
    grep -q 'GET /vod/movie01.mp4' "$logs/access.log.1" || fail "the rotated log lost its lines"
    http_code "$port" node7 /vod/movie02.mp4 >/dev/null
    for _ in $(seq 50); do grep -q 'GET /vod/movie02.mp4' "$logs/access.log" && break; sleep 0.1; done
    grep -q 'GET /vod/movie02.mp4' "$logs/access.log" && ! grep -q 'movie02' "$logs/access.log.1" ||
        fail "new lines did not go to the new access.log"
    logrotate -f -s /tmp/logrotate.state "$rotate" || fail "the second logrotate -f failed"
    gzip -t "$logs/access.log.2.gz" || fail "the older log is not compressed: $(ls "$logs")"
    kill -TERM "$pid"
    echo "logs: a reload's new log and logrotate's are the workers' user's; $(ls "$logs" | tr '\n' ' ')"

    # A start with a mismatched key or without its certificate stops before
    # nginx, with the reason where the journal takes it.
    tls_key=/tmp/other.key write_front_conf node7
    said=$(run_unit "$front" ExecStartPre 2>&1) && fail "a start with a mismatched key passed"
    grep -q 'key values mismatch' <<<"$said" || fail "a start with a mismatched key said: $said"
    sed -i 's|^tls_cert=.*|tls_cert=/node/tls/gone.pem|' /node/etc/cachenode/frontend.conf
    said=$(run_unit "$front" ExecStartPre 2>&1) && fail "a start without the certificate passed"
    grep -q 'cannot read the certificate /node/tls/gone.pem' <<<"$said" ||
        fail "a start without the certificate said: $said"
    echo "a mismatched key or a missing certificate stops a start, with the reason"

    # The listener, given an address, writes its textfile.
    echo DISPATCH_ADDRESS=127.0.0.1:0 >/node/etc/default/cachenode-dispatch
    run_unit "$listener" ExecCondition || fail "a configured listener is skipped"
    pid=$(run_unit "$listener" ExecStart)
    for _ in $(seq 100); do
        [ ! -s /tmp/textfile/cachenode_dispatch.prom ] || break
        sleep 0.1
    done
    grep -q '^cachenode_dispatch_datagrams_total' /tmp/textfile/cachenode_dispatch.prom ||
        fail "the listener wrote no textfile: $(cat /tmp/cachenode-dispatch.service.out)"
    grep -q '^listening on 127\.0\.0\.1:[1-9]' /tmp/cachenode-dispatch.service.out ||
        fail "the listener did not bind 127.0.0.1: $(cat /tmp/cachenode-dispatch.service.out)"
    kill -TERM "$pid"
    echo "dispatch listener: ExecStart writes $(ls /tmp/textfile)"

    # The balancer over the sandbox's own front end: rendered, checked with
    # haproxy -c, serving through HAProxy (whose worker chroots to the
    # template's /var/lib/haproxy); a reload that fails its check leaves the
    # running file, one that passes is served by the same master.
    if command -v haproxy >/dev/null && id haproxy >/dev/null 2>&1; then
        local lb stats
        read -r lb stats < <(python3 -c '
import socket
socks = [socket.socket() for _ in range(2)]
for s in socks: s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in socks])')
        mkdir -p /var/lib/haproxy
        echo "front $CN_FRONT  # the testbed's" >/node/etc/cachenode/balancer.nodes
        printf '%s\n' "listen=127.0.0.1:$lb" "stats_listen=127.0.0.1:$stats" >/node/etc/cachenode/balancer.conf
        run_unit "$balancer" ExecCondition || fail "a configured balancer is skipped"
        run_unit "$balancer" ExecStartPre || fail "the balancer's ExecStartPre failed"
        pid=$(run_unit "$balancer" ExecStart)
        wait_code 200 "$lb" node7 /vod/movie04.mp4
        cmp -s <(curl -s -m 5 -H 'Host: node7' "http://127.0.0.1:$lb/vod/movie04.mp4") "$CN_FILES/vod/movie04.mp4" ||
            fail "the balancer served other bytes"
        cp /run/cachenode-balancer/haproxy.cfg /tmp/good.cfg
        echo check_fall=never >>/node/etc/cachenode/balancer.conf
        ! MAINPID=$pid run_unit "$balancer" ExecReload 2>/dev/null || fail "a reload with check_fall=never passed"
        cmp -s /run/cachenode-balancer/haproxy.cfg /tmp/good.cfg || fail "a failed reload replaced the balancer's file"
        sed -i '$d' /node/etc/cachenode/balancer.conf
        echo check_interval=2s >>/node/etc/cachenode/balancer.conf
        MAINPID=$pid run_unit "$balancer" ExecReload || fail "the balancer's ExecReload failed"
        grep -q 'inter 2s' /run/cachenode-balancer/haproxy.cfg || fail "the reload did not render the new knob"
        wait_code 200 "$lb" node7 /vod/movie03.mp4
        kill -0 "$pid" || fail "the balancer's master is gone after the reload"
        kill -TERM "$pid"
        echo "balancer: ExecStartPre, ExecStart and ExecReload serve on 127.0.0.1:$lb"
    else
        echo "balancer: not run (HAProxy and its user are not installed)"
    fi

    # The maintainer scripts, their paths rewritten as the units' are (no
    # systemd here): the examples go in on first install, an edited file stays
    # on upgrade and on remove, purge takes them and what the front end's unit
    # made.
    local script file
    rm -rf /node/etc
    for script in postinst prerm postrm; do
        sed -e "s#/etc/#/node&#g" -e "s#/usr/share/doc/#$ROOT&#g" -e "s#/usr/share/cachenode/#$ROOT&#g" \
            -e "s#/usr/bin/vesko_c.log#/node/vesko_c.log#g" \
            "$WORK/unit/control/$script" >"/tmp/$script"
    done
    sh /tmp/postinst configure 2>/dev/null || fail "postinst configure failed"
    for file in cachenode/vesko_c.ini=vesko_c.ini cachenode/frontend.conf=frontend.conf \
        default/cachenode-dispatch=cachenode-dispatch.default \
        logrotate.d/cachenode-frontend=../../../cachenode/logrotate.d/cachenode-frontend \
        cachenode/balancer.conf=balancer.conf cachenode/balancer.nodes=balancer.nodes; do
        cmp -s "/node/etc/${file%=*}" "$examples/${file#*=}" || fail "postinst did not install /etc/${file%=*}"
    done
    echo hosts=node7 >>/node/etc/cachenode/frontend.conf
    echo DISPATCH_ADDRESS=127.0.0.1:1234 >>/node/etc/default/cachenode-dispatch
    sh /tmp/postinst configure 1.0.0 2>/dev/null || fail "postinst configure (upgrade) failed"
    sh /tmp/prerm remove && sh /tmp/postrm remove || fail "prerm or postrm remove failed"
    grep -qx hosts=node7 /node/etc/cachenode/frontend.conf && grep -qx DISPATCH_ADDRESS=127.0.0.1:1234 \
        /node/etc/default/cachenode-dispatch || fail "an upgrade or a remove lost an edited configuration"
    sh /tmp/postrm purge || fail "postrm purge failed"
    for file in /node/etc/cachenode /node/etc/default/cachenode-dispatch /node/etc/logrotate.d/cachenode-frontend \
        /var/lib/cachenode; do
        [ ! -e "$file" ] || fail "purge left $file: $(ls -A "$file")"
    done
    echo "maintainer scripts: examples installed once, edits kept, purge removes them"
}

case "$STEP" in
    build | contents | library | pkgconfig | unit | unit_sandbox) "step_$STEP" ;;
    *) fail "unknown step $STEP" ;;
esac
