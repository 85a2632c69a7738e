#!/usr/bin/env python3
"""Downloads one file from a loopback nginx with kvget, aria2c and curl, in the same run,
and prints wall time, CPU time, peak memory and the ratios of kvget against the others.

Standard library only. See bench/README.md, section download_bench.
"""

import argparse
import hashlib
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

NGINX = "/usr/sbin/nginx"
CHUNK = 1 << 20
MIB = 1024 * 1024

# Proxy settings of the calling shell must not route loopback downloads elsewhere.
PROXY_VARS = ("http_proxy", "https_proxy", "all_proxy", "ftp_proxy", "no_proxy",
              "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "FTP_PROXY", "NO_PROXY")


class BenchFailure(Exception):
    """A download that failed or produced a wrong file."""


def parse_size(text):
    m = re.fullmatch(r"\s*(\d+)\s*([kKmMgG]?)(i?[bB])?\s*", text)
    if not m:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (e.g. 1G, 256M, 65536)")
    scale = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30}[m.group(2).lower()]
    value = int(m.group(1)) * scale
    if value <= 0:
        raise argparse.ArgumentTypeError("the size must be positive")
    return value


def parse_rate(text):
    """nginx's limit_rate syntax: a number with an optional k or m (1024-based)."""
    m = re.fullmatch(r"(\d+)([kKmM]?)", text)
    if not m or int(m.group(1)) == 0:
        raise argparse.ArgumentTypeError(f"not an nginx rate: {text!r} (e.g. 2m, 500k)")
    return text


def rate_bytes(text):
    m = re.fullmatch(r"(\d+)([kKmM]?)", text)
    return int(m.group(1)) * {"": 1, "k": 1 << 10, "m": 1 << 20}[m.group(2).lower()]


def human_size(n):
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= scale and n % scale == 0:
            return f"{n // scale} {unit}"
    return f"{n} bytes"


def free_ports(count):
    socks = []
    try:
        for _ in range(count):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.bind(("127.0.0.1", 0))
            socks.append(s)
        return [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


def make_file(path, size):
    """Writes size random bytes to path and returns their SHA-256."""
    digest = hashlib.sha256()
    with open(path, "wb") as f:
        left = size
        while left > 0:
            chunk = os.urandom(min(CHUNK, left))
            digest.update(chunk)
            f.write(chunk)
            left -= len(chunk)
    os.chmod(path, 0o644)
    return digest.hexdigest()


def sha256_of(path):
    digest = hashlib.sha256()
    buf = bytearray(CHUNK)
    view = memoryview(buf)
    with open(path, "rb", buffering=0) as f:
        while True:
            n = f.readinto(buf)
            if not n:
                break
            digest.update(view[:n])
    return digest.hexdigest()


class Nginx:
    """One single-process nginx with two server blocks over the same root: one unlimited,
    one holding each connection to limit_rate."""

    def __init__(self, top, root, rate):
        self.dir = os.path.join(top, "nginx")
        os.makedirs(self.dir)
        self.error_log = os.path.join(self.dir, "error.log")
        self.fast_port, self.slow_port = free_ports(2)
        temps = "".join(
            f"    {name}_temp_path {os.path.join(self.dir, name + '_temp')};\n"
            for name in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        conf = (
            "daemon off;\n"
            "master_process off;\n"
            "worker_processes 1;\n"
            f"error_log {self.error_log} warn;\n"
            f"pid {os.path.join(self.dir, 'nginx.pid')};\n"
            "events { worker_connections 256; }\n"
            "http {\n"
            "    access_log off;\n"
            "    default_type application/octet-stream;\n"
            "    sendfile on;\n"
            "    tcp_nopush on;\n"
            "    keepalive_timeout 65;\n"
            f"{temps}"
            f"    server {{ listen 127.0.0.1:{self.fast_port}; root {root}; }}\n"
            f"    server {{ listen 127.0.0.1:{self.slow_port}; root {root};"
            f" limit_rate {rate}; }}\n"
            "}\n")
        self.conf = os.path.join(self.dir, "nginx.conf")
        with open(self.conf, "w") as f:
            f.write(conf)
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen(
            [NGINX, "-p", self.dir + "/", "-e", self.error_log, "-c", self.conf],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 10
        pending = [self.fast_port, self.slow_port]
        while pending:
            if self.proc.poll() is not None:
                err = self.proc.stderr.read().decode(errors="replace")
                raise RuntimeError(f"nginx exited at start:\n{err}{self.log_tail()}")
            try:
                with socket.create_connection(("127.0.0.1", pending[0]), timeout=1):
                    pending.pop(0)
            except OSError:
                if time.monotonic() > deadline:
                    raise RuntimeError(f"nginx does not listen on {pending[0]}\n"
                                       f"{self.log_tail()}")
                time.sleep(0.05)

    def log_tail(self):
        try:
            with open(self.error_log, errors="replace") as f:
                return "".join(f.readlines()[-20:])
        except OSError:
            return ""

    def stop(self):
        if self.proc is None or self.proc.poll() is not None:
            return
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def become_subreaper():
    """Makes orphaned descendants this process's children (Linux PR_SET_CHILD_SUBREAPER)."""
    try:
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)
        return libc.prctl(36, 1, 0, 0, 0) == 0
    except (OSError, AttributeError):
        return False


SUBREAPER = False

# The measured program is started by a small shell that puts it in the background, prints
# its pid and exits; the program is then reparented to this (subreaper) process, which
# reaps it with wait4. Its ru_maxrss is then its own peak: a child forked straight from
# Python would report at least Python's resident memory at the fork (and with vfork or
# posix_spawn, Python's whole peak).
TRAMPOLINE = '"$@" >/dev/null & echo $!'


def spawn_and_measure(argv, env, cwd, log_path, timeout):
    """Runs argv and returns (exit status, wall s, cpu s, ru_maxrss KiB)."""
    with open(log_path, "wb") as log:
        if SUBREAPER:
            exe, args = "/bin/sh", ["sh", "-c", TRAMPOLINE, "sh"] + argv
        else:
            exe, args = argv[0], argv
        rfd, wfd = os.pipe()
        start = time.monotonic()
        first = os.fork()
        if first == 0:
            try:
                os.close(rfd)
                os.chdir(cwd)
                devnull = os.open(os.devnull, os.O_RDWR)
                os.dup2(devnull, 0)
                os.dup2(wfd if SUBREAPER else devnull, 1)
                os.dup2(log.fileno(), 2)
                os.execve(exe, args, env)
            finally:
                os._exit(127)
        os.close(wfd)
        with os.fdopen(rfd, "rb") as r:
            said = r.read()
    if SUBREAPER:
        _, status = os.waitpid(first, 0)
        if os.waitstatus_to_exitcode(status) != 0 or not said.strip().isdigit():
            return (f"the starting shell failed ({said!r})", 0.0, 0.0, 0)
        pid = int(said)   # now our child: its shell has exited
    else:
        pid = first
    killed = threading.Event()

    def kill():
        killed.set()
        os.kill(pid, signal.SIGKILL)

    timer = threading.Timer(timeout, kill)
    timer.start()
    # Wait without reaping, so the timer can never signal a reused pid.
    while True:
        try:
            os.waitid(os.P_PID, pid, os.WEXITED | os.WNOWAIT)
            break
        except InterruptedError:
            continue
    wall = time.monotonic() - start
    timer.cancel()
    timer.join()
    _, status, ru = os.wait4(pid, 0)
    if killed.is_set():
        return ("killed after the timeout", wall, 0.0, 0)
    code = os.waitstatus_to_exitcode(status)
    return (code, wall, ru.ru_utime + ru.ru_stime, ru.ru_maxrss)


class Program:
    def __init__(self, label, make_argv, needs_kv_env=False):
        self.label = label
        self.make_argv = make_argv      # (dir, file path, url) -> argv
        self.needs_kv_env = needs_kv_env
        self.walls, self.cpus, self.rss = [], [], []
        self.hashed = False
        self.failed = None


class Bench:
    def __init__(self, args, top):
        self.args = args
        self.top = top
        self.counter = 0
        self.failures = []
        base = {k: v for k, v in os.environ.items() if k not in PROXY_VARS}
        self.base_env = base

    def run(self, prog, url, name, size, digest):
        """One download into a fresh directory; verifies it and deletes it."""
        self.counter += 1
        rundir = os.path.join(self.top, f"run{self.counter}")
        dl = os.path.join(rundir, "dl")
        home = os.path.join(rundir, "home")
        os.makedirs(dl)
        os.makedirs(home)
        target = os.path.join(dl, name)
        env = dict(self.base_env)
        env["HOME"] = home              # no user configuration of aria2c or curl
        if prog.needs_kv_env:
            env["KESTOVA_REGISTRY"] = os.path.join(rundir, "registry.reg")
            env["KESTOVA_HOME"] = os.path.join(home, "kestova")
        argv = prog.make_argv(dl, target, url)
        log_path = os.path.join(rundir, "stderr.txt")
        try:
            code, wall, cpu, rss = spawn_and_measure(argv, env, rundir, log_path,
                                                     self.args.timeout)
            problem = None
            if isinstance(code, str):
                problem = code
            elif code != 0:
                problem = f"exit status {code}"
            elif not os.path.isfile(target):
                problem = f"no file {name} in the download directory " \
                          f"(found: {sorted(os.listdir(dl))})"
            else:
                got = os.path.getsize(target)
                if got != size:
                    problem = f"size {got}, expected {size}"
                elif not prog.hashed:
                    got_digest = sha256_of(target)
                    if got_digest != digest:
                        problem = f"SHA-256 {got_digest}, expected {digest}"
                    prog.hashed = True
            if problem is None:
                extra = sorted(set(os.listdir(dl)) - {name})
                if extra:
                    print(f"warning: {prog.label} left {extra} beside the download",
                          file=sys.stderr)
            if problem is not None:
                with open(log_path, errors="replace") as f:
                    err = f.read()[-2000:]
                msg = f"{prog.label}: {' '.join(argv)}: {problem}"
                if err.strip():
                    msg += f"\n  its standard error ends with:\n{err}"
                raise BenchFailure(msg)
            prog.walls.append(wall)
            prog.cpus.append(cpu)
            prog.rss.append(rss)
        finally:
            shutil.rmtree(rundir, ignore_errors=True)
            os.sync()   # the next run must not pay for this one's write-back

    def series(self, progs, runs, url, name, size, digest):
        for i in range(runs):
            # Alternate the programs and rotate who goes first.
            order = progs[i % len(progs):] + progs[:i % len(progs)]
            for prog in order:
                if prog.failed:
                    continue
                try:
                    self.run(prog, url, name, size, digest)
                except BenchFailure as e:
                    prog.failed = str(e)
                    self.failures.append(str(e))
                    print(f"FAILED: {e}", file=sys.stderr)


def spawn_floor(top):
    """ru_maxrss of /bin/true started the same way: the least any child can report."""
    path = os.path.join(top, "floor.txt")
    code, _, _, rss = spawn_and_measure(["/bin/true"], dict(os.environ), top, path, 30)
    return rss if code == 0 else None


def med(values):
    return statistics.median(values) if values else None


def fmt(value, spec):
    return "-" if value is None else format(value, spec)


def ratio(a, b):
    return None if a is None or b is None or b == 0 else a / b


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    default_kvget = os.path.join(here, "..", "build", "default", "src", "apps", "kvget")
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", type=parse_size, default=1 << 30,
                    help="file size for the unlimited server (default 1G)")
    ap.add_argument("--runs", type=int, default=5,
                    help="downloads per program from the unlimited server (default 5)")
    ap.add_argument("--rate", type=parse_rate, default="2m",
                    help="nginx limit_rate per connection of the limited server (default 2m)")
    ap.add_argument("--limited-size", type=parse_size, default=64 << 20,
                    help="file size for the limited server (default 64M)")
    ap.add_argument("--limited-runs", type=int, default=3,
                    help="downloads per program from the limited server (default 3)")
    ap.add_argument("--kvget", default=os.path.normpath(default_kvget),
                    help="the kvget program (default build/default/src/apps/kvget)")
    ap.add_argument("--timeout", type=float, default=600,
                    help="seconds before one download is killed (default 600)")
    args = ap.parse_args()
    if args.runs < 1 or args.limited_runs < 0:
        ap.error("--runs must be at least 1 and --limited-runs at least 0")

    global SUBREAPER
    SUBREAPER = os.access("/bin/sh", os.X_OK) and become_subreaper()
    if not os.access(NGINX, os.X_OK):
        print(f"download_bench: skipped: {NGINX} not found "
              "(install the Debian package nginx-light)")
        return 0
    kvget = os.path.abspath(args.kvget)
    if not os.access(kvget, os.X_OK):
        print(f"download_bench: {kvget} not found; build it first "
              "(cmake --build build/default --target kvget) or pass --kvget", file=sys.stderr)
        return 2
    aria2c = shutil.which("aria2c")
    curl = shutil.which("curl")

    with tempfile.TemporaryDirectory(prefix="download_bench.", dir="/tmp") as top:
        os.chmod(top, 0o755)
        root = os.path.join(top, "www")
        os.makedirs(root)
        os.chmod(root, 0o755)
        big, small = "data.bin", "small.bin"
        print(f"making {human_size(args.size)} and {human_size(args.limited_size)} "
              "of random data ...", flush=True)
        big_digest = make_file(os.path.join(root, big), args.size)
        small_digest = make_file(os.path.join(root, small), args.limited_size)
        os.sync()
        floor = spawn_floor(top)

        server = Nginx(top, root, args.rate)
        try:
            server.start()
            fast = f"http://127.0.0.1:{server.fast_port}/"
            slow = f"http://127.0.0.1:{server.slow_port}/"
            bench = Bench(args, top)
            return report(bench, args, kvget, aria2c, curl, fast, slow, big, small,
                          big_digest, small_digest, floor)
        finally:
            server.stop()


def report(bench, args, kvget, aria2c, curl, fast, slow, big, small,
           big_digest, small_digest, floor):
    def kv(ants):
        return lambda d, f, u: [kvget, "-q", "-n", str(ants), "--exist", "overwrite",
                                "-d", d, u]

    # Unlimited server.
    kv5 = Program("kvget -n 5", kv(5), needs_kv_env=True)
    progs = [kv5]
    ar = cu = None
    if aria2c:
        ar = Program("aria2c -x5 -s5", lambda d, f, u: [
            aria2c, "-q", "-x5", "-s5", "--allow-overwrite=true", "-d", d, u])
        progs.append(ar)
    if curl:
        cu = Program("curl", lambda d, f, u: [curl, "-s", "-o", f, u])
        progs.append(cu)
    print(f"unlimited: {human_size(args.size)}, {args.runs} runs each, "
          f"{', '.join(p.label for p in progs)} ...", flush=True)
    bench.series(progs, args.runs, fast + big, big, args.size, big_digest)

    # Limited server: each connection held to --rate.
    lk1 = Program("kvget -n 1", kv(1), needs_kv_env=True)
    lk5 = Program("kvget -n 5", kv(5), needs_kv_env=True)
    lprogs = [lk1, lk5]
    lar = None
    if aria2c:
        # -k1M: aria2c's default --min-split-size (20M) would open only 3 connections on a
        # 64 MiB file; the comparison is about 5 connections each.
        lar = Program("aria2c -x5 -s5", lambda d, f, u: [
            aria2c, "-q", "-x5", "-s5", "-k1M", "--allow-overwrite=true", "-d", d, u])
        lprogs.append(lar)
    if args.limited_runs:
        print(f"limited: {human_size(args.limited_size)} at limit_rate {args.rate} per "
              f"connection, {args.limited_runs} runs each ...", flush=True)
        bench.series(lprogs, args.limited_runs, slow + small, small, args.limited_size,
                     small_digest)

    # Table.
    print()
    print(f"download_bench: {human_size(args.size)} from loopback nginx, "
          f"median of {args.runs} runs")
    print(f"{'program':<16} {'wall s':>8} {'MiB/s':>8} {'CPU s':>8} {'peak RSS MiB':>13}"
          f" {'max RSS MiB':>12}")
    for p in (kv5, ar, cu):
        if p is None:
            continue
        if p.failed:
            print(f"{p.label:<16} FAILED")
            continue
        wall = med(p.walls)
        print(f"{p.label:<16} {wall:>8.3f} {args.size / MIB / wall:>8.1f} "
              f"{med(p.cpus):>8.3f} {med(p.rss) / 1024:>13.1f} {max(p.rss) / 1024:>12.1f}")
    for label, tool in (("aria2c", aria2c), ("curl", curl)):
        if not tool:
            print(f"{label:<16} not measured (not installed)")
    if floor is not None:
        print(f"(spawn floor: a child started by this script reports at least "
              f"{floor / 1024:.1f} MiB peak RSS)")

    print()
    print(f"limited: {human_size(args.limited_size)}, limit_rate {args.rate} per connection, "
          f"median of {args.limited_runs} runs")
    print(f"{'program':<16} {'wall s':>8} {'MiB/s':>8} {'ideal s':>8}")
    rate = rate_bytes(args.rate)
    lspeed = {}
    for p, conns in ((lk1, 1), (lk5, 5), (lar, 5)):
        if p is None:
            continue
        if p.failed:
            print(f"{p.label:<16} FAILED")
            continue
        if not p.walls:
            print(f"{p.label:<16} not measured")
            continue
        wall = med(p.walls)
        lspeed[p] = args.limited_size / wall
        # nginx lets each request send one second's worth at once, then holds it to
        # the rate: the time of the file split evenly over the connections.
        ideal = max(0.0, args.limited_size / conns - rate) / rate
        print(f"{p.label:<16} {wall:>8.3f} {lspeed[p] / MIB:>8.2f} {ideal:>8.3f}")
    if not aria2c:
        print(f"{'aria2c':<16} not measured (not installed)")

    def ok(p):
        return p is not None and not p.failed and p.walls

    def line(label, value, target=None, passed=None, unit=""):
        text = "not measured" if value is None else f"{value:.3f}{unit}"
        if value is not None and target:
            text += f"   (target {target}: {'met' if passed else 'NOT met'})"
        print(f"{label:<44} {text}")

    print()
    print("ratios")
    k5 = ok(kv5)
    line("kvget/aria2c wall", ratio(med(kv5.walls), med(ar.walls))
         if k5 and ok(ar) else None)
    line("kvget/aria2c CPU", ratio(med(kv5.cpus), med(ar.cpus))
         if k5 and ok(ar) else None)
    peak = max(kv5.rss) / 1024 if k5 else None
    line("kvget peak memory (largest run)", peak, "< 32 MiB",
         peak is not None and peak < 32, " MiB")
    line("kvget/curl wall", ratio(med(kv5.walls), med(cu.walls))
         if k5 and ok(cu) else None)
    scale = ratio(lspeed.get(lk5), lspeed.get(lk1))
    line("limited: speed(kvget -n5)/speed(kvget -n1)", scale, ">= 4.5",
         scale is not None and scale >= 4.5)
    vs = ratio(lspeed.get(lk5), lspeed.get(lar)) if lar else None
    line("limited: speed(kvget -n5)/speed(aria2c)", vs, ">= 0.95",
         vs is not None and vs >= 0.95)

    if bench.failures:
        print()
        print(f"BENCHMARK FAILED: {len(bench.failures)} download(s) failed or were wrong:")
        for f in bench.failures:
            print(f"  {f.splitlines()[0]}")
        return 1
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
