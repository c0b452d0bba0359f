#!/usr/bin/env python3
"""Whole-system benchmark: starts platformd and tzd in a private directory, measures what users
feel, and prints one table (Markdown), each figure the median of repeated runs and, where there
is one, its ratio to a floor measured in the same run on the same machine.

    python3 bench/system/run.py [--build build] [--runs 7] [--wait-quiet 300] [--cpu 0]

Floors:
  bare walk        floor_walk: the catalogue build's libc calls and nothing else, the first walk
                   of a fresh process (as tzd's first query is), median over fresh processes
  bare ping-pong   floor_pingpong: a 74216-byte request and a 74220-byte reply between two
                   processes, the answering side blocked in recv; the same with the answering side
                   in an epoll loop (with and without a peek at the record length) is shown beside
                   it, to tell what an event loop costs from what the service costs
  durable writes   the fsync, fsync and fdatasync a commit makes, alone, taking turns with commits

The warm figures run the client, the floors and every thread of tzd on one CPU (--cpu), so that a
round trip measures work rather than how long an idle CPU takes to wake up.

Nothing this starts outlives it: platformd and tzd each run in a session of their own and are
stopped at the end (SIGTERM, then SIGKILL); they and the load programs are killed by the kernel
should this script itself be killed; the timed platformctl runs last milliseconds. Every wait and
every program run is bounded.
"""
import argparse
import ctypes
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ITEM = "/cfg/gl/clock/timezone"
_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def _die_with_parent(parent=os.getpid()):
    # In the child, before exec: the kernel kills it when this script ends, however it ends.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)
    if os.getppid() != parent:
        os._exit(1)


def run(args, env=None, timeout=120, check=True, tied=True, cpus=None):
    """Runs a short-lived program to its end (killed after TIMEOUT seconds); its output. TIED:
    the kernel kills it should this script die first (the hook makes Python fork the whole
    interpreter instead of spawning, some milliseconds, so timed process runs go without).
    CPUS: the program and whatever it starts run only there."""
    def child():
        if cpus is not None:
            os.sched_setaffinity(0, cpus)
        _die_with_parent()

    r = subprocess.run(args, env=env, capture_output=True, text=True, timeout=timeout,
                       preexec_fn=child if tied or cpus is not None else None)
    if check and r.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, args))} exited with {r.returncode}: "
                           f"{r.stderr.strip()[:500]}")
    return r


def timed_run(args, env=None, timeout=60):
    """Wall time of a whole program run in milliseconds, and its result."""
    t0 = time.perf_counter()
    r = run(args, env=env, timeout=timeout, check=False, tied=False)
    return (time.perf_counter() - t0) * 1000, r


def med(values):
    return statistics.median(values) if values else float("nan")


class System:
    """platformd and tzd of one simulated router in a private directory."""

    def __init__(self, build, tzdir, base):
        self.build = build
        self.tzdir = tzdir
        self.dir = tempfile.mkdtemp(prefix="tzd-bench-", dir=base)
        self.procs = []

    def env(self, card=0):
        e = {k: v for k, v in os.environ.items() if not k.startswith("PLATFORM_")}
        e.update(PLATFORM_RUNDIR=f"{self.dir}/card{card}", PLATFORM_SOCKET=f"{self.dir}/pd.sock",
                 PLATFORM_STATEDIR=f"{self.dir}/state", PLATFORM_CARD=str(card),
                 PLATFORM_LOCALTIME=f"{self.dir}/card{card}/localtime", TZDIR=self.tzdir)
        return e

    def channel(self, card=0):
        return f"{self.dir}/card{card}/dev/tz_cli_msg_transfer"

    def link(self, card):
        return f"{self.dir}/card{card}/localtime"

    def start(self, prog, card=0):
        os.makedirs(f"{self.dir}/card{card}", exist_ok=True)
        p = subprocess.Popen([f"{self.build}/bin/{prog}"], env=self.env(card),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             start_new_session=True, preexec_fn=_die_with_parent)
        p.name = prog
        self.procs.append(p)
        return p

    def wait_for(self, cond, what, timeout=30, procs=()):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            for p in procs:
                if p.poll() is not None:
                    raise RuntimeError(f"{p.name} exited with status {p.returncode} "
                                       f"while waiting for {what}")
            if cond():
                return
            time.sleep(0.01)
        raise RuntimeError(f"timed out after {timeout} s waiting for {what}")

    def start_platformd(self):
        p = self.start("platformd")
        self.wait_for(lambda: can_connect(f"{self.dir}/pd.sock"), "platformd's socket", procs=[p])
        return p

    def start_tzd(self, card=0):
        """Starts tzd and waits until it is registered with the configuration database, its
        start-up done, without sending it a query (the first query builds the catalogue)."""
        p = self.start("tzd", card)
        pattern = re.compile(r"(verifier|notify) +/cfg/gl/clock/ handle \d+ .*"
                             rf"\(card {card} pid {p.pid} tzd\)")
        self.wait_for(lambda: can_connect(self.channel(card)) and
                      pattern.search(self.ctl("status").stdout or ""),
                      f"tzd of card {card} to register", procs=[p])
        return p

    def stop(self, p):
        if p.poll() is None:
            try:
                os.killpg(p.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait(5)
        self.procs.remove(p)

    def close(self):
        for p in reversed(list(self.procs)):
            try:
                self.stop(p)
            except Exception as e:  # keep stopping the others
                print(f"run.py: stopping {p.name} {p.pid}: {e}", file=sys.stderr)
        shutil.rmtree(self.dir, ignore_errors=True)

    def load(self, qtype, clients, rounds, arg="", card=0, cpus=None):
        """tzload: median and p99 round trip (us), replies per second, failed exchanges."""
        r = run([f"{self.build}/bench/tzload", self.channel(card), str(qtype), str(clients),
                 str(rounds), arg], check=False, cpus=cpus)
        out = r.stdout.split()
        if len(out) != 4:
            raise RuntimeError(f"tzload failed: {r.stderr.strip()[:500]}")
        return float(out[0]), float(out[1]), float(out[2]), int(out[3])

    def ctl(self, *args, card=0):
        return run([f"{self.build}/bin/platformctl", *args], env=self.env(card), timeout=60,
                   check=False)


def pin(pid, cpus):
    """Every thread of PID runs only on CPUS."""
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            os.sched_setaffinity(int(tid), cpus)
        except ProcessLookupError:
            pass


def can_connect(path):
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) as c:
            c.settimeout(1)
            c.connect(path)
        return True
    except OSError:
        return False


def flush_floor(directory, rounds):
    """The durable writes a commit makes, alone, in ms: the setter's record file (write, fsync,
    rename) and its directory (fsync), then the database's log (an 8 KiB append, fdatasync)."""
    times = []
    log = os.open(f"{directory}/floor.log", os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    try:
        for _ in range(rounds):
            t0 = time.perf_counter()
            fd = os.open(f"{directory}/floor.tmp", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
            os.write(fd, b"Europe/Paris\n")
            os.fsync(fd)
            os.close(fd)
            os.rename(f"{directory}/floor.tmp", f"{directory}/floor.zone")
            d = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
            os.fsync(d)
            os.close(d)
            os.write(log, bytes(8192))
            os.fdatasync(log)
            times.append((time.perf_counter() - t0) * 1000)
    finally:
        os.close(log)
    return med(times)


def memory(pid):
    """RSS, PSS and private (clean + dirty) memory in KiB, and RSS/PSS per kind of mapping."""
    total = {}
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 2 and parts[0].endswith(":") and parts[1].isdigit():
                total[parts[0][:-1]] = int(parts[1])
    kinds = {}
    kind = None
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            parts = line.split()
            if re.match(r"^[0-9a-f]+-[0-9a-f]+ ", line):
                kind = mapping_kind(parts[5] if len(parts) > 5 else "")
            elif parts and parts[0] in ("Rss:", "Pss:"):
                k = kinds.setdefault(kind, [0, 0])
                k[0 if parts[0] == "Rss:" else 1] += int(parts[1])
    return {"rss": total.get("Rss", 0), "pss": total.get("Pss", 0),
            "private": total.get("Private_Clean", 0) + total.get("Private_Dirty", 0),
            "kinds": kinds}


def mapping_kind(name):
    base = os.path.basename(name)
    if name.endswith("/ltrace/tz_ltrace"):
        return "trace ring (tz_ltrace, a mapped file)"
    if base in ("tzd",) or base.startswith(("libplatform.so", "libsysdb.so")):
        return "our code: tzd, libplatform, libsysdb"
    if ".so" in base or name.startswith(("[vdso", "[vvar", "[vsyscall")):
        return "system libraries: libc, libstdc++, libm, libgcc_s, ld.so"
    if name in ("", "[heap]", "[stack]"):
        return "heap, malloc arenas, thread stacks"
    return f"other: {name}"


def machine(rundir):
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_gib = int(f.readline().split()[1]) / 1024 / 1024
    fs, best = "?", ""
    real = os.path.realpath(rundir)
    with open("/proc/mounts") as f:
        for line in f:
            dev, point, kind = line.split()[:3]
            if (real == point or real.startswith(point.rstrip("/") + "/")) and len(point) >= len(best):
                fs, best = f"{kind} ({dev})", point
    return (f"{model}, {os.cpu_count()} CPUs (nproc {run(['nproc']).stdout.strip()}), "
            f"{mem_gib:.1f} GiB, kernel {os.uname().release}; run directory on {fs}")


def cpu_busy_seconds():
    """Seconds of CPU time spent in user and kernel mode, all processes, since boot."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    return (fields[0] + fields[1] + fields[2]) / os.sysconf("SC_CLK_TCK")


def own_cpu_seconds():
    """CPU time of this script and of every process it started and waited for."""
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def load1():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def build_type(build):
    try:
        with open(f"{build}/CMakeCache.txt") as f:
            for line in f:
                if line.startswith("CMAKE_BUILD_TYPE:"):
                    return line.split("=", 1)[1].strip() or "none"
    except OSError:
        pass
    return "unknown"


def python_peer(tzdir):
    code = r'''
import os, sys, zoneinfo, datetime
root = sys.argv[1]
skip = {"posix", "right", "Factory", "iso3166.tab", "zone.tab", "posixrules"}
groups = {}
now = datetime.datetime.now(datetime.timezone.utc)
for dirpath, dirs, files in os.walk(root):
    rel = os.path.relpath(dirpath, root)
    if rel == ".":
        dirs[:] = [d for d in dirs if d not in skip]
        files = [f for f in files if f not in skip]
    for f in files:
        name = f if rel == "." else rel + "/" + f
        try:
            z = zoneinfo.ZoneInfo(name)
        except Exception:
            continue
        t = now.astimezone(z)
        std = t.utcoffset() - (t.dst() or datetime.timedelta(0))
        groups.setdefault((t.tzname() if not t.dst() else None, std), []).append(name)
print(len(groups))
'''
    ms, _ = timed_run([sys.executable, "-c", code, tzdir], timeout=120)
    return ms


def table(rows, head):
    w = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
    out = ["| " + " | ".join(h.ljust(w[i]) for i, h in enumerate(head)) + " |",
           "|" + "|".join("-" * (x + 2) for x in w) + "|"]
    out += ["| " + " | ".join(c.ljust(w[i]) for i, c in enumerate(r)) + " |" for r in rows]
    return "\n".join(out)


def measure(a, b, rows, mem_rows):
    s = System(b, a.tzdir, a.dir)
    try:
        s.start_platformd()

        # Cold first query, against the first walk of a fresh process; page cache warm for both.
        run([f"{b}/bench/floor_walk", "1"], env={**os.environ, "TZDIR": a.tzdir}, timeout=120)
        walk, cold, mem_before, mem_built = [], [], [], []
        for _ in range(a.runs):
            out = run([f"{b}/bench/floor_walk", "1"], env={**os.environ, "TZDIR": a.tzdir},
                      timeout=120).stdout.split()
            walk.append(float(out[0]))
            t = s.start_tzd()
            mem_before.append(memory(t.pid))
            us, _, _, fails = s.load(4, 1, 1, "Europe/Paris")
            if fails:
                raise RuntimeError("the first query failed")
            cold.append(us / 1000)
            mem_built.append(memory(t.pid))
            s.stop(t)
        walk_ms, cold_ms = med(walk), med(cold)
        rows.append(("cold first query (catalogue build)", f"{cold_ms:.1f} ms",
                     f"{cold_ms / walk_ms:.2f}x bare walk ({walk_ms:.1f} ms: a fresh process's "
                     f"first walk, median of {a.runs})", "<= 1.5x"))

        # Warm queries, each repetition beside its own floors. Client, server and tzd share one
        # CPU: a round trip is then the work of both sides, not the time an idle CPU takes to
        # wake up, which on a virtual machine varies from run to run by more than the service
        # costs. One pair of figures without pinning follows, for reference.
        t = s.start_tzd()
        s.load(4, 1, 1, "Europe/Paris")
        one = {a.cpu} if a.cpu >= 0 else None
        every = os.sched_getaffinity(0)
        if one:
            pin(t.pid, one)
        queries = ((1, "", 1.5), (2, "CET", None), (3, "CE", 1.3), (4, "Europe/Paris", 1.3),
                   (5, "", 1.5))
        pp = {m: [] for m in ("blocking", "epoll", "epoll-peek")}
        pp_rate, rate1 = [], []
        warm = {q[0]: [] for q in queries}
        for rep in range(a.runs):
            for mode in pp:
                out = run([f"{b}/bench/floor_pingpong", str(a.rounds), mode],
                          cpus=one).stdout.split()
                pp[mode].append(float(out[0]))
                if mode == "blocking":
                    pp_rate.append(float(out[1]))
            # Each repetition starts with another type, each measurement after a few untimed
            # round trips of its own, so no type always comes first after the floors.
            for qtype, arg, _ in queries[rep % len(queries):] + queries[:rep % len(queries)]:
                rounds = a.rounds // 20 if qtype == 2 else a.rounds
                s.load(qtype, 1, max(rounds // 20, 10), arg, cpus=one)
                res = s.load(qtype, 1, rounds, arg, cpus=one)
                warm[qtype].append(res[0])
                if qtype == 4:
                    rate1.append(res[2])
        where = f"all on CPU {a.cpu}" if one else "not pinned"
        pp_us = med(pp["blocking"])
        rows.append((f"bare ping-pong (the floor of warm queries; {where})", f"{pp_us:.1f} us",
                     f"server in epoll: {med(pp['epoll']):.1f} us; epoll with a length peek, "
                     f"as the channel does: {med(pp['epoll-peek']):.1f} us", ""))
        n_cet = int(run([f"{b}/bin/tzctl", "locations", "CET", "--json"], env=s.env(),
                        check=False).stdout.count('"location"')) or 1
        for qtype, arg, target in queries:
            m = med(warm[qtype])
            if qtype == 2:
                rows.append((f"warm type 2 (CET, {n_cet} locations)", f"{m:.0f} us",
                             f"{m / n_cet:.1f} us per location", "report"))
            else:
                rows.append((f"warm type {qtype}" + (f" ({arg})" if arg else ""), f"{m:.1f} us",
                             f"{m / pp_us:.2f}x bare ping-pong", f"<= {target}x"))
        floor_rate = med(pp_rate)
        rows.append(("throughput, 1 client, type 4", f"{med(rate1):.0f}/s",
                     f"{med(rate1) / floor_rate:.2f}x bare ping-pong rate ({floor_rate:.0f}/s)",
                     ">= 0.8x"))

        # Without pinning: the same pair as the scheduler places it, then several clients.
        if one:
            pin(t.pid, every)
            free_pp, free_t4 = [], []
            for _ in range(a.runs):
                free_pp.append(float(run([f"{b}/bench/floor_pingpong", str(a.rounds)])
                                     .stdout.split()[0]))
                free_t4.append(s.load(4, 1, a.rounds, "Europe/Paris")[0])
            rows.append(("not pinned: warm type 4, bare ping-pong", f"{med(free_t4):.1f} us",
                         f"{med(free_t4) / med(free_pp):.2f}x bare ping-pong "
                         f"({med(free_pp):.1f} us)", ""))
        for clients in (4, 16):
            res = [s.load(4, clients, a.rounds * 2 // clients, "Europe/Paris")
                   for _ in range(max(3, a.runs // 2))]
            rate, p99 = med([r[2] for r in res]), med([r[1] for r in res])
            lost = sum(r[3] for r in res)
            rows.append((f"throughput, {clients} clients, type 4, not pinned", f"{rate:.0f}/s",
                         f"p99 {p99:.0f} us; {lost} lost", "0 lost"))

        # Memory: fresh (medians over the cold runs), then this tzd after all the load above.
        steady = memory(t.pid)
        for label, ms in (("before the first query", mem_before),
                          ("catalogue built (first query answered)", mem_built),
                          ("after the load above (trace ring full)", [steady])):
            rss, pss, priv = (med([m[k] for m in ms]) / 1024 for k in ("rss", "pss", "private"))
            rows.append((f"tzd memory, {label}", f"RSS {rss:.2f} MiB",
                         f"PSS {pss:.2f} MiB, private {priv:.2f} MiB",
                         "RSS < 4 MiB" if "built" in label or "after" in label else ""))
        for kind, (rss, pss) in sorted(steady["kinds"].items(), key=lambda kv: -kv[1][0]):
            if rss:
                mem_rows.append((kind, f"{rss} KiB", f"{pss} KiB"))

        # Commit latency: as the operator sees it (a platformctl process), the process alone,
        # and the commit itself through the protocol library.
        follower = s.start_tzd(card=1)
        help_ms, ctl_ms = [], []
        zones = [("CET", "Europe/Paris"), ("IST", "Asia/Kolkata")]
        for i in range(max(a.runs, 10)):
            abbr, zone = zones[i % 2]
            help_ms.append(timed_run([f"{b}/bin/platformctl", "--help"], env=s.env())[0])
            ms, r = timed_run([f"{b}/bin/platformctl", "cfg", "set", ITEM, abbr, zone],
                              env=s.env())
            if r.returncode != 0:
                raise RuntimeError(f"platformctl cfg set failed: {r.stderr.strip()}")
            ctl_ms.append(ms)
            s.wait_for(lambda: os.path.realpath(s.link(1)).endswith("/" + zone),
                       "the follower's link", timeout=10)
        rows.append(("commit as the operator sees it: `platformctl cfg set`, whole process",
                     f"{med(ctl_ms):.1f} ms",
                     f"`platformctl --help` alone: {med(help_ms):.1f} ms", ""))
        # The commit client and the bare durable writes take turns, so both see the same disk.
        connect, reply, follow, flushes, failed = [], [], [], [], 0
        for _ in range(max(a.runs, 10)):
            flushes.append(flush_floor(s.dir, 2))
            lines = run([f"{b}/bench/commit_client", "2", s.link(1), s.link(0)], env=s.env(),
                        timeout=60).stdout.split("\n")
            summary = lines[0].split()
            connect.append(float(summary[0]))
            failed += int(summary[3])
            reply += [float(x) for x in lines[1].split()]
            follow += [float(x) for x in lines[2].split()]
        rows.append(("the commit's durable writes alone (2 fsync, 1 fdatasync)",
                     f"{med(flushes):.1f} ms", "the floor of a commit on this disk", ""))
        rows.append(("commit: request to reply (zone in effect on the dLRSC, stored)",
                     f"{med(reply):.1f} ms",
                     f"connect and hello {med(connect):.1f} ms; {failed} failed", "< 10 ms"))
        rows.append(("commit: request to the follower card's zone in effect",
                     f"{med(follow):.1f} ms", "notification, then the setter on card 1",
                     "< 10 ms"))
        s.stop(follower)
        s.stop(t)
    finally:
        s.close()
    return cold_ms


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default="build")
    ap.add_argument("--runs", type=int, default=7, help="repetitions of every figure")
    ap.add_argument("--rounds", type=int, default=5000, help="round trips per warm figure")
    ap.add_argument("--tzdir", default=os.environ.get("TZDIR", "/usr/share/zoneinfo"))
    ap.add_argument("--dir", default=None, help="where the private directory goes (default: "
                    "the system's temporary directory)")
    ap.add_argument("--wait-quiet", type=float, default=0, metavar="SECONDS",
                    help="first wait up to SECONDS for the 1-minute load average to fall below "
                    "a quarter of the CPUs")
    ap.add_argument("--cpu", type=int, default=min(os.sched_getaffinity(0)),
                    help="the CPU that clients, floors and tzd share for the warm figures "
                    "(default: the first this script may use; -1: no pinning)")
    ap.add_argument("--no-peer", action="store_true", help="skip the Python comparison")
    a = ap.parse_args()
    b = os.path.abspath(a.build)
    a.runs = max(a.runs, 1)
    a.rounds = max(a.rounds, 100)

    # A stop from outside still stops what this started.
    def stopped(n, _):
        print(f"run.py: stopped by signal {n}", file=sys.stderr)
        sys.exit(128 + n)

    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, stopped)

    quiet = os.cpu_count() / 4
    end = time.monotonic() + a.wait_quiet
    while load1() >= quiet and time.monotonic() < end:
        time.sleep(5)
    load_start = load1()
    busy0, own0, wall0 = cpu_busy_seconds(), own_cpu_seconds(), time.monotonic()
    rows, mem_rows = [], []
    cold_ms = measure(a, b, rows, mem_rows)
    if not a.no_peer and shutil.which("python3"):
        peer = med([python_peer(a.tzdir) for _ in range(3)])
        rows.append(("peer: Python zoneinfo grouping, whole process", f"{peer:.0f} ms",
                     f"{peer / cold_ms:.1f}x our cold first query", ""))
    # What the rest of the machine did meanwhile: all CPU time less this run's own.
    others = ((cpu_busy_seconds() - busy0) - (own_cpu_seconds() - own0)) / \
        ((time.monotonic() - wall0) * os.cpu_count())
    others = max(others, 0.0)
    quiet_run = load_start < quiet and others < 0.05
    state = "quiet" if quiet_run else "BUSY: figures taken under load"
    print(f"Machine: {machine(a.dir or tempfile.gettempdir())}")
    print(f"Load average (1 min) before the run: {load_start:.2f}; other processes used "
          f"{others * 100:.0f}% of the CPUs during it ({state}). Build: {build_type(b)}. Each figure is the median of {a.runs} runs; warm "
          f"figures of {a.rounds} round trips each.")
    print()
    print(table(rows, ("figure", "median", "against the floor", "target")))
    print()
    print("Memory is judged on RSS, as the target names it; PSS and private memory are shown "
          "beside it (shared library pages count in full in RSS, shared out in PSS). tzd memory "
          "after the load, by mapping:")
    print()
    print(table(mem_rows, ("mapping", "RSS", "PSS")))


if __name__ == "__main__":
    main()
