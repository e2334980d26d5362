"""A test's side of the node sandbox (tools/testbed/testbed): what a client
and the node's operator see from inside it. Test files declare groups; run()
starts a sandbox for the group named on the command line and runs the group
inside it, where the CN_* variables name the front end, the origin and the
programs.

    run(GROUPS, HERE)   GROUPS: name -> (function, [testbed options])

The front end serves SITES (the testbed's --knob hosts=...).

Outside (from CTest): FILE GROUP FETCHWRAP LIBRARY CACHEKIT_CLI [EXTRA...];
inside: FILE --in GROUP. Exit status 0, 1 (a check failed) or 77 (skipped)."""

import glob
import os
import re
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import traceback

SKIP = 77
# The sites the sandbox's front end serves (knob hosts); HOST is the one asked
# unless a request names another.
SITES = ("node7", "other.example")
HOST = SITES[0]
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TESTBED = os.path.join(ROOT, "tools", "testbed", "testbed")
BALANCER = os.path.join(ROOT, "balancer", "cachenode-balancer")

_failed = []


def fail(message):
    """Records a failed check and goes on."""
    print("FAIL: " + message, file=sys.stderr, flush=True)
    _failed.append(message)


def check(condition, message):
    if not condition:
        fail(message)
    return bool(condition)


def skip(reason):
    print("SKIP: " + reason, flush=True)
    sys.exit(SKIP)


def env(name):
    return os.environ[name]


def front():
    """127.0.0.1:PORT of the sandbox's front end."""
    return env("CN_FRONT")


def front_tls():
    """127.0.0.1:PORT of the front end's HTTPS (testbed --tls)."""
    return env("CN_FRONT_TLS")


def front6():
    """[::1]:PORT of the front end (testbed --netns)."""
    return env("CN_FRONT6")


def net6():
    """The loopback's IPv6 addresses beside ::1 (testbed --netns): two of one
    /64, one of another /64, one of another /48."""
    return env("CN_NET6").split()


def _address(text):
    """The family, host and port of "127.0.0.1:80" or "[::1]:80"."""
    host, port = text.rsplit(":", 1)
    host = host.strip("[]")
    return (socket.AF_INET6 if ":" in host else socket.AF_INET), host, int(port)


def origin_of(host, server, tls):
    """The scheme and authority of a request for host to server (default the
    front end), and curl's arguments for it. Over TLS the URL names the host,
    which curl resolves to the server's address, so that the handshake's SNI
    and the certificate check are a browser's; CN_CA is the trust anchor."""
    if not tls:
        return "http://%s" % (server or front()), []
    address, port = (server or front_tls()).rsplit(":", 1)
    name = host or HOST
    return "https://%s:%s" % (name, port), [
        "--cacert", env("CN_CA"), "--resolve", "%s:%s:%s" % (name, port, address)]


# ---------------------------------------------------------------- requests
class Answer:
    """What curl saw: status (0 when none), headers (lower-case name -> last
    value), body (bytes), rc (curl's exit status: 18 a cut, 52 no answer)."""

    __slots__ = ("status", "headers", "body", "rc")

    def __init__(self, status, headers, body, rc):
        self.status, self.headers, self.body, self.rc = status, headers, body, rc

    @property
    def xcache(self):
        return self.headers.get("x-cache", "")

    def __repr__(self):
        return "status %d, X-Cache '%s', %d bytes, curl %d" % (
            self.status, self.xcache, len(self.body), self.rc)


def _headers(text):
    """The last response's header fields of curl's -D output."""
    fields = {}
    for line in text.replace("\r", "").split("\n"):
        if line.startswith("HTTP/"):
            fields = {}
        elif ":" in line:
            name, value = line.split(":", 1)
            fields[name.strip().lower()] = value.strip()
    return fields


def curl_args(host=HOST, headers=(), method=None, extra=()):
    args = ["-s", "-g", "--path-as-is"]
    if host is not None and not any(h.lower().startswith("host:") for h in headers):
        args += ["-H", "Host: " + host]
    for header in headers:
        args += ["-H", header]
    if method == "HEAD":
        args.append("-I")
    elif method:
        args += ["-X", method]
    return args + list(extra)


def get(target, host=HOST, headers=(), method=None, extra=(), server=None, timeout=60, tls=False):
    """Asks server (default the front end, its HTTPS with tls) for target
    with curl; extra are more curl arguments. Returns an Answer, whose
    headers hold ":version" too, the HTTP version curl used (1.1, 2)."""
    with tempfile.TemporaryDirectory() as tmp:
        body, head = os.path.join(tmp, "body"), os.path.join(tmp, "headers")
        base, tls_args = origin_of(host, server, tls)
        args = ["curl", "-o", body, "-D", head, "-w", "%{http_code} %{http_version}",
                "--max-time", str(timeout)] + tls_args
        args += curl_args(host, headers, method, extra)
        args.append(base + target)
        done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        words = done.stdout.split()
        status = int(words[0]) if words and words[0].isdigit() else 0
        fields = _headers(_read(head, "r") or "")
        fields[":version"] = words[1] if len(words) > 1 else ""
        return Answer(status, fields, _read(body, "rb") or b"", done.returncode)


def get_all(targets, host=HOST, headers=(), extra=(), parallel=0, server=None, tls=False):
    """One curl for many targets (a curl start costs more than a request),
    parallel at most that many at once (0: one after the other). Returns an
    Answer per target, in order; headers hold only X-Cache."""
    with tempfile.TemporaryDirectory() as tmp:
        base, tls_args = origin_of(host, server, tls)
        args = ["curl", "-w", "%{stderr}=%{urlnum} %{http_code} %header{x-cache}\n"] + tls_args
        args += curl_args(host, headers, None, extra)
        if parallel:
            args += ["-Z", "--parallel-max", str(parallel)]
        for n, target in enumerate(targets):
            args += [base + target, "-o", os.path.join(tmp, str(n))]
        done = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              text=True, errors="replace")
        answers = [Answer(0, {}, b"", 0) for _ in targets]
        # A parallel curl draws its progress meter even when silent, with no
        # line feed before the next -w text.
        for piece in done.stderr.split("=")[1:]:
            words = piece.split("\n")[0].split()
            if len(words) >= 2 and words[0].isdigit():
                n = int(words[0])
                answers[n].status = int(words[1])
                if len(words) > 2:
                    answers[n].headers["x-cache"] = words[2]
                answers[n].body = _read(os.path.join(tmp, str(n)), "rb") or b""
        return answers


def start_viewer(target, out, host=HOST, headers=(), extra=(), server=None, timeout=60, tls=False):
    """A curl in the background that writes the body to out as it arrives;
    returns the Popen, whose stdout ends up holding "STATUS X-CACHE" and
    whose exit status is curl's."""
    base, tls_args = origin_of(host, server, tls)
    args = ["curl", "-o", out, "-w", "%{http_code} %header{x-cache}", "--max-time", str(timeout)]
    args += tls_args
    args += curl_args(host, headers, None, extra)
    args.append(base + target)
    return subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)


def open_request(target, host=HOST, headers=(), ended=True, source=None, server=None,
                 rcvbuf=0, method="GET"):
    """A socket from source (default 127.0.0.1 or ::1, as server's family)
    to server (default the front end; "[::1]:PORT" for IPv6) that has sent an
    HTTP/1.1 request for target, its header ended or not (a client that
    never finishes it); rcvbuf, when given, is its receive buffer, set before
    the connection so that the window stays that small. The caller reads and
    closes it."""
    family, address, port = _address(server or front())
    sock = socket.socket(family, socket.SOCK_STREAM)
    if rcvbuf:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    sock.bind((source or ("::1" if family == socket.AF_INET6 else "127.0.0.1"), 0))
    sock.connect((address, port))
    lines = ["%s %s HTTP/1.1" % (method, target), "Host: " + host] + list(headers)
    sock.sendall(("\r\n".join(lines) + "\r\n" + ("\r\n" if ended else "")).encode())
    return sock


class H2:
    """An HTTP/2 client (python3-h2) over TLS to server (default the front
    end's HTTPS, testbed --tls) for host. It grants the server only the
    protocol's first window (65,535 bytes) on the connection and on each
    stream, and never more: a viewer that reads nothing once that is
    full."""

    def __init__(self, server=None, host=HOST):
        import h2.config  # python3-h2, which tools/bootstrap.sh installs
        import h2.connection
        _, address, port = _address(server or front_tls())
        context = ssl.create_default_context(cafile=env("CN_CA"))
        context.set_alpn_protocols(["h2"])
        self.sock = context.wrap_socket(socket.create_connection((address, port)), server_hostname=host)
        self.host = host
        self.conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
        self.conn.initiate_connection()
        self.flush()

    def request(self, target):
        """Sends a GET for target; its stream id."""
        stream = self.conn.get_next_available_stream_id()
        self.conn.send_headers(stream, [(":method", "GET"), (":path", target), (":scheme", "https"),
                                        (":authority", self.host)], end_stream=True)
        return stream

    def reset(self, stream):
        self.conn.reset_stream(stream)

    def flush(self):
        self.sock.sendall(self.conn.data_to_send())

    def read(self, seconds):
        """Reads what the server sends within seconds. Returns False once the
        connection has ended (a GOAWAY: nginx takes keepalive_requests
        streams a connection), else True."""
        import h2.events
        import h2.exceptions
        self.sock.settimeout(seconds)
        try:
            data = self.sock.recv(65536)
        except (socket.timeout, ssl.SSLWantReadError):
            return True
        try:
            events = self.conn.receive_data(data) if data else []
            self.flush()
        except (h2.exceptions.ProtocolError, OSError):
            return False
        return bool(data) and not any(isinstance(e, h2.events.ConnectionTerminated) for e in events)

    def close(self):
        self.sock.close()


def answering(sock):
    """Whether a 200 to the request sent on sock has begun to arrive."""
    try:
        return sock.recv(12, socket.MSG_PEEK | socket.MSG_DONTWAIT).startswith(b"HTTP/1.1 200")
    except BlockingIOError:
        return False


def metrics_text(server=None):
    """The front end's metrics, as a scraper without a site name asks."""
    return get("/cachenode/metrics", host=None, server=server).body.decode(errors="replace")


def free_ports(count, kind=socket.SOCK_STREAM):
    """count loopback ports that were free at once, for programs a test starts."""
    socks = [socket.socket(socket.AF_INET, kind) for _ in range(count)]
    try:
        for s in socks:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


def _read(path, mode):
    try:
        with open(path, mode) as f:
            return f.read()
    except OSError:
        return None


# ---------------------------------------------------------------- the node
def make_file(path, size):
    """An origin file of size random bytes at CN_FILES/path; its bytes."""
    full = os.path.join(env("CN_FILES"), path.lstrip("/"))
    os.makedirs(os.path.dirname(full), exist_ok=True)
    data = os.urandom(size)
    with open(full, "wb") as f:
        f.write(data)
    return data


def origin_bytes(path):
    return _read(os.path.join(env("CN_FILES"), path.lstrip("/")), "rb")


def cache_path(url, dirs=None):
    """The cache path uri2d gives url among dirs (default the front end's),
    asked of the library by another host (the cachekit program)."""
    return subprocess.run([env("CN_CLI"), "--lib", env("CN_LIB"), "uri", url, dirs or env("CN_DIRS")],
                          stdout=subprocess.PIPE, text=True, check=True).stdout.strip()


def file_bytes(path):
    return _read(path, "rb")


def has_bytes(path):
    """Whether path (None: no file) is a file holding at least a byte."""
    try:
        return bool(path) and os.stat(path).st_size > 0
    except OSError:
        return False


def files_under(top):
    """The files below top, sorted."""
    return sorted(os.path.join(d, name) for d, _, names in os.walk(top) for name in names)


def written_since(stamp, skip=()):
    """What changed (mtime) after the file stamp did, in the sandbox's
    writable file systems: the paths in skip, /proc and /dev and what they
    hold left out. The read-only binds of the system are not walked."""
    since = os.stat(stamp).st_mtime_ns
    skip = tuple(skip) + ("/proc", "/dev")

    def kept(path, device):
        if any(path == s or path.startswith(s.rstrip("/") + "/") for s in skip):
            return False
        try:
            return os.lstat(path).st_dev == device
        except OSError:
            return False

    def changed(path):
        try:
            return os.lstat(path).st_mtime_ns > since
        except OSError:
            return False

    with open("/proc/self/mounts") as mounts:
        tops = [line.split()[1] for line in mounts if "ro" not in line.split()[3].split(",")]
    found = []
    for top in tops:
        device = os.lstat(top).st_dev
        if not kept(top, device):
            continue
        for folder, dirs, names in os.walk(top):
            # A mount below top is walked as a top of its own, or is read-only.
            dirs[:] = [d for d in dirs if kept(os.path.join(folder, d), device)]
            found += [p for p in [folder] + [os.path.join(folder, n) for n in names] if changed(p)]
    return found


def temp_of(path):
    """The temporary file of a running download of cache path path, or None."""
    found = sorted(glob.glob(glob.escape(path) + ".cn-*-*.part"))
    return found[0] if found else None


def client_log():
    return _read(env("CN_CLIENT_LOG"), "r") or ""


def client_runs():
    """Runs of the stand-in client so far."""
    return len(client_log().splitlines())


def client_downloads(since=0):
    """(target, node) of each run of the stand-in client after the first
    since: the URL's path and the node whose cache directory it wrote to."""
    runs = []
    for line in client_log().splitlines()[since:]:
        _, url, out = line.split(" ", 2)
        runs.append(("/" + url.split("/", 3)[3], out.split("/")[3]))
    return runs


def notify(path, server=None):
    """The status line of the front end's answer to checkdisk's notification
    for path."""
    done = subprocess.run(["curl", "-s", "-I", "http://%s/cachenode/ondelete?node=1&vid=%s"
                           % (server or front(), path)], stdout=subprocess.PIPE, text=True)
    return done.stdout.split("\r\n")[0]


def processes():
    """(pid, ppid, name) of the sandbox's processes (zombies aside)."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        text = _read("/proc/%s/stat" % name, "r")
        if not text:
            continue
        comm = text[text.index("(") + 1:text.rindex(")")]
        fields = text[text.rindex(")") + 2:].split()
        if fields[0] != "Z":
            found.append((int(name), int(fields[1]), comm))
    return found


def children(pid):
    return [child for child, parent, _ in processes() if parent == pid]


def fetch_procs():
    """(pid, ppid, name) of the fetch processes that run (zombies aside)."""
    return [p for p in processes() if p[2] in ("curl", "kelpclient", "fetchwrap")]


def _downloads():
    """(pid, ppid) of the fetchwraps that workers started. std::system's
    child bears the name fetchwrap until it runs the shell: it is no
    download of its own."""
    procs = fetch_procs()
    wraps = {pid for pid, _, comm in procs if comm == "fetchwrap"}
    return [(pid, ppid) for pid, ppid, comm in procs if comm == "fetchwrap" and ppid not in wraps]


def fetchwraps():
    """The fetchwraps that run, one per download."""
    return [pid for pid, _ in _downloads()]


def fetch_owners():
    """The workers that run a download (each fetchwrap's parent), sorted."""
    return sorted({ppid for _, ppid in _downloads()})


def wait_until(condition, seconds=10, step=0.02):
    """Calls condition every step seconds until it holds (returns its value)
    or seconds pass (returns the last, false)."""
    end = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() >= end:
            return value
        time.sleep(step)


def start_front(name, port, *knobs):
    """One more front end of the sandbox (prefix /node/NAME) on port, with
    the knobs of the first and these changes; whether it started."""
    return subprocess.run([env("CN_TESTBED"), "--front", name, str(port)] + list(knobs),
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def relaunch(name, port):
    """Starts again the nginx whose nginx.conf is in /node/NAME, on port;
    whether it answers."""
    return subprocess.run([env("CN_TESTBED"), "--launch", name, str(port)],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def stop_front(name):
    """Stops the front end of prefix /node/NAME and waits until it is gone."""
    pid = int(_read("/node/%s/master.pid" % name, "r"))
    try:
        os.kill(pid, 15)
    except ProcessLookupError:
        return
    wait_until(lambda: not os.path.exists("/proc/%d" % pid), 10, 0.05)


def workers(name="front"):
    """The worker pids of the front end of prefix /node/NAME."""
    return children(int(_read("/node/%s/master.pid" % name, "r")))


def resident(pids):
    """The resident memory of processes pids together, in bytes (those gone
    count nothing)."""
    total = 0
    for pid in pids:
        for line in (_read("/proc/%d/status" % pid, "r") or "").splitlines():
            if line.startswith("VmRSS:"):
                total += int(line.split()[1]) * 1024
    return total


def error_log(prefix=None):
    return _read(os.path.join(prefix or env("CN_FRONT_PREFIX"), "logs", "error.log"), "r") or ""


# ---------------------------------------------------------------- a fleet
def start_node(name, port, *knobs):
    """A node of a fleet on 127.0.0.1:port: a front end of prefix /node/NAME
    with the first one's knobs and these changes, whose cache directories
    (node_dirs(name)) and spool are its own; whether it started."""
    return subprocess.run([env("CN_TESTBED"), "--node", name, str(port)] + list(knobs),
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def node_dirs(name):
    """The cache directory list of node name, as uri2d takes it."""
    count = len(env("CN_DIRS").split("|"))
    return "|".join("/node/cache/%s/d%d" % (name, i) for i in range(1, count + 1))


def reload_front(name, *knobs):
    """Renders the front end of prefix /node/NAME again with its knobs and
    these changes, and reloads it as systemctl reload does (SIGHUP)."""
    subprocess.run([env("CN_TESTBED"), "--reload", name] + list(knobs), check=True)


def node_files(name):
    """The finished files of node name's cache directories: "HOST/PATH" ->
    the file's path (temporary files of running downloads left out)."""
    found = {}
    for top in node_dirs(name).split("|"):
        for here, _, files in os.walk(top):
            for file in files:
                path = os.path.join(here, file)
                if not is_temp(path):
                    found[os.path.relpath(path, top)] = path
    return found


def node_temps(name):
    """The temporary files of the downloads node name runs."""
    return [os.path.join(here, file) for top in node_dirs(name).split("|")
            for here, _, files in os.walk(top) for file in files if is_temp(file)]


def is_temp(path):
    """Whether path is a running download's temporary file."""
    return bool(re.search(r"\.cn-\d+-\d+\.part$", path))


def kill_node(name):
    """Kills the nginx of prefix /node/NAME, its workers and their downloads
    with SIGKILL, as a machine that dies takes them all at once; returns once
    they are gone. Each is stopped first, so none starts another meanwhile."""
    master = int(_read("/node/%s/master.pid" % name, "r"))
    tree, stopped = [master], set()
    while len(stopped) < len(tree):
        for pid in tree:
            if pid not in stopped:
                try:
                    os.kill(pid, signal.SIGSTOP)
                except ProcessLookupError:
                    pass
                stopped.add(pid)
        procs = processes()
        tree = [master]
        for pid in tree:
            tree.extend(child for child, parent, _ in procs if parent == pid)
    for pid in tree:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    wait_until(lambda: not any(os.path.exists("/proc/%d" % pid) for pid in tree), 10, 0.02)


# ---------------------------------------------------------------- the balancer
class Balancer:
    """An HAProxy in master-worker mode on the configuration that
    cachenode-balancer renders (/node/NAME/haproxy.cfg) for a list of nodes.
    address and stats are its 127.0.0.1:PORT for viewers and for its
    statistics page and Prometheus series; with ipv6, address6 is its
    [::1]:PORT for viewers too."""

    def __init__(self, nodes, *knobs, name="balancer", template=None, ipv6=False):
        """nodes: (name, port or "ADDRESS:PORT"[, weight]) of nodes, on
        127.0.0.1 for a port; knobs: NAME=VALUE beside the sandbox's own
        (ports, chroot); template: another than the renderer's own."""
        self.prefix = "/node/" + name
        self.template = ["-t", template] if template else []
        os.makedirs(self.prefix + "/empty", exist_ok=True)
        viewers, stats = free_ports(2)
        self.address, self.stats = "127.0.0.1:%d" % viewers, "127.0.0.1:%d" % stats
        self.address6 = "[::1]:%d" % viewers if ipv6 else None
        listen = self.address + ("|" + self.address6 if ipv6 else "")
        self.knobs = ["listen=" + listen, "stats_listen=" + self.stats,
                      "chroot=%s/empty" % self.prefix] + list(knobs)
        self.render(nodes)
        self.log = open(self.prefix + "/haproxy.log", "ab")
        self.process = subprocess.Popen(
            ["haproxy", "-W", "-db", "-f", self.prefix + "/haproxy.cfg"],
            stdout=self.log, stderr=subprocess.STDOUT)

    def render(self, nodes):
        """Writes the node list and renders the configuration from it; checks
        it with haproxy -c (a failure raises)."""
        with open(self.prefix + "/nodes", "w") as f:
            for node in nodes:
                address = node[1] if isinstance(node[1], str) else "127.0.0.1:%d" % node[1]
                f.write("%s %s%s\n" % (node[0], address, " %d" % node[2] if len(node) > 2 else ""))
        subprocess.run([BALANCER, "-n", self.prefix + "/nodes", "-o", self.prefix + "/haproxy.cfg"]
                       + self.template + self.knobs, check=True)
        subprocess.run(["haproxy", "-c", "-q", "-f", self.prefix + "/haproxy.cfg"], check=True)

    def reload(self, nodes):
        """The node list changed: a new rendering, read by the master on
        SIGUSR2 (a new worker takes new connections, the old one finishes)."""
        self.render(nodes)
        self.process.send_signal(signal.SIGUSR2)

    def servers(self):
        """Node name -> the backend's row of the statistics' CSV (status,
        chkfail, chkdown, stot, econ, wretr, wredis, check_status, ...);
        empty while the page does not answer."""
        done = subprocess.run(["curl", "-s", "--max-time", "5", "http://%s/;csv" % self.stats],
                              stdout=subprocess.PIPE, text=True)
        lines = done.stdout.splitlines()
        if not lines or not lines[0].startswith("# "):
            return {}
        names = lines[0][2:].split(",")
        rows = {}
        for line in lines[1:]:
            row = dict(zip(names, line.split(",")))
            if row.get("pxname") == "nodes" and row.get("svname") not in ("BACKEND", None):
                rows[row["svname"]] = row
        return rows

    def status(self, node):
        return self.servers().get(node, {}).get("status", "")

    def wait_status(self, node, status, seconds=30):
        """Waits until node's status in the balancer is status, UP or DOWN
        (not on its way: "UP 1/2" is up with one failed check); whether it
        was."""
        return wait_until(lambda: self.status(node) == status, seconds, 0.05)

    def stop(self):
        self.process.terminate()
        self.process.wait()
        self.log.close()


def haproxy_missing():
    """Why HAProxy cannot run here, or None."""
    if subprocess.run(["sh", "-c", "command -v haproxy"], stdout=subprocess.DEVNULL).returncode:
        return "haproxy is not installed (tools/bootstrap.sh installs it)"
    return None


# ---------------------------------------------------------------- main
def _run_here(name, function, args):
    try:
        function(*args)
    except Exception:  # a broken check is a failure, with its trace
        fail("group %s raised:\n%s" % (name, traceback.format_exc()))
    sys.exit(1 if _failed else 0)


def run(groups, here_file):
    """groups: name -> (function, testbed options). Runs the group that
    sys.argv names, outside or inside the sandbox; a group whose options are
    None needs no sandbox and runs where it is, given the EXTRA arguments."""
    args = sys.argv[1:]
    if args[:1] == ["--in"]:
        _run_here(args[1], groups[args[1]][0], args[2:])
    if not args or args[0] not in groups:
        print("usage: %s GROUP FETCHWRAP LIBRARY CACHEKIT_CLI [EXTRA...]; groups: %s"
              % (here_file, " ".join(groups)), file=sys.stderr)
        sys.exit(2)
    group, programs, extra = args[0], args[1:4], args[4:]
    options = groups[group][1]
    if options is None:
        _run_here(group, groups[group][0], extra)
    if callable(options):
        options = options(*extra)
    command = [TESTBED, "--fetchwrap", programs[0], "--lib", programs[1], "--cli", programs[2]]
    # A group's own --knob hosts=... comes later and wins.
    command += ["--knob", "hosts=" + "|".join(SITES)] + list(options)
    command += ["--", os.path.abspath(here_file), "--in", group]
    os.execv(TESTBED, command)
