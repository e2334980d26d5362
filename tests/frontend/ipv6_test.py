#!/usr/bin/env python3
"""The front end over IPv6, in a sandbox with a network namespace of its own
(testbed --netns: ::1 and documentation addresses on its loopback): a
viewer over [::1] gets a HIT and a streamed MISS; the per-client limits
count an IPv6 client by its /64 (two addresses of one /64 share a budget,
other /64s have their own), behind a balancer too; purge_allow and
metrics_allow take IPv6 networks; the access log names IPv6 clients; and
a dual-stack listen ([::]:PORT,ipv6only=off), whose IPv4 clients nginx
sees as ::ffff:a.b.c.d, keeps each IPv4 client its own; a viewer through
HAProxy on [::1] is the node's client."""

import os
import re
import sys

sys.dont_write_bytecode = True  # the checkout stays as git has it
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nodetest import (HOST, Balancer, answering, cache_path, check, env, fetchwraps,  # noqa: E402
                      file_bytes, front6, get, has_bytes, haproxy_missing, make_file, net6, notify,
                      open_request, origin_bytes, run, start_front, start_viewer, temp_of, wait_until)

# The group's knobs: two requests in progress and one download a client.
KNOBS = ("client_conns=2", "client_misses=1", "balancers=2001:db8:2::1",
         "purge_allow=2001:db8:1:1::/64", "metrics_allow=2001:db8:2::/48")
BIG = "/v6/held.mp4"


def by(source):
    """curl's arguments for a request from source."""
    return ("--interface", source)


def url(target):
    return "http://%s%s" % (HOST, target)


def held(source, server, count=2, headers=()):
    """count requests from source to server for the big file, each in
    progress (nothing read, its window full); the sockets."""
    socks = [open_request(BIG, source=source, server=server, rcvbuf=4096, headers=headers)
             for _ in range(count)]
    check(wait_until(lambda: all(answering(sock) for sock in socks)), "requests from %s have no 200" % source)
    return socks


def viewer():
    """A HIT and a streamed MISS over [::1]."""
    data = make_file("v6/a.mp4", 30000)
    for want in ("MISS", "HIT"):
        answer = get("/v6/a.mp4", server=front6())
        check((answer.status, answer.xcache) == (200, want) and answer.body == data,
              "[::1] %s: %r" % (want, answer))
    data = make_file("v6/slow.mp4", 300000)
    path = cache_path(url("/slow/v6/slow.mp4"))
    out = "/tmp/v6.slow"
    streamed = start_viewer("/slow/v6/slow.mp4", out, server=front6())
    check(wait_until(lambda: has_bytes(out)) and temp_of(path) and not os.path.exists(path),
          "[::1]: no bytes of the miss while it downloaded")
    said = streamed.communicate()[0]
    check(said == "200 MISS" and file_bytes(out) == data, "[::1]: the streamed MISS: %s" % said)


def limits(server):
    """client_conns and client_misses by /64: a third request from the
    other address of a /64 whose first holds two gets 429, one from another
    /64 is served; through the balancer the viewer of X-Forwarded-For
    counts by its /64 too. One download a /64: while one stalls, another
    address of that /64 gets 429 for a new miss, another /64 is served."""
    a1, a2, b1, balancer = net6()
    make_file(BIG[1:], 8 << 20)
    make_file("v6/small.mp4", 20000)
    check(get(BIG, server=server).status == 200 and get("/v6/small.mp4", server=server).status == 200,
          "the files are not served")
    # (the third request's source, its X-Forwarded-For, its status) beside
    # two held from a1.
    socks = held(a1, server)
    for source, forwarded, status in ((a2, None, 429), (b1, None, 200), (balancer, None, 200),
                                      (balancer, "2001:db8:1:1::7", 429), (balancer, "2001:db8:1:3::7", 200),
                                      ("::1", None, 200)):
        extra = by(source) + (("-H", "X-Forwarded-For: " + forwarded) if forwarded else ())
        answer = get("/v6/small.mp4", server=server, extra=extra)
        check(answer.status == status, "beside two requests of %s, one from %s (X-Forwarded-For %s): "
              "status %d, not %d" % (a1, source, forwarded, answer.status, status))
    for sock in socks:
        sock.close()

    make_file("v6/stall.mp4", 100000)
    make_file("v6/next1.mp4", 20000)
    make_file("v6/next2.mp4", 20000)
    stalled = start_viewer("/fault/stall/1000/v6/stall.mp4", "/dev/null", server=server, extra=by(a1))
    check(wait_until(lambda: fetchwraps()), "the stalled download did not start")
    for source, target, status in ((a2, "/v6/next1.mp4", 429), (b1, "/v6/next2.mp4", 200)):
        answer = get(target, server=server, extra=by(source))
        check(answer.status == status, "a new miss from %s while %s's download stalls: status %d, not %d"
              % (source, a1, answer.status, status))
    stalled.kill()
    stalled.wait()
    get("/fault/stall/1000/v6/stall.mp4", method="PURGE", server=server)


def operator(server):
    """purge_allow 2001:db8:1:1::/64 and metrics_allow 2001:db8:2::/48,
    beside the loopback's addresses."""
    a1, a2, b1, balancer = net6()
    for source, purge, metrics in ((a2, 404, 403), (b1, 405, 403), (balancer, 405, 200), ("::1", 404, 200)):
        answer = get("/v6/never.mp4", method="PURGE", server=server, extra=by(source))
        check(answer.status == purge, "PURGE from %s: status %d, not %d" % (source, answer.status, purge))
        answer = get("/cachenode/metrics", host=None, server=server, extra=by(source))
        check(answer.status == metrics, "metrics from %s: status %d, not %d" % (source, answer.status, metrics))


def access_log():
    """The access log names each IPv6 client: the viewer on ::1, and the
    viewer of X-Forwarded-For through the balancer."""
    with open(os.path.join(env("CN_FRONT_PREFIX"), "logs", "access.log")) as f:
        clients = {line.split()[1] for line in f}
    for client in ("::1", net6()[0], net6()[2], "2001:db8:1:3::7"):
        check(client in clients, "no access log line of %s among %s" % (client, sorted(clients)))


def dual_stack():
    """A front end on [::]:PORT,ipv6only=off alone, with
    client_ipv6_prefix=48: its IPv4 clients come as ::ffff:127.0.0.x, each
    counted as its own IPv4 address, and the loopback's checks (metrics,
    the notification) still know them; two /64s of one /48 share a
    budget."""
    port = int(env("CN_SPARE_PORT"))
    if not check(start_front("dual", port, "listen=[::]:%d,ipv6only=off" % port, "client_ipv6_prefix=48",
                             "balancers=::1"),
                 "the dual-stack front end did not start"):
        return
    server4, server6 = "127.0.0.1:%d" % port, "[::1]:%d" % port
    answer = get("/v6/a.mp4", server=server4)
    check(answer.status == 200 and answer.body == origin_bytes("/v6/a.mp4"), "IPv4 on [::]: %r" % answer)
    answer = get("/v6/a.mp4", server=server6)
    check(answer.status == 200, "IPv6 on [::]: %r" % answer)
    check(get("/cachenode/metrics", host=None, server=server4).status == 200,
          "metrics from 127.0.0.1 through the dual-stack listen")
    check("200 OK" in notify("/node/cache/d1/x/y.mp4", server=server4),
          "the notification from 127.0.0.1 through the dual-stack listen")
    a1, _, b1, other = net6()
    for first, server, third, status in (("127.0.0.1", server4, "127.0.0.1", 429),
                                         ("127.0.0.1", server4, "127.0.0.2", 200),
                                         ("127.0.0.1", server4, "::1", 200),
                                         (a1, server6, b1, 429), (a1, server6, other, 200)):
        socks = held(first, server)
        answer = get("/v6/small.mp4", server=server6 if ":" in third else server4, extra=by(third))
        check(answer.status == status, "dual stack, /48: beside two requests of %s, one from %s: "
              "status %d, not %d" % (first, third, answer.status, status))
        for sock in socks:
            sock.close()
        # A closed connection's request may be counted a moment longer.
        wait_until(lambda: get("/v6/small.mp4", server=server, extra=by(first)).status == 200)
    with open("/node/dual/logs/access.log") as f:
        check(re.search(r"^\S+ ::ffff:127\.0\.0\.2 ", f.read(), re.M), "the dual-stack access log's IPv4 client")


def balanced():
    """A viewer on 2001:db8:1:2::1 through HAProxy on [::1] to the dual-stack
    node as [::1]: the node logs the viewer of X-Forwarded-For."""
    if haproxy_missing():
        print("SKIP part: " + haproxy_missing())
        return
    balancer = Balancer([("dual", "[::1]:%s" % env("CN_SPARE_PORT"))], ipv6=True)
    try:
        viewer = net6()[2]
        check(wait_until(lambda: balancer.status("dual") == "UP", 30), "the node is not up in the balancer")
        answer = get("/v6/a.mp4", server=balancer.address6, extra=by(viewer))
        check(answer.status == 200 and answer.body == origin_bytes("/v6/a.mp4"), "through [::1]: %r" % answer)
    finally:
        balancer.stop()
    with open("/node/dual/logs/access.log") as f:
        lines = [line for line in f if '"GET /v6/a.mp4 ' in line]
    check(lines and lines[-1].split()[1] == viewer, "the node logged %s, not the viewer %s"
          % (lines[-1].split()[1] if lines else None, viewer))


def ipv6():
    viewer()
    limits(front6())
    operator(front6())
    access_log()
    dual_stack()
    balanced()


GROUPS = {
    "ipv6": (ipv6, ["--netns"] + [arg for knob in KNOBS for arg in ("--knob", knob)]),
}

if __name__ == "__main__":
    run(GROUPS, __file__)
