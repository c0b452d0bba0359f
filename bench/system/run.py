#!/usr/bin/env python3
"""Whole-system benchmark: starts platformd and tzd in a private directory, measures what users
feel, and prints one table, each figure the median of repeated runs and, where there is one, its
ratio to a floor measured in the same run.

    python3 bench/system/run.py [--build build] [--runs 5]
"""
import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time


def sh(*args, env=None, check=True):
    return subprocess.run(args, env=env, check=check, capture_output=True, text=True)


class System:
    def __init__(self, build, tzdir):
        self.build = build
        self.dir = tempfile.mkdtemp(prefix="tzd-bench-")
        self.tzdir = tzdir
        self.procs = []

    def env(self, card=0):
        e = {k: v for k, v in os.environ.items() if not k.startswith("PLATFORM_")}
        e.update(PLATFORM_RUNDIR=f"{self.dir}/card{card}", PLATFORM_SOCKET=f"{self.dir}/pd.sock",
                 PLATFORM_STATEDIR=f"{self.dir}/state", PLATFORM_CARD=str(card),
                 PLATFORM_LOCALTIME=f"{self.dir}/card{card}/localtime", TZDIR=self.tzdir)
        return e

    def channel(self, card=0):
        return f"{self.dir}/card{card}/dev/tz_cli_msg_transfer"

    def start(self, prog, card=0):
        os.makedirs(f"{self.dir}/card{card}", exist_ok=True)
        p = subprocess.Popen([f"{self.build}/bin/{prog}"], env=self.env(card),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(p)
        return p

    def wait_for(self, cond, timeout=30):
        end = time.time() + timeout
        while time.time() < end:
            if cond():
                return True
            time.sleep(0.01)
        return False

    def stop(self, p):
        p.send_signal(signal.SIGTERM)
        try:
            p.wait(10)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
        self.procs.remove(p)

    def close(self):
        for p in list(self.procs):
            self.stop(p)
        shutil.rmtree(self.dir, ignore_errors=True)

    def load(self, qtype, clients, rounds, arg="", card=0):
        out = sh(f"{self.build}/bench/tzload", self.channel(card), str(qtype), str(clients),
                 str(rounds), arg).stdout.split()
        return float(out[0]), float(out[1]), float(out[2]), int(out[3])

    def ctl(self, *args):
        return subprocess.run([f"{self.build}/bin/platformctl", *args], env=self.env(),
                              capture_output=True, text=True)


def can_connect(path):
    import socket
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) as c:
            c.connect(path)
        return True
    except OSError:
        return False


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


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
    t0 = time.perf_counter()
    subprocess.run([sys.executable, "-c", code, tzdir], check=True, capture_output=True)
    return (time.perf_counter() - t0) * 1000


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--tzdir", default=os.environ.get("TZDIR", "/usr/share/zoneinfo"))
    a = ap.parse_args()
    b = os.path.abspath(a.build)
    rows = []

    walk = [float(sh(f"{b}/bench/floor_walk", "1", env={**os.environ, "TZDIR": a.tzdir}).stdout.split()[0])
            for _ in range(a.runs)]
    walk_ms = statistics.median(walk)
    pp = sh(f"{b}/bench/floor_pingpong", "20000").stdout.split()
    pp_us, pp_rate = float(pp[0]), float(pp[1])

    s = System(b, a.tzdir)
    try:
        s.start("platformd")
        s.wait_for(lambda: os.path.exists(f"{s.dir}/pd.sock"))
        cold, rss_before, rss_after = [], [], []
        for _ in range(a.runs):
            t = s.start("tzd")
            s.wait_for(lambda: can_connect(s.channel()))
            time.sleep(0.2)
            rss_before.append(rss_kib(t.pid))
            med, _, _, fails = s.load(4, 1, 1, "Europe/Paris")
            cold.append(med / 1000)
            rss_after.append(rss_kib(t.pid))
            s.stop(t)
        cold_ms = statistics.median(cold)
        rows.append(("cold first query (catalogue build)", f"{cold_ms:.1f} ms",
                     f"{cold_ms / walk_ms:.2f}x bare walk ({walk_ms:.1f} ms)", "<= 1.5x"))

        t = s.start("tzd")
        s.wait_for(lambda: can_connect(s.channel()))
        s.load(4, 1, 1, "Europe/Paris")
        for qtype, arg, target in ((1, "", 1.5), (2, "CET", None), (3, "CE", 1.3),
                                   (4, "Europe/Paris", 1.3), (5, "", 1.5)):
            meds = [s.load(qtype, 1, 2000, arg)[0] for _ in range(3)]
            med = statistics.median(meds)
            if qtype == 2:
                n = int(sh(f"{b}/bin/tzctl", "locations", "CET", "--json", env=s.env(), check=False)
                        .stdout.count('"location"')) or 1
                rows.append((f"warm type 2 (CET, {n} locations)", f"{med:.1f} us",
                             f"{med / n:.1f} us per location", "report"))
            else:
                rows.append((f"warm type {qtype}", f"{med:.1f} us",
                             f"{med / pp_us:.2f}x ping-pong ({pp_us:.1f} us)", f"<= {target}x"))
        for clients in (1, 4, 16):
            _, p99, rate, fails = s.load(4, clients, 20000 // clients, "Europe/Paris")
            rows.append((f"throughput, {clients} client(s), type 4", f"{rate:.0f}/s",
                         f"{rate / pp_rate:.2f}x ping-pong rate, p99 {p99:.0f} us, {fails} lost",
                         ">= 0.8x (1 client); 0 lost"))
        rows.append(("tzd resident memory, before build", f"{statistics.median(rss_before) / 1024:.2f} MiB", "", ""))
        rows.append(("tzd resident memory, catalogue built", f"{rss_kib(t.pid) / 1024:.2f} MiB", "", "< 4 MiB"))

        # Commit latency: verify, apply and durable write, seen from the committer.
        follower = s.start("tzd", card=1)
        s.wait_for(lambda: s.ctl("cfg", "set", "/cfg/gl/clock/timezone", "CET", "Europe/Paris").returncode == 0)
        commit, notify = [], []
        zones = [("CET", "Europe/Paris"), ("IST", "Asia/Kolkata")]
        link1 = f"{s.dir}/card1/localtime"
        for i in range(max(a.runs, 10)):
            abbr, zone = zones[i % 2]
            t0 = time.perf_counter()
            r = s.ctl("cfg", "set", "/cfg/gl/clock/timezone", abbr, zone)
            t1 = time.perf_counter()
            if r.returncode == 0:
                commit.append((t1 - t0) * 1000)
            s.wait_for(lambda: os.path.realpath(link1).endswith(zone), timeout=10)
            notify.append((time.perf_counter() - t0) * 1000)
        if commit:
            rows.append(("commit: platformctl cfg set to applied (process included)",
                         f"{statistics.median(commit):.1f} ms", "", "< 10 ms"))
            rows.append(("follower's zone in effect after commit start",
                         f"{statistics.median(notify):.1f} ms", "", ""))
        s.stop(follower)
    finally:
        s.close()

    if shutil.which("python3"):
        peer = statistics.median(python_peer(a.tzdir) for _ in range(3))
        rows.append(("peer: Python zoneinfo grouping, whole process", f"{peer:.0f} ms",
                     f"{peer / cold_ms:.1f}x our cold first query", ""))

    w = [max(len(r[i]) for r in rows) for i in range(4)]
    hdr = ("figure", "median", "against the floor", "target")
    w = [max(w[i], len(hdr[i])) for i in range(4)]
    print(" | ".join(h.ljust(w[i]) for i, h in enumerate(hdr)))
    print("-|-".join("-" * x for x in w))
    for r in rows:
        print(" | ".join(c.ljust(w[i]) for i, c in enumerate(r)))


if __name__ == "__main__":
    main()
