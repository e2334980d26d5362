#!/bin/sh
# Runs one of the front end's Lua test files in a plain nginx's init_by_lua,
# with the front end's modules on the package path and its shared
# dictionaries: no root, no sandbox, no port. nginx exits from there.
#
#   run.sh SOURCE_DIR TEST_FILE [ARG...]
#
# The test file gets the ARGs as `...` and reports through harness.lua.
# Exit status 0, 1 (a check failed or the file broke), 77 (no nginx with
# its Lua module).
set -eu
src=$1
test=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
modules=/usr/lib/nginx/modules
command -v nginx >/dev/null && [ -f $modules/ngx_http_lua_module.so ] ||
    { echo "SKIP: nginx with its Lua module is not installed (tools/bootstrap.sh)"; exit 77; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/logs"
# Paths reach the Lua as long strings: no quote or escape of theirs counts.
args="[==[$test]==]"
for arg in "$@"; do
    args="$args, [==[$arg]==]"
done
cat >"$tmp/nginx.conf" <<CONF
load_module $modules/ndk_http_module.so;
load_module $modules/ngx_http_lua_module.so;
pid $tmp/nginx.pid;
events {}
http {
    lua_package_path "$src/frontend/?.lua;$here/?.lua;;";
    lua_shared_dict cachenode_fetch 1m;
    lua_shared_dict cachenode_stats 64k;
    lua_shared_dict cachenode_disks 64k;
    init_by_lua_block {
        require("harness").main($args)
    }
}
CONF
rc=0
nginx -p "$tmp" -c "$tmp/nginx.conf" -e "$tmp/logs/error.log" -g 'daemon off;' || rc=$?
if [ $rc -ne 0 ]; then
    grep -v '\[notice\]' "$tmp/logs/error.log" >&2 || true
    exit 1
fi
