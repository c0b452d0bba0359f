#!/usr/bin/env python3
"""The package installed as an operator installs it, in a copy of this machine that vanishes
afterwards: a private mount namespace whose /etc, /usr, /var and /run are overlays on the real
ones. There `apt-get install ./tzd_*.deb` runs for real; the two units are started the way
systemd starts them (user, capabilities, runtime and state directories, a read-only system but
for the paths each unit names, a private /tmp, readiness awaited on NOTIFY_SOCKET before the
next unit); `tzctl list` must answer and `tzctl set` must put the zone into /etc/localtime; then
`apt-get purge tzd` must leave nothing of the package behind.

Usage: installed_system.py WORK, the folder package.build left the package in. Exit 77
(skipped) when this machine cannot make the namespace (not root, no overlay file system)."""

import glob
import os
import re
import shlex
import signal
import socket
import subprocess
import sys
import time

SKIP = 77
OVERLAID = ["/etc", "/usr", "/var", "/run"]
UNITS = ["platformd", "tzd"]
STARTED = []  # processes to stop, newest last


def fail(text):
    print("FAIL: " + text, file=sys.stderr)
    stop_all()
    sys.exit(1)


def stop_all():
    """Stops what was started, newest first (as systemd stops tzd before platformd); the exit
    statuses, in that order."""
    statuses = []
    while STARTED:
        proc = STARTED.pop()
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(15)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        statuses.append(proc.returncode)
    return statuses


def check_stopped(statuses):
    """Both daemons ended cleanly on SIGTERM, as systemd counts it: status 0, or the signal
    itself (tzd before its main loop runs)."""
    if len(statuses) != 2 or any(s not in (0, -signal.SIGTERM) for s in statuses):
        fail(f"tzd and platformd stopped with {statuses} on SIGTERM")


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=300, **kw)


def retry(args, env, again, seconds=20):
    """Runs ARGS until AGAIN(result) is false or SECONDS have passed; the last result."""
    deadline = time.monotonic() + seconds
    while True:
        res = run(args, env=env)
        if not again(res) or time.monotonic() > deadline:
            return res
        time.sleep(0.2)


def enter_namespace(work):
    """Re-runs this script in a private mount namespace, once; returns only inside it."""
    if os.environ.get("TZD_INSTALLED_SYSTEM_NS") == "1":
        return
    if os.geteuid() != 0:
        print("SKIPPED: needs root (to mount the overlays)")
        sys.exit(SKIP)
    env = dict(os.environ, TZD_INSTALLED_SYSTEM_NS="1")
    probe = run(["unshare", "--mount", "--propagation", "private", "true"])
    if probe.returncode != 0:
        print("SKIPPED: cannot make a mount namespace: " + probe.stderr.strip())
        sys.exit(SKIP)
    os.execvpe("unshare", ["unshare", "--mount", "--propagation", "private", "--fork",
                           "--kill-child", sys.executable] + sys.argv, env)


def mount_overlays(work):
    for d in OVERLAID:
        upper = os.path.join(work, "upper" + d)
        scratch = os.path.join(work, "work" + d)
        os.makedirs(upper)
        os.makedirs(scratch)
        res = run(["mount", "-t", "overlay", "overlay", "-o",
                   f"lowerdir={d},upperdir={upper},workdir={scratch}", d])
        if res.returncode != 0:
            print(f"SKIPPED: no overlay on {d}: {res.stderr.strip()}")
            sys.exit(SKIP)


def unit_settings(path):
    """The [Service] settings of a unit file: name -> list of values, in order."""
    settings = {}
    section = None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line[0] in "#;":
                continue
            if line.startswith("["):
                section = line
                continue
            name, _, value = line.partition("=")
            settings.setdefault((section, name), []).append(value)
    return settings


def start_unit(name, notify_dir):
    """Starts the unit's program as systemd would, and waits for its READY=1."""
    s = unit_settings(f"/usr/lib/systemd/system/{name}.service")

    def get(key, default=None):
        values = s.get(("[Service]", key))
        return values[-1] if values else default

    if get("Type") != "notify":
        fail(f"{name}.service is not Type=notify")
    user, group = get("User"), get("Group")
    writable = []
    for kind, base in (("RuntimeDirectory", "/run"), ("StateDirectory", "/var/lib")):
        if get(kind):
            path = os.path.join(base, get(kind))
            os.makedirs(path, exist_ok=True)
            os.chmod(path, int(get(kind + "Mode", "0755"), 8))
            subprocess.check_call(["chown", f"{user}:{group}", path])
            writable.append(path)
    for value in s.get(("[Service]", "ReadWritePaths"), []):
        writable += value.split()

    notify_path = os.path.join(notify_dir, name)
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    if os.path.lexists(notify_path):
        os.unlink(notify_path)
    notify.bind(notify_path)
    os.chmod(notify_path, 0o777)
    notify.settimeout(30)

    env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "NOTIFY_SOCKET": notify_path,
           "PLATFORM_LOG_STDERR": "1"}
    for value in s.get(("[Service]", "Environment"), []):
        k, _, v = value.partition("=")
        env[k] = v

    # ProtectSystem=strict: the system read-only except the paths the unit names; PrivateTmp
    # and ProtectHome: empty /tmp, /var/tmp and /home of its own.
    script = ["set -e"]
    if get("ProtectSystem") == "strict":
        for path in writable:
            script.append(f"mount --bind {path} {path}")
        for m in ["/"] + OVERLAID:
            if m not in writable:
                script.append(f"mount -o remount,bind,ro {m}")
    if get("PrivateTmp") == "yes":
        script += ["mount -t tmpfs tmpfs /tmp", "mount -t tmpfs tmpfs /var/tmp"]
    if get("ProtectHome") == "yes":
        script += ["mount -t tmpfs -o ro tmpfs /home", "mount -t tmpfs -o ro tmpfs /root"]
    caps = [c.strip().lower().replace("cap_", "") for c in
            (get("AmbientCapabilities") or "").split() if c.strip()]
    bounding = [c.strip().lower().replace("cap_", "") for c in
                (get("CapabilityBoundingSet") or "").split() if c.strip()]
    priv = ["setpriv", f"--reuid={user}", f"--regid={group}", "--init-groups",
            "--bounding-set=-all" + "".join(",+" + c for c in bounding)]
    if caps:
        priv += ["--inh-caps=" + ",".join("+" + c for c in caps),
                 "--ambient-caps=" + ",".join("+" + c for c in caps)]
    if get("NoNewPrivileges") == "yes":
        priv.append("--no-new-privs")
    script.append("exec " + " ".join(shlex.quote(a) for a in priv + get("ExecStart").split()))

    log = open(os.path.join(notify_dir, name + ".log"), "w")
    proc = subprocess.Popen(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                             "\n".join(script)], env=env, stdout=log, stderr=log)
    STARTED.append(proc)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            msg = notify.recv(4096).decode()
        except socket.timeout:
            break
        if "READY=1" in msg.split("\n"):
            print(f"{name}.service: ready (pid {proc.pid})")
            return proc
    fail(f"{name}.service never said READY=1; exit {proc.poll()}; log:\n" +
         open(log.name).read())


def main():
    debs = glob.glob(os.path.join(os.path.abspath(sys.argv[1]), "tzd_*.deb"))
    if len(debs) != 1:
        fail(f"not one package in {sys.argv[1]}: {debs}")
    deb, work = debs[0], os.path.join(os.path.abspath(sys.argv[1]), "system")
    enter_namespace(work)
    subprocess.call(["rm", "-rf", work])
    os.makedirs(work)
    mount_overlays(work)
    apt_env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")

    res = run(["apt-get", "install", "-y", deb], env=apt_env)
    print(res.stdout[-2000:])
    if res.returncode != 0:
        fail("apt-get install: " + res.stderr)
    if run(["id", "tzd"]).returncode != 0:
        fail("no user tzd after the install")

    notify_dir = os.path.join("/run", "test-notify")
    os.makedirs(notify_dir)
    os.chmod(notify_dir, 0o755)
    for unit in UNITS:
        start_unit(unit, notify_dir)

    # The operator, as root, with nothing set: the installed defaults find the installed daemons.
    clean = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}
    # tzd reports readiness as soon as its threads are started, when its query channel may
    # still be a moment away: allowed for a few seconds.
    res = retry(["tzctl", "list"], clean, lambda r: r.returncode == 3)
    if res.returncode != 0 or not re.search(r"^CET\b", res.stdout, re.M):
        fail(f"tzctl list: exit {res.returncode}\n{res.stdout[:500]}{res.stderr}")
    print("tzctl list: answered, %d lines" % len(res.stdout.splitlines()))
    # Nor has it registered as the verifier yet, so a commit right after may find none.
    res = retry(["tzctl", "set", "CET", "Europe/Paris"], clean,
                lambda r: r.returncode != 0 and "verifier" in r.stderr)
    if res.returncode != 0:
        fail(f"tzctl set: exit {res.returncode}: {res.stdout}{res.stderr}")
    link = os.readlink("/etc/localtime")
    if link != "/usr/share/zoneinfo/Europe/Paris":
        fail("/etc/localtime points at " + link)
    print("tzctl set CET Europe/Paris: /etc/localtime -> " + link)
    # The zone outlives a restart of both units (the database is in the state directory).
    check_stopped(stop_all())
    for unit in UNITS:
        start_unit(unit, notify_dir)
    res = run(["tzctl", "show"], env=clean)
    if res.returncode != 0 or "Europe/Paris" not in res.stdout:
        fail(f"tzctl show after a restart: exit {res.returncode}: {res.stdout}{res.stderr}")
    check_stopped(stop_all())

    res = run(["apt-get", "purge", "-y", "tzd"], env=apt_env)
    if res.returncode != 0:
        fail("apt-get purge: " + res.stdout + res.stderr)

    # What the install, the run and the purge left, seen as the overlays' changes. Expected:
    # the package manager's own records, the system user and group (kept, as Debian does), the
    # zone link at the zone last set, the dynamic linker's cache, the test's notify sockets.
    expected = re.compile(r"^/var/(lib/dpkg|lib/apt|cache|log)/|^/etc/(passwd|group|shadow|"
                          r"gshadow)-?$|^/etc/\.pwd\.lock$|^/etc/localtime$|"
                          r"^/etc/ld\.so\.cache$|^/run/test-notify(/|$)")
    left = []
    for d in OVERLAID:
        upper = os.path.join(work, "upper" + d)
        for dirpath, dirnames, filenames in os.walk(upper):
            for f in filenames + [n for n in dirnames if os.path.islink(os.path.join(dirpath, n))]:
                path = d + os.path.join(dirpath, f)[len(upper):]
                if not expected.search(path):
                    left.append(path)
    for path in ["/var/lib/platform", "/run/platform", "/etc/localtime.zone"]:
        if os.path.lexists(path):
            left.append(path)
    if left:
        fail("left behind after the purge:\n  " + "\n  ".join(sorted(set(left))))
    print("purged: nothing of the package left")


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: (stop_all(), sys.exit(1)))
    try:
        main()
    finally:
        stop_all()  # whatever went wrong, no daemon outlives the test
