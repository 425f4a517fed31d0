#!/usr/bin/env python3
"""Benchmark of ferrod beside ser2net and socat: each bridges a pty to loopback TCP.

Run through scripts/bench, which installs the packages and builds the programs first:
  scripts/bench            full run: docs/performance.md and docs/performance.png
  scripts/bench --quick    small transfers, completeness only (CI)
  scripts/bench --profile  ferrod under callgrind: instructions per forwarded MB
"""

import argparse
import json
import os
import platform
import random
import shlex
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import tty

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "bench")
LOADGEN = os.path.join(BUILD, "loadgen")
FERROD = os.path.join(BUILD, "ferrod-release", "ferrod", "ferrod")
FERROD_PROFILE = os.path.join(BUILD, "ferrod-profile", "ferrod", "ferrod")
RESULTS = os.path.join(BUILD, "results.json")
PROFILE_RESULTS = os.path.join(BUILD, "profile.json")
# The figures before the hot-path work, kept for the page's comparison.
PROFILE_BEFORE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "profile-before.json")
DOCS = os.path.join(ROOT, "docs")

MB = 1_000_000
CLIENT_COUNTS = [1, 2, 4, 8, 16, 32]
BUFSIZE = 300  # ferrod's default tx_bufsize
# Bridges of the tables: key, label.
BRIDGES = [("ferrod", "ferrod"), ("ser2net", "ser2net"),
           ("ser2net300", f"ser2net, {BUFSIZE}-byte buffers"), ("socat", "socat")]


class BenchError(Exception):
    pass


def log(msg):
    print(msg, flush=True)


# ---------------------------------------------------------------------------------------------
# The bridges. Each start() returns a Popen of the bridge itself (no wrapper process), serving
# the pty slave `dev` on 127.0.0.1:`port`, logging into `work`.

class Bridge:
    name = ""
    multi = True  # serves several clients at once

    def __init__(self, label):
        self.label = label

    def argv(self, dev, port, work):
        raise NotImplementedError

    def start(self, dev, port, work, wrapper=()):
        out = open(os.path.join(work, "bridge.log"), "wb")
        proc = subprocess.Popen(list(wrapper) + self.argv(dev, port, work), stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT, cwd=work,
                                start_new_session=True)
        out.close()
        return proc


class Ferrod(Bridge):
    name = "ferrod"

    def __init__(self, tx_timeout=5, bufsize=BUFSIZE, binary=FERROD, label=None):
        super().__init__(label or f"ferrod (tx_timeout {tx_timeout}, tx_bufsize {bufsize})")
        self.tx_timeout = tx_timeout
        self.bufsize = bufsize
        self.binary = binary

    def config(self, port):
        return (f'ferrod_mode="1"\nferrod_port="{port}"\nferrod_baudrate="115200"\n'
                f'ferrod_tx_timeout="{self.tx_timeout}"\nferrod_tx_bufsize="{self.bufsize}"\n'
                'ferrod_max_clients="32"\n')

    def argv(self, dev, port, work):
        conf = os.path.join(work, "tarvix.conf")
        with open(conf, "w") as f:
            f.write(self.config(port))
        return [self.binary, "-c", conf, "-d", dev, "-s", os.path.join(work, "stats")]


class Ser2net(Bridge):
    name = "ser2net"

    def __init__(self, bufsize=None, label=None):
        super().__init__(label or ("ser2net" if bufsize is None else f"ser2net, {bufsize}-byte buffers"))
        self.bufsize = bufsize  # None: ser2net's own default (64 bytes each way)

    def config(self, dev, port):
        text = ("%YAML 1.1\n---\n"
                "connection: &bench\n"
                f"  accepter: tcp,127.0.0.1,{port}\n"
                f"  connector: serialdev,{dev},115200n81,local\n"
                "  options:\n"
                "    max-connections: 32\n")
        if self.bufsize:
            text += (f"    dev-to-net-bufsize: {self.bufsize}\n"
                     f"    net-to-dev-bufsize: {self.bufsize}\n")
        return text

    def argv(self, dev, port, work):
        conf = os.path.join(work, "ser2net.yaml")
        with open(conf, "w") as f:
            f.write(self.config(dev, port))
        # -d: foreground, log to standard output; -u: no UUCP lock files for the pty.
        return ["ser2net", "-d", "-u", "-c", conf]


class Socat(Bridge):
    name = "socat"
    multi = False

    def __init__(self, bufsize=8192, label=None):
        super().__init__(label or f"socat -b {bufsize} (one client only)")
        self.bufsize = bufsize

    def argv(self, dev, port, work):
        return ["socat", "-b", str(self.bufsize),
                f"TCP-LISTEN:{port},bind=127.0.0.1,reuseaddr", f"{dev},rawer"]


class FaultBridge(Bridge):
    """bench/faultbridge.py: spoils the stream on purpose (the checks' own test)."""
    name = "faultbridge"

    def __init__(self, fault):
        super().__init__(f"faultbridge {fault}")
        self.fault = fault

    def argv(self, dev, port, work):
        return [sys.executable, os.path.join(ROOT, "bench", "faultbridge.py"), dev, str(port),
                self.fault]


# ---------------------------------------------------------------------------------------------
# One measurement: a fresh pty, a fresh bridge process, the load generator.

def free_port():
    for _ in range(200):
        port = random.randrange(20000, 30000)
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            try:
                s.bind(("0.0.0.0", port))
                return port
            except OSError:
                continue
    raise BenchError("no free TCP port found")


def listening(port):
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                        return True
        except OSError:
            pass
    return False


def wait_listening(proc, port, work, timeout):
    deadline = time.monotonic() + timeout
    while not listening(port):
        if proc.poll() is not None:
            raise BenchError(f"bridge exited with status {proc.returncode} before listening:\n"
                             + bridge_log(work))
        if time.monotonic() > deadline:
            raise BenchError(f"bridge not listening on port {port} after {timeout} s:\n"
                             + bridge_log(work))
        time.sleep(0.02)


def bridge_log(work, lines=30):
    try:
        with open(os.path.join(work, "bridge.log"), "rb") as f:
            text = f.read().decode(errors="replace").splitlines()
    except OSError:
        return "(no log)"
    return "\n".join("    " + l for l in text[-lines:])


def stop(proc, timeout=10):
    """Ends the bridge and everything in its process group. A wrapper (perf) may leave its
    child behind otherwise, and a ferrod that outlives its pty reopens the device by name
    every second: once the pty number is reused it would read a later measurement's data."""
    def signal_group(sig):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            pass

    if proc.poll() is None:
        # A wrapper is told through its child, so that it finishes its report (perf stat
        # dies without one on a signal of its own).
        children = [p for p in group_members(proc.pid) if p != proc.pid]
        for pid in children or [proc.pid]:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            signal_group(signal.SIGTERM)
    deadline = time.monotonic() + timeout
    while group_members(proc.pid) and time.monotonic() < deadline:
        time.sleep(0.02)
    signal_group(signal.SIGKILL)
    if proc.poll() is None:
        proc.wait()


def group_members(pgid):
    """The running processes of a process group (zombies do not count)."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == pgid and fields[0] != "Z":
            pids.append(int(entry))
    return pids


def measure(bridge, mode, clients=1, nbytes=0, samples=0, wrapper=(), slow=False, keep=None,
            idle_ms=None):
    """Runs one measurement and returns the load generator's result (a dict)."""
    work = tempfile.mkdtemp(prefix="ferro-bench-")
    master, slave = os.openpty()
    try:
        tty.setraw(master)
        tty.setraw(slave)  # the bridges set their own line settings when they open it
        dev = os.ttyname(slave)
        port = free_port()
        proc = bridge.start(dev, port, work, wrapper)
        try:
            wait_listening(proc, port, work, 120 if slow else 15)
            cmd = [LOADGEN, mode, "--master", str(master), "--port", str(port),
                   "--pid", str(proc.pid), "--clients", str(clients)]
            if nbytes:
                cmd += ["--bytes", str(nbytes)]
            if samples:
                cmd += ["--samples", str(samples)]
            if slow:
                cmd += ["--sync-ms", "3000", "--idle-ms", "120000"]
            elif idle_ms:
                cmd += ["--idle-ms", str(idle_ms)]
            run = subprocess.run(cmd, pass_fds=(master,), stdout=subprocess.PIPE, text=True)
            try:
                result = json.loads(run.stdout.strip().splitlines()[-1])
            except (ValueError, IndexError):
                raise BenchError(f"load generator gave no result (status {run.returncode})")
            alive = proc.poll() is None
        finally:
            stop(proc)
        if not result.get("ok"):
            raise BenchError(f"{bridge.label}, {mode}, {clients} client(s): "
                             f"{result.get('error')}\nbridge log:\n{bridge_log(work)}")
        if not alive:
            raise BenchError(f"{bridge.label} died during {mode}:\n{bridge_log(work)}")
        if keep is not None:
            keep["work"] = work
            work = None
        return result
    finally:
        os.close(master)
        os.close(slave)
        if work:
            shutil.rmtree(work, ignore_errors=True)


# A result holds the load generator's output of each repetition in "runs"; figures are the
# medians over the repetitions.
def median_of(r, f):
    return statistics.median(f(x) for x in r["runs"])


def throughput(r):
    return median_of(r, lambda x: x["bytes"] / MB / x["wall_s"])


def cpu_ms_per_mb(r):
    return median_of(r, lambda x: 1000 * x["cpu_s"] / (x["bytes"] / MB))


def memory(r, key):
    return int(median_of(r, lambda x: x[key]))


def percentile(values, p):
    v = sorted(values)
    k = (len(v) - 1) * p / 100
    lo = int(k)
    hi = min(lo + 1, len(v) - 1)
    return v[lo] + (v[hi] - v[lo]) * (k - lo)


# ---------------------------------------------------------------------------------------------
# Runs

def plan(quick):
    """(key, bridge, mode, clients, bytes, samples) of every measurement, in run order."""
    bridges = {"ferrod": Ferrod(), "ser2net": Ser2net(), "ser2net300": Ser2net(BUFSIZE),
               "socat": Socat()}
    runs = []
    if quick:
        size, counts, samples = 256 * 1024, [1, 3, 32], 10
    else:
        size, counts, samples = None, CLIENT_COUNTS, 200
    for n in counts:
        # Fewer bytes where each byte costs more: every run takes about as long.
        nbytes = size or (16 * MB if n <= 4 else 8 * MB if n <= 16 else 4 * MB)
        for key, bridge in bridges.items():
            if bridge.multi:
                runs.append((f"s2n/{key}/{n}", bridge, "s2n", n, nbytes, 0))
            elif n == 1:
                runs.append((f"s2n/{key}/{n}", bridge, "s2n", n, size or 32 * MB, 0))
    for key, bridge in bridges.items():
        runs.append((f"n2s/{key}", bridge, "n2s", 1, size or 16 * MB, 0))
    runs.append(("big/ferrod", Ferrod(bufsize=4096), "s2n", 1, size or 32 * MB, 0))
    for t in (5, 1, 0):
        runs.append((f"lat/ferrod/{t}", Ferrod(tx_timeout=t), "latency", 1, 0, samples))
    for key in ("ser2net", "socat"):
        runs.append((f"lat/{key}", bridges[key], "latency", 1, 0, samples))
    return runs


def run_all(quick, repeats):
    """Every measurement of the plan; those that take time are repeated, each time with a
    fresh bridge, in rounds over the whole plan so that a slow spell hits every bridge alike."""
    results = {}
    runs = plan(quick)
    total = sum(1 if mode == "latency" else repeats for _, _, mode, _, _, _ in runs)
    done = 0
    t0 = time.monotonic()
    for rep in range(repeats):
        for key, bridge, mode, clients, nbytes, samples in runs:
            if mode == "latency" and rep > 0:
                continue
            r = measure(bridge, mode, clients, nbytes, samples)
            entry = results.setdefault(key, {"label": bridge.label, "mode": mode, "runs": []})
            entry["runs"].append(r)
            if mode != "latency" and abs(r["cpu_s"] - r["cpu_stat_s"]) > 0.03 + 0.1 * r["cpu_s"]:
                raise BenchError(f"{key}: CPU time {r['cpu_s']:.3f} s (schedstat) and "
                                 f"{r['cpu_stat_s']:.2f} s (stat) disagree")
            done += 1
            if mode == "latency":
                lat = r["latency_us"]
                what = (f"{len(lat)} single bytes, each arrived" if quick else
                        f"{len(lat)} bytes, each arrived; p50 {percentile(lat, 50) / 1000:.2f} ms")
            elif quick:
                where = "the pty" if mode == "n2s" else f"{clients} client(s)"
                what = f"{r['bytes']} bytes complete and in order on {where}"
            else:
                x = {"runs": [r]}
                what = (f"{r['bytes'] / MB:.0f} MB complete on "
                        + ("the pty" if mode == "n2s" else f"{clients} client(s)")
                        + f", {throughput(x):.1f} MB/s, {cpu_ms_per_mb(x):.1f} CPU ms/MB")
            log(f"[{done:2}/{total}] {key:<18} {what}")
    log(f"{total} measurements in {time.monotonic() - t0:.0f} s")
    return results


# Faults the checks must catch: (fault, mode, clients, text the failure must contain). The
# first three are the controls, which must pass.
SELF_TEST = [
    ("none", "s2n", 3, None),
    ("none", "n2s", 1, None),
    ("none", "latency", 1, None),
    ("drop", "s2n", 1, "data lost, reordered or altered"),
    ("dup", "s2n", 1, "data lost, reordered or altered"),
    ("swap", "s2n", 1, "data lost, reordered or altered"),
    ("istrip", "s2n", 1, "data lost, reordered or altered"),
    ("crlf", "s2n", 1, "data lost, reordered or altered"),
    ("drop-last", "s2n", 3, "client 3: byte"),
    ("cut-last@60000", "s2n", 3, "no progress"),
    ("echo", "s2n", 1, "unasked (echo?)"),
    ("close", "s2n", 2, "closed by the bridge"),
    ("n2s-drop", "n2s", 1, "pty byte 1000"),
    ("drop@20", "latency", 1, "did not arrive"),
    ("dup@20", "latency", 1, "more than sent"),
]


def self_test():
    """Runs the load generator against bridges that spoil the stream; each must fail it."""
    for fault, mode, clients, expect in SELF_TEST:
        try:
            measure(FaultBridge(fault), mode, clients, 64 * 1024, 30, idle_ms=1500)
            caught = None
        except BenchError as e:
            caught = str(e)
        if expect is None and caught is not None:
            raise BenchError(f"self-test: the faultless bridge failed {mode}: {caught}")
        if expect is not None and (caught is None or expect not in caught):
            raise BenchError(f"self-test: fault {fault!r} in {mode} went "
                             + ("unnoticed" if caught is None else f"wrongly reported: {caught}"))
    log(f"self-test: {len(SELF_TEST) - 3} spoilt streams caught, 3 clean ones passed")


# ---------------------------------------------------------------------------------------------
# Profile: ferrod under callgrind

def callgrind_total(path):
    with open(path) as f:
        for line in f:
            if line.startswith("totals:") or line.startswith("summary:"):
                return int(line.split()[1])
    raise BenchError(f"no totals in {path}")


def profile(top):
    """Instructions per forwarded MB under callgrind with 1 and 8 clients, the top functions,
    and the system calls per MB."""
    results = {"ferrod": ferrod_version(), "runs": {}}
    small = 256 * 1024
    sizes = {1: 4 * MB, 8: 2 * MB}
    outdir = os.path.join(BUILD, "profile")
    os.makedirs(outdir, exist_ok=True)
    for clients, nbytes in sizes.items():
        totals = {}
        for size in (small, nbytes):
            out = os.path.join(outdir, f"callgrind.{clients}.{size}.out")
            wrapper = ["valgrind", "--tool=callgrind", "--quiet", f"--callgrind-out-file={out}"]
            measure(Ferrod(binary=FERROD_PROFILE), "s2n", clients, size, wrapper=wrapper, slow=True)
            totals[size] = callgrind_total(out)
        ir_per_mb = (totals[nbytes] - totals[small]) / ((nbytes - small) / MB)
        annotate = subprocess.run(["callgrind_annotate", out], stdout=subprocess.PIPE, text=True,
                                  check=True).stdout
        results["runs"][str(clients)] = {"bytes": nbytes, "ir_total": totals[nbytes],
                                         "ir_small": totals[small], "small_bytes": small,
                                         "ir_per_mb": ir_per_mb, "callgrind_out": out,
                                         "top": top_functions(annotate, top)}
        log(f"\n=== ferrod, {clients} client(s): {ir_per_mb / 1e6:.2f} M instructions per "
            f"forwarded MB ({nbytes / MB:.0f} MB run {totals[nbytes]:,} Ir, "
            f"{small // 1024} KB run {totals[small]:,} Ir) ===")
        log(f"top functions of the {nbytes / MB:.0f} MB run (exclusive Ir; {out}):")
        for ir, pct, fn in results["runs"][str(clients)]["top"]:
            log(f"  {ir:>14,}  {pct:5.1f} %  {fn}")
    syscalls = syscall_profile()
    if syscalls:
        results["syscalls"] = syscalls
    with open(PROFILE_RESULTS, "w") as f:
        json.dump(results, f, indent=1)
    log(f"\nsaved to {PROFILE_RESULTS}; docs/performance.md shows it after the next full run")
    return results


def top_functions(annotate, top):
    rows, in_table, total = [], False, None
    for line in annotate.splitlines():
        s = line.strip()
        if total is None and s.endswith("PROGRAM TOTALS"):
            total = int(s.split()[0].replace(",", ""))
        if s.startswith("Ir") and "file:function" in s:
            in_table = True
            continue
        if in_table:
            if not s or s.startswith("-"):
                if rows:
                    break
                continue
            ir, _, fn = s.partition(" ")
            if "(" in fn and fn.lstrip().startswith("("):
                fn = fn.lstrip().split(")", 1)[1]  # newer annotate: "(12.3%)" column
            ir = int(ir.replace(",", ""))
            fn = fn.strip()
            if fn.endswith("]") and " [" in fn:
                fn = fn[:fn.rindex(" [")]  # the object file
            rows.append((ir, 100.0 * ir / total if total else 0.0, fn))
            if len(rows) >= top:
                break
    return rows


SYSCALLS = ["pselect6", "select", "read", "write", "sendto", "recvfrom", "ioctl", "clock_gettime",
            "openat", "close", "rename", "fcntl", "newfstatat", "socket", "connect"]


def syscall_profile():
    """System calls of ferrod per forwarded MB with 1 and 8 clients, counted by the kernel's
    tracepoints under `perf stat` (no ptrace: ferrod runs at its own pace)."""
    perf = shutil.which("perf")
    if not perf or subprocess.run([perf, "stat", "-e", "raw_syscalls:sys_enter", "true"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode:
        log("\n(perf with syscall tracepoints is not available here: no system call counts)")
        return None
    events = ["raw_syscalls:sys_enter"] + [f"syscalls:sys_enter_{n}" for n in SYSCALLS]
    small, big = 256 * 1024, 8 * MB
    out = {}
    for key, mode, clients in (("1", "s2n", 1), ("8", "s2n", 8), ("n2s", "n2s", 1)):
        counts = {}
        for size in (small, big):
            work = tempfile.mkdtemp(prefix="ferro-perf-")
            data = os.path.join(work, "perf.csv")
            wrapper = [perf, "stat", "-x", ",", "-o", data, "-e", ",".join(events), "--"]
            measure(Ferrod(), mode, clients, size, wrapper=wrapper, slow=True)
            counts[size] = parse_perf(data)
            shutil.rmtree(work, ignore_errors=True)
        per_mb = {}
        for name in counts[big]:
            per_mb[name] = (counts[big][name] - counts[small].get(name, 0)) / ((big - small) / MB)
        out[key] = dict(sorted(per_mb.items(), key=lambda kv: -kv[1]))
        what = "network to serial" if mode == "n2s" else f"{clients} client(s)"
        log(f"\n=== ferrod, {what}: system calls per forwarded MB (perf stat) ===")
        for name, n in out[key].items():
            if n >= 1:
                log(f"  {n:10.0f}  {name}")
    return out


def parse_perf(path):
    counts = {}
    with open(path) as f:
        for line in f:
            p = line.strip().split(",")
            if len(p) >= 3 and p[0].isdigit():
                name = p[2].split(":", 1)[1]
                name = "all system calls" if name == "sys_enter" else name.replace("sys_enter_", "")
                counts[name] = int(p[0])
    return counts


# ---------------------------------------------------------------------------------------------
# Report

def sh(cmd):
    try:
        return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              shell=isinstance(cmd, str)).stdout.strip()
    except OSError:
        return "?"


def ferrod_version():
    """The last commit that changed ferrod's code (ferrod/, mainloop/, the build flags)."""
    paths = ["ferrod", "mainloop", "cmake", "CMakeLists.txt"]
    rev = sh(["git", "-C", ROOT, "log", "-1", "--format=%h", "--"] + paths)
    dirty = sh(["git", "-C", ROOT, "status", "--porcelain", "--"] + paths)
    return f"as of commit {rev}" + (" with uncommitted changes" if dirty else "")


def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem = int(f.readline().split()[1]) // 1024
    load = os.getloadavg()
    return {"cpu": model, "cores": os.cpu_count(), "kernel": platform.release(),
            "memory_mb": mem, "load_at_start": f"{load[0]:.2f} {load[1]:.2f} {load[2]:.2f}"}


def versions():
    socat = next((l for l in sh(["socat", "-V"]).splitlines() if "socat version" in l), "?")
    return {"ferrod": ferrod_version(), "ser2net": sh(["ser2net", "-v"]),
            "socat": socat.split(" on ")[0]}


def fmt(v, digits=1):
    return "–" if v is None else f"{v:.{digits}f}"


def ratio(a, b):
    return None if a is None or b is None or b == 0 else a / b


def summarise(res):
    """Numbers the tables and the picture use."""
    s = {"s2n": {}, "n2s": {}, "lat": {}, "mem": {}}
    for key, _ in BRIDGES:
        for n in CLIENT_COUNTS:
            r = res.get(f"s2n/{key}/{n}")
            if r:
                s["s2n"][(key, n)] = (throughput(r), cpu_ms_per_mb(r))
                if n == 8 or (key == "socat" and n == 1):
                    s["mem"][key] = (n, memory(r, "vm_hwm_kb"), memory(r, "private_dirty_kb"))
        r = res.get(f"n2s/{key}")
        if r:
            s["n2s"][key] = (throughput(r), cpu_ms_per_mb(r))
    r = res.get("big/ferrod")
    if r:
        s["big"] = (throughput(r), cpu_ms_per_mb(r))
    for key in ("ferrod/5", "ferrod/1", "ferrod/0", "ser2net", "socat"):
        r = res.get(f"lat/{key}")
        if r:
            lat = [u / 1000 for u in r["runs"][0]["latency_us"]]
            s["lat"][key] = (percentile(lat, 50), percentile(lat, 99), max(lat), len(lat))
    return s


def goal_mark(ok):
    return "" if ok is None else ("met" if ok else "**not met**")


def headline(s):
    """Rows: (what, ferrod, ser2net, ratio, ser2net300, ratio, goal text, met?). The goals are
    judged against ser2net as users run it (its defaults, max-connections 32)."""
    rows = []
    none = (None, None)

    def row(what, f, p, p3, goal, test, digits):
        r, r3 = ratio(f, p), ratio(f, p3)
        rows.append((what, fmt(f, digits), fmt(p, digits), r, fmt(p3, digits), r3, goal,
                     None if r is None else test(r)))

    for n, limit in ((1, 0.15), (8, 0.25), (32, 0.25)):
        row(f"CPU ms per MB, serial → {n} client{'s' if n > 1 else ''}", s["s2n"].get(("ferrod", n), none)[1],
            s["s2n"].get(("ser2net", n), none)[1], s["s2n"].get(("ser2net300", n), none)[1],
            f"≤ {limit}×", lambda r, l=limit: r <= l, 2)
    row("CPU ms per MB, network → serial", s["n2s"].get("ferrod", none)[1],
        s["n2s"].get("ser2net", none)[1], s["n2s"].get("ser2net300", none)[1], "≤ 0.5×",
        lambda r: r <= 0.5, 2)
    row("throughput MB/s, serial → 1 client", s["s2n"].get(("ferrod", 1), none)[0],
        s["s2n"].get(("ser2net", 1), none)[0], s["s2n"].get(("ser2net300", 1), none)[0], "≥ 3×",
        lambda r: r >= 3, 1)
    mf, ms, m3 = (s["mem"].get(k) for k in ("ferrod", "ser2net", "ser2net300"))
    row("private dirty memory kB, 8 clients", mf and mf[2], ms and ms[2], m3 and m3[2],
        "≤ 0.3×", lambda r: r <= 0.3, 0)
    return rows


def socat_rows(s):
    """ferrod with 4096-byte buffers against socat -b 8192, one client."""
    big, x = s.get("big"), s["s2n"].get(("socat", 1))
    if not big or not x:
        return []
    r1, r2 = ratio(big[0], x[0]), ratio(big[1], x[1])
    return [("throughput MB/s", fmt(big[0]), fmt(x[0]), r1, "≥ 1.2×", r1 >= 1.2),
            ("CPU ms per MB", fmt(big[1], 2), fmt(x[1], 2), r2, "≤ 0.8×", r2 <= 0.8)]


def latency_rows(s):
    rows = []
    for t in (5, 1, 0):
        l = s["lat"].get(f"ferrod/{t}")
        if l:
            rows.append((t, l, l[0] <= t + 0.3 and l[1] <= t + 1))
    return rows


def write_picture(s, png):
    gp = shutil.which("gnuplot")
    if not gp:
        raise BenchError("gnuplot is missing (scripts/bench installs gnuplot-nox)")
    work = tempfile.mkdtemp(prefix="ferro-plot-")
    try:
        with open(os.path.join(work, "cpu.dat"), "w") as f:
            for n in CLIENT_COUNTS:
                vals = [s["s2n"].get((b, n), (None, None))[1] for b, _ in BRIDGES]
                f.write(f"{n} " + " ".join("NaN" if v is None else f"{v:.4f}" for v in vals) + "\n")
        labels = {"ferrod/5": "ferrod 5 ms", "ferrod/1": "ferrod 1 ms", "ferrod/0": "ferrod 0 ms",
                  "ser2net": "ser2net", "socat": "socat"}
        with open(os.path.join(work, "lat.dat"), "w") as f:
            for key, name in labels.items():
                l = s["lat"].get(key)
                if l:
                    f.write(f'"{name}" {l[0]:.4f} {l[1]:.4f}\n')
        term = "pngcairo size 1200,500 font 'sans,10'"
        if "pngcairo" not in sh("echo 'set terminal' | gnuplot 2>&1"):
            term = "png size 1200,500"
        script = f"""
set terminal {term}
set output '{png}'
set multiplot layout 1,2
set title 'CPU time per forwarded MB, serial to network'
set xlabel 'reading clients'
set ylabel 'CPU ms per MB (user + system)'
set key top left
set grid
set xrange [0:33]
set yrange [0:*]
set xtics (1, 2, 4, 8, 16, 32)
plot '{work}/cpu.dat' using 1:2 with linespoints lw 2 pt 7 title 'ferrod', \\
     '' using 1:3 with linespoints lw 2 pt 5 title 'ser2net', \\
     '' using 1:4 with linespoints lw 2 dt 2 pt 4 title 'ser2net, {BUFSIZE}-byte buffers', \\
     '' using 1:5 with points pt 9 ps 2 title 'socat -b 8192 (one client only)'
set title 'Latency of a single byte, serial to client'
set xlabel ''
set ylabel 'ms'
unset xrange
set xtics rotate by -20
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set boxwidth 0.9
set key top right
plot '{work}/lat.dat' using 2:xtic(1) title 'p50', '' using 3 title 'p99'
unset multiplot
"""
        with open(os.path.join(work, "plot.gp"), "w") as f:
            f.write(script)
        subprocess.run([gp, os.path.join(work, "plot.gp")], check=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def write_page(res, meta, path):
    s = summarise(res)
    L = []
    w = L.append
    w("# Performance: ferrod beside ser2net and socat")
    w("")
    w("Generated by `scripts/bench` (bench/bench.py). Each bridge serves a pseudo-terminal (the")
    w("load generator holds the master and plays the serial device) to clients on loopback TCP;")
    w("every measurement starts a fresh bridge process, and every figure counts only after the")
    w("load generator found every byte on every client, complete and in order. CPU time is the")
    w("bridge process's user + system time over the transfer, summed over its threads from")
    w("`/proc/PID/task/*/schedstat` (nanoseconds; `/proc/PID/stat` gives the same in 10 ms ticks,")
    w("and the run checks that the two agree). Memory comes from `/proc/PID/status` (VmHWM) and")
    w("`/proc/PID/smaps_rollup` (Private_Dirty). MB = 10^6")
    w("bytes of serial data, whatever the number of clients. Each transfer ran "
      f"{meta.get('repeats', 1)} times (each time with a")
    w("fresh bridge, in rounds over all bridges); the tables give the medians.")
    w("")
    w("**Read the ratios.** The three bridges ran one after another on the same machine in one")
    w("run; absolute times on a shared machine are noise.")
    w("")
    w(f"- Command: `{meta['command']}`")
    m = meta["machine"]
    w(f"- Machine: {m['cpu']}, {m['cores']} cores, {m['memory_mb']} MB, Linux {m['kernel']}; "
      f"load average at start {m['load_at_start']}"
      + (f", at the end {m['load_at_end']}" if m.get("load_at_end") else ""))
    v = meta["versions"]
    w(f"- Versions: ferrod {v['ferrod']} (release flags, `cmake -C cmake/release.cmake`); "
      f"{v['ser2net']}; {v['socat']}")
    w(f"- Date: {meta['date']}, run time {meta['seconds']:.0f} s")
    if meta.get("note"):
        w(f"- Note: {meta['note']}")
    w("")
    w("## Headline: ratios ferrod / peer")
    w("")
    w("The project's goals are judged against ser2net as users")
    w("run it: its defaults (64-byte buffers each way) with `max-connections: 32`. The columns")
    w(f"on the right give the same ratio against ser2net with ferrod's {BUFSIZE}-byte buffers,")
    w("which shows how much of the difference is the buffer size alone.")
    w("")
    w(f"| measure | ferrod | ser2net | ferrod / ser2net | goal | | ser2net, {BUFSIZE} B "
      f"| ferrod / ser2net {BUFSIZE} B |")
    w("| --- | ---: | ---: | ---: | --- | --- | ---: | ---: |")
    for what, f, p, r, p3, r3, goal, ok in headline(s):
        w(f"| {what} | {f} | {p} | {fmt(r, 2) + '×' if r is not None else '–'} | {goal} | "
          f"{goal_mark(ok)} | {p3} | {fmt(r3, 2) + '×' if r3 is not None else '–'} |")
    for what, f, x, r, goal, ok in socat_rows(s):
        w(f"| {what}, ferrod tx_bufsize 4096 / socat -b 8192 | {f} | socat {x} | "
          f"{fmt(r, 2)}× | {goal} | {goal_mark(ok)} | | |")
    for t, l, ok in latency_rows(s):
        w(f"| latency p50 / p99 ms, tx_timeout {t} | {l[0]:.2f} / {l[1]:.2f} | | | "
          f"≤ {t + 0.3:g} / {t + 1:g} | {goal_mark(ok)} | | |")
    w("")
    w("![CPU per MB against clients, and latency](performance.png)")
    w("")
    w("## Serial → network, by number of reading clients")
    w("")
    w("MB/s, then CPU ms per MB in brackets; socat serves one client only.")
    w("")
    w("| clients | " + " | ".join(label for _, label in BRIDGES) + " | CPU ferrod / ser2net |")
    w("| ---: | " + " | ".join("---:" for _ in BRIDGES) + " | ---: |")
    for n in CLIENT_COUNTS:
        cells = []
        for key, _ in BRIDGES:
            v = s["s2n"].get((key, n))
            cells.append(f"{v[0]:.1f} ({v[1]:.2f})" if v else "–")
        if all(c == "–" for c in cells):
            continue
        fr, sr = s["s2n"].get(("ferrod", n)), s["s2n"].get(("ser2net", n))
        r = ratio(fr and fr[1], sr and sr[1])
        w(f"| {n} | " + " | ".join(cells) + f" | {fmt(r, 2) + '×' if r else '–'} |")
    w("")
    w("Cost of each added client: CPU ms per MB per client between neighbouring counts (a cost")
    w("that grows linearly keeps these alike):")
    w("")
    multi = [(k, l) for k, l in BRIDGES if k != "socat"]
    w("| clients | " + " | ".join(l for _, l in multi) + " |")
    w("| --- | " + " | ".join("---:" for _ in multi) + " |")
    for a, b in zip(CLIENT_COUNTS, CLIENT_COUNTS[1:]):
        cells = []
        for key, _ in multi:
            ca, cb = s["s2n"].get((key, a)), s["s2n"].get((key, b))
            cells.append(fmt((cb[1] - ca[1]) / (b - a), 3) if ca and cb else "–")
        w(f"| {a} → {b} | " + " | ".join(cells) + " |")
    w("")
    w("## Network → serial, one writing client")
    w("")
    w("| bridge | MB/s | CPU ms/MB |")
    w("| --- | ---: | ---: |")
    for key, label in BRIDGES:
        r = s["n2s"].get(key)
        if r:
            w(f"| {label} | {fmt(r[0])} | {fmt(r[1], 2)} |")
    w("")
    w("## Larger buffers: ferrod `tx_bufsize` 4096 against `socat -b 8192`, one client")
    w("")
    w("| bridge | MB/s | CPU ms/MB |")
    w("| --- | ---: | ---: |")
    if s.get("big"):
        w(f"| ferrod, tx_bufsize 4096 | {fmt(s['big'][0])} | {fmt(s['big'][1], 2)} |")
    x = s["s2n"].get(("socat", 1))
    if x:
        w(f"| socat -b 8192 | {fmt(x[0])} | {fmt(x[1], 2)} |")
    w("")
    w("## Latency of a single byte, serial → client")
    w("")
    w("Time from the write into the pty until the byte is read from the client socket; one byte")
    w("at a time, 2 to 4 ms apart.")
    w("")
    w("| bridge | samples | p50 ms | p99 ms | max ms |")
    w("| --- | ---: | ---: | ---: | ---: |")
    names = {"ferrod/5": "ferrod, tx_timeout 5 (default)", "ferrod/1": "ferrod, tx_timeout 1",
             "ferrod/0": "ferrod, tx_timeout 0", "ser2net": "ser2net (chardelay defaults)",
             "socat": "socat"}
    for key, name in names.items():
        l = s["lat"].get(key)
        if l:
            w(f"| {name} | {l[3]} | {l[0]:.2f} | {l[1]:.2f} | {l[2]:.2f} |")
    w("")
    w("## Memory")
    w("")
    w("Read at the end of the transfer to 8 clients (socat: its one client).")
    w("")
    w("| bridge | clients connected | peak RSS kB (VmHWM) | private dirty kB |")
    w("| --- | ---: | ---: | ---: |")
    for key, label in BRIDGES:
        mm = s["mem"].get(key)
        if mm:
            w(f"| {label} | {mm[0]} | {mm[1]} | {mm[2]} |")
    w("")
    prof = load_profile()
    if prof:
        w("## Instructions per forwarded MB (callgrind)")
        w("")
        w(f"`scripts/bench --profile`, ferrod {prof['ferrod']}: user-space instructions (Ir) of")
        w("ferrod under `valgrind --tool=callgrind`, the difference between a long and a short")
        w("transfer divided by the MB between them, so start-up does not count. Kernel work is")
        w("not included (see the system calls below). Stable on a noisy machine; compare before")
        w("and after a change.")
        w("")
        before = load_json(PROFILE_BEFORE)
        if before:
            w(f"Before is ferrod {before['ferrod']}; system calls are all calls per MB.")
            w("")
            w("| clients | M instructions per MB, before | now | system calls per MB, before | now |")
            w("| ---: | ---: | ---: | ---: | ---: |")
            for n, r in prof["runs"].items():
                calls = prof.get("syscalls", {}).get(n, {}).get("all system calls")
                now_calls = f"{calls:.0f}" if calls is not None else "-"
                w(f"| {n} | {before['ir_per_mb'].get(n, 0) / 1e6:.2f} | {r['ir_per_mb'] / 1e6:.2f} "
                  f"| {before['syscalls_per_mb'].get(n, '-')} | {now_calls} |")
        else:
            w("| clients | M instructions per MB |")
            w("| ---: | ---: |")
            for n, r in prof["runs"].items():
                w(f"| {n} | {r['ir_per_mb'] / 1e6:.2f} |")
        w("")
        if prof.get("syscalls"):
            w("System calls per forwarded MB (kernel tracepoints under `perf stat`, same")
            w("difference method):")
            w("")
            names = sorted({k for v in prof["syscalls"].values() for k, c in v.items() if c >= 1},
                           key=lambda k: -max(v.get(k, 0) for v in prof["syscalls"].values()))
            heading = {"1": "serial → 1 client", "8": "serial → 8 clients",
                       "n2s": "1 client → serial"}
            w("| system call | " + " | ".join(heading.get(n, n) for n in prof["syscalls"]) + " |")
            w("| --- | " + " | ".join("---:" for _ in prof["syscalls"]) + " |")
            for k in names:
                w(f"| {k} | " + " | ".join(f"{v.get(k, 0):.0f}" for v in prof["syscalls"].values())
                  + " |")
            w("")
    w("## Configurations")
    w("")
    w("Serial settings 115200 baud 8N1 everywhere (a pty moves data at its own pace; ser2net")
    w("derives its `chardelay` from the rate). Batching is each bridge's own: ferrod hands data on")
    w("after `tx_timeout` ms of quiet line or a full `tx_bufsize` buffer; ser2net waits")
    w("`chardelay` (two characters, at least 1 ms) unless its buffer fills; socat forwards every")
    w("read at once. LEDs are on (ferrod's default), so ferrod sends its LED datagrams"
      + (";" if meta.get("netns") else "."))
    if meta.get("netns"):
        w("the run takes place in a network namespace of its own, where no one receives them.")
    w("")
    w("ferrod (`ferrod -c tarvix.conf -d PTY -s STATS`):")
    w("")
    w("```")
    w(Ferrod().config("PORT").rstrip())
    w("```")
    w("")
    w(f"ser2net (`ser2net -d -u -c ser2net.yaml`); the {BUFSIZE}-byte variant adds")
    w(f"`dev-to-net-bufsize: {BUFSIZE}` and `net-to-dev-bufsize: {BUFSIZE}`:")
    w("")
    w("```yaml")
    w(Ser2net().config("PTY", "PORT").rstrip())
    w("```")
    w("")
    w(f"socat: `{' '.join(Socat().argv('PTY', 'PORT', '.'))}` (serves one client and exits).")
    w("")
    with open(path, "w") as f:
        f.write("\n".join(L))


def load_json(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def load_profile():
    return load_json(PROFILE_RESULTS)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small transfers, completeness only")
    ap.add_argument("--profile", action="store_true", help="ferrod under callgrind")
    ap.add_argument("--repeats", type=int, default=3,
                    help="runs of each transfer, fresh bridge each time (median counts)")
    ap.add_argument("--top", type=int, default=25, help="functions listed by --profile")
    ap.add_argument("--report-only", action="store_true",
                    help="rewrite the page and picture from the last results")
    ap.add_argument("--command", default="scripts/bench", help=argparse.SUPPRESS)
    ap.add_argument("--note", help="a remark for the page (e.g. what else ran on the machine)")
    args = ap.parse_args()

    for prog in (LOADGEN, FERROD):
        if not os.access(prog, os.X_OK):
            raise BenchError(f"{prog} is missing: run scripts/bench, which builds it")
    if args.profile:
        profile(args.top)
        return 0
    if args.report_only:
        with open(RESULTS) as f:
            saved = json.load(f)
        res, meta = saved["results"], saved["meta"]
        if args.note:
            meta["note"] = args.note
    else:
        start = time.monotonic()
        meta = {"machine": machine(), "versions": versions(), "command": args.command,
                "date": time.strftime("%Y-%m-%d %H:%M %Z"),
                "netns": os.environ.get("BENCH_NETNS") == "1", "note": args.note}
        if args.quick:
            self_test()
        res = run_all(args.quick, 1 if args.quick else args.repeats)
        meta["repeats"] = 1 if args.quick else args.repeats
        meta["seconds"] = time.monotonic() - start
        load = os.getloadavg()
        meta["machine"]["load_at_end"] = f"{load[0]:.2f} {load[1]:.2f} {load[2]:.2f}"
        if args.quick:
            log("bench --quick: every transfer complete and in order (no timing taken)")
            return 0
        with open(RESULTS, "w") as f:
            json.dump({"meta": meta, "results": res}, f, indent=1)
    write_page(res, meta, os.path.join(DOCS, "performance.md"))
    write_picture(summarise(res), os.path.join(DOCS, "performance.png"))
    log(f"wrote docs/performance.md and docs/performance.png; raw results in {RESULTS}")
    with open(os.path.join(DOCS, "performance.md")) as f:
        text = f.read()
    start = text.index("## Headline")
    log(text[start:text.index("![", start)].rstrip())
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BenchError as e:
        print(f"\nBENCHMARK FAILED: {e}", file=sys.stderr, flush=True)
        sys.exit(1)
    except KeyboardInterrupt:
        sys.exit(130)
