#!/bin/bash
# The front end's FFI declarations and the numbers its Lua keeps for the C
# side, held against the C headers; no sandbox needed. The groups that run a
# node in the testbed's sandbox are the *_test.py files beside this one.
#
#   frontend_test.sh ffi SOURCE_DIR SYS_PROBE
#
# Exit 77 means skipped.
set -eEuo pipefail
# Where set -e ends the run, say so: otherwise a group just exits 1.
trap 'echo "frontend_test.sh: line $LINENO: \"$BASH_COMMAND\" exited $?" >&2' ERR

HERE=$(cd "$(dirname "$0")" && pwd)
FAILED=0

fail() {
    echo "FAIL: $*" >&2
    FAILED=1
}

# ---------------------------------------------------------------- groups
# The front end's FFI declarations of the library are those of cachekit.h:
# both texts without comments, CACHEKIT_API and spacing, one declaration per
# export, compared.
group_ffi() {
    local src=$1 probe=$2
    local header=$src/cachekit/include/cachekit.h lua=$src/frontend/cachenode.lua
    local names='fileExist|md5data|md5file|uri2d|checkdisk|getmsgip'
    declarations() {
        sed '/^[[:space:]]*#/d; s|/\*.*\*/||g; s|--.*||' | tr '\n' ' ' | sed 's|/\*[^*]*\*\+\([^/*][^*]*\*\+\)*/||g' |
            tr ';' '\n' | sed 's/.*[][{}]//; s/CACHEKIT_API//; s/[[:space:]]\+/ /g; s/ *\([*(),]\) */\1/g; s/^ //; s/ $//' |
            grep -E "^[a-z ]+\**($names)\(" | sort
    }
    local want got
    want=$(declarations <"$header")
    got=$(sed -n '/^ffi.cdef\[\[/,/^\]\]/p' "$lua" | declarations)
    [ "$(echo "$want" | wc -l)" = 6 ] || fail "found $(echo "$want" | wc -l) declarations in $header"
    [ "$want" = "$got" ] || fail "cachenode.lua declares
$got
but cachekit.h
$want"

    # The numbers the Lua keeps for the C side, as LuaJIT sees them, against
    # the headers': nginx runs sys_print.lua from init_by_lua and exits there.
    # Regression: the fetch dictionary full of expired entries behind a
    # claim without time-out (fetch_dict.lua) in the same run.
    command -v nginx >/dev/null && [ -f /usr/lib/nginx/modules/ngx_http_lua_module.so ] ||
        { echo "SKIP: nginx with its Lua module is not installed"; exit 77; }
    local tmp
    tmp=$(mktemp -d)
    mkdir "$tmp/logs"
    cat >"$tmp/nginx.conf" <<CONF
load_module /usr/lib/nginx/modules/ndk_http_module.so;
load_module /usr/lib/nginx/modules/ngx_http_lua_module.so;
pid $tmp/nginx.pid;
events {}
http {
    lua_package_path "$src/frontend/?.lua;;";
    lua_shared_dict cachenode_fetch 64k;
    init_by_lua_block {
        assert(loadfile("$HERE/sys_print.lua"))("$tmp/lua.txt")
        assert(loadfile("$HERE/fetch_dict.lua"))()
        os.exit(0)
    }
}
CONF
    nginx -p "$tmp" -c "$tmp/nginx.conf" -e "$tmp/logs/error.log" -g 'daemon off;' ||
        fail "nginx with sys_print.lua and fetch_dict.lua failed: $(cat "$tmp/logs/error.log")"
    local diffs
    diffs=$(diff <("$probe" | sort) "$tmp/lua.txt") ||
        fail "the Lua's numbers differ from the C headers' (< C, > Lua):
$diffs"
    rm -rf "$tmp"
}

# ---------------------------------------------------------------- main
[ "${1:-}" = ffi ] || { echo "usage: frontend_test.sh ffi SOURCE_DIR SYS_PROBE" >&2; exit 2; }
group_ffi "${2:?source directory}" "${3:?sys_probe}"
exit $FAILED
