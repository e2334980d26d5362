"""The node as its operator sees it from inside the sandbox: the front end's
workers with their descriptors and resident memory, the fetch processes that
run, and the files in the cache directories."""

import os
import re

# A download in progress writes "<cache file>.cn-<worker pid>-<n>.part".
TEMP = re.compile(r"\.cn-(\d+)-\d+\.part$")


def _stat(pid):
    """(state, ppid, comm) of a process, or None once it is gone."""
    try:
        with open("/proc/%s/stat" % pid) as f:
            text = f.read()
    except OSError:
        return None
    # comm sits in parentheses and may hold blanks.
    comm = text[text.index("(") + 1:text.rindex(")")]
    fields = text[text.rindex(")") + 2:].split()
    return fields[0], int(fields[1]), comm


def _cmdline(pid):
    try:
        with open("/proc/%s/cmdline" % pid, "rb") as f:
            return f.read().replace(b"\0", b" ").decode("latin-1").strip()
    except OSError:
        return ""


def processes():
    """(pid, state, ppid, comm) of every process of the sandbox."""
    for name in os.listdir("/proc"):
        if name.isdigit():
            info = _stat(name)
            if info:
                yield (int(name),) + info


def alive(pid):
    info = _stat(pid)
    return info is not None and info[0] != "Z"


def workers(master):
    """The worker processes of the nginx master that serve (not those of a
    reload still finishing their requests)."""
    return sorted(pid for pid, state, ppid, _ in processes()
                  if ppid == master and state != "Z"
                  and _cmdline(pid) == "nginx: worker process")


def leaving(master):
    """The workers of a reload that still finish their requests."""
    return [pid for pid, state, ppid, _ in processes()
            if ppid == master and state != "Z" and _cmdline(pid).endswith("is shutting down")]


def descriptors(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return None


def rss_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def fetch_processes(origin_port):
    """(pid, ppid, comm, command line) of the fetch processes that run
    (zombies aside): fetchwrap, the client and its curl. The disk guard's curl
    asks the front end, not the origin."""
    found = []
    for pid, state, ppid, comm in processes():
        if state == "Z":
            continue
        if comm in ("fetchwrap", "kelpclient") or (
                comm == "curl" and ":%d/" % origin_port in _cmdline(pid)):
            found.append((pid, ppid, comm, _cmdline(pid)))
    return found


def cache_files(dirs):
    """(directory, path) of every regular file below the cache directories."""
    for top in dirs:
        for root, _, names in os.walk(top):
            for name in names:
                path = os.path.join(root, name)
                if os.path.isfile(path) and not os.path.islink(path):
                    yield top, path
