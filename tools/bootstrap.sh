#!/bin/bash
# Set-up on a fresh Debian machine, as root: the Debian packages the project needs,
# then configure and build into build/. Safe to run again; later runs are quick.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake pkg-config      # toolchain
  git clang-format                      # the format check of the test command
  libsimpleini-dev                      # the reporter's INI reader
  libgtest-dev                          # the test suite
  libssl-dev                            # reference MD5 for tests and benchmarks only
  iproute2 util-linux procps            # private network namespaces (ip, unshare), ps
  curl dnsmasq-base python3             # real peers for the library's tests
  clang libclang-rt-dev                 # fuzzing and the sanitizer build
  nginx libnginx-mod-http-lua wrk       # the front end, its tests and its benchmark
  lua-cjson                             # the front end's JSON (signed URLs' tokens and keys)
  python3-jwt python3-cryptography      # an independent minter of the signed URLs' test tokens
  openssl nghttp2-client logrotate      # HTTPS certificates, h2load, the front end's log rotation
  python3-h2                            # an HTTP/2 client that resets its streams, for the tests
  ffmpeg                                # a real MP4 that the front end's tests play
  prometheus prometheus-node-exporter   # promtool and the textfile collector for dispatch_listen
  haproxy                               # the balancer in front of a fleet of nodes, and its tests
  xfsprogs e2fsprogs                    # tools/holes.py: holes on an xfs and an ext4 loop device
  chromium libnss3-tools nodejs         # the web players' tests: the browser, its CA trust, their driver
)

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  missing=$(dpkg-query -W -f='${Package} ${Status}\n' "${PACKAGES[@]}" 2>/dev/null |
            awk '$NF != "installed" {print $1}' || true)
  # dpkg-query names nothing for packages it has never heard of: count them too.
  known=$(dpkg-query -W -f='${Package}\n' "${PACKAGES[@]}" 2>/dev/null | wc -l || true)
  if [ -n "$missing" ] || [ "$known" -lt "${#PACKAGES[@]}" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    # Debian starts nginx, prometheus and node_exporter on install where an init
    # system runs; the project always runs its own instances on 127.0.0.1, so
    # keep the system ones from starting (and from taking port 80).
    policy=/usr/sbin/policy-rc.d
    if [ ! -e "$policy" ]; then
      printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod 755 "$policy"
      trap 'rm -f "$policy"' EXIT
    fi
    apt-get install -y -q --no-install-recommends "${PACKAGES[@]}"
  fi
  # npm comes with some builds of nodejs, which then conflict with Debian's
  # npm package: that is wanted only where no npm came.
  if ! command -v npm >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends npm
  fi
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build build -j"$(nproc)"
