#!/usr/bin/env bash
# The Debian package as an operator gets it. Usage: package_test.sh PART BUILD_DIR WORK VERSION
#   build     cpack -G DEB in BUILD_DIR; the package lands in WORK (the other parts' fixture)
#   contents  its files and control fields; the programs run from a scratch root it is unpacked in
#   man       the installed man pages, linted by mandoc and by man (groff)
#   units     the installed units: systemd-analyze verify, and security below 5.0 each
#   system    apt-get install in a copy of this machine (a private mount namespace whose /etc,
#             /usr, /var and /run are overlays on the real ones); the units started as systemd
#             starts them; tzctl list and set answer, across a restart; removal masks the units
#             and keeps the database; the purge leaves nothing of the package behind
# Exit 77 (skipped) with the reason when a tool or privilege the part needs is missing.
set -euo pipefail
part=$1 build=$2 work=$3 version=$4

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
skip() {
    echo "SKIPPED: $*"
    exit 77
}
need() {
    for tool in "$@"; do
        command -v "$tool" >/dev/null || skip "$tool is not installed"
    done
}

deb=$work/tzd_${version}_$(dpkg --print-architecture 2>/dev/null || echo unknown).deb
[ "$part" = build ] || [ -f "$deb" ] || fail "no package (package.build failed?)"
root=$work/$part-root
if [ -z "${TZD_PACKAGE_NS:-}" ] && [ "$part" != build ]; then
    rm -rf "$root"
    mkdir -p "$root"
    [ "$part" = system ] || dpkg-deb -x "$deb" "$root"
fi

# Starts UNIT's program as systemd would: its user, capabilities, environment, runtime and state
# directories, the system read-only but for the paths it names, private /tmp and /home; returns
# once the program has said READY=1 on its NOTIFY_SOCKET.
started=()
start_unit() {
    local unit=/usr/lib/systemd/system/$1.service rw="" sandbox="set -e" kind dir m
    get() { sed -n "s/^$1=//p" "$unit" | tail -1; }
    [ "$(get Type)" = notify ] || fail "$1.service is not Type=notify"
    for kind in RuntimeDirectory:/run StateDirectory:/var/lib; do
        dir=$(get "${kind%:*}")
        [ -n "$dir" ] || continue
        install -d -m "$(get "${kind%:*}Mode")" -o "$(get User)" -g "$(get Group)" "${kind#*:}/$dir"
        rw+=" ${kind#*:}/$dir"
    done
    rw+=" $(get ReadWritePaths)"
    if [ "$(get ProtectSystem)" = strict ]; then
        for dir in $rw; do sandbox+="; mount --bind $dir $dir"; done
        for m in / /etc /usr /var /run; do
            [[ " $rw " == *" $m "* ]] || sandbox+="; mount -o remount,bind,ro $m"
        done
    fi
    [ "$(get PrivateTmp)" != yes ] ||
        sandbox+="; mount -t tmpfs tmpfs /tmp; mount -t tmpfs tmpfs /var/tmp"
    [ "$(get ProtectHome)" != yes ] ||
        sandbox+="; mount -t tmpfs -o ro tmpfs /home; mount -t tmpfs -o ro tmpfs /root"
    caps() { get "$1" | tr 'A-Z ' 'a-z\n' | sed -n 's/^cap_\(.*\)/,+\1/p' | tr -d '\n'; }
    priv="setpriv --reuid=$(get User) --regid=$(get Group) --init-groups"
    priv+=" --bounding-set=-all$(caps CapabilityBoundingSet)"
    local ambient
    ambient=$(caps AmbientCapabilities | cut -c2-)
    [ -z "$ambient" ] || priv+=" --inh-caps=$ambient --ambient-caps=$ambient"
    [ "$(get NoNewPrivileges)" != yes ] || priv+=" --no-new-privs"
    local notify=/run/test-notify/$1
    rm -f "$notify"
    python3 -c 'import os, socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
os.chmod(sys.argv[1], 0o777)
s.settimeout(30)
while "READY=1" not in s.recv(4096).decode().split("\n"): pass' "$notify" &
    local listener=$!
    until [ -S "$notify" ]; do sleep 0.1; done
    # shellcheck disable=SC2046 # the unit's Environment= lines are NAME=VALUE words
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin NOTIFY_SOCKET="$notify" PLATFORM_LOG_STDERR=1 \
        $(sed -n 's/^Environment=//p' "$unit") unshare --mount --propagation private \
        sh -c "$sandbox; exec $priv $(get ExecStart)" >>"$root/$1.log" 2>&1 &
    started+=($!)
    wait $listener || fail "$1.service never said READY=1; log: $(cat "$root/$1.log")"
}
# Stops both daemons as systemd does (tzd first), each ending on SIGTERM with 0 or the signal.
stop_units() {
    for ((i = ${#started[@]} - 1; i >= 0; i--)); do
        kill -TERM "${started[i]}"
        status=0
        wait "${started[i]}" || status=$?
        [ "$status" = 0 ] || [ "$status" = 143 ] || fail "a daemon stopped with $status on SIGTERM"
    done
    started=()
}
# tzctl as root with nothing set, retried while tzd is not yet serving (it says ready once its
# threads run, a moment before its query channel and its verifier are there).
tzctl_retried() {
    for _ in $(seq 100); do
        env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin tzctl "$@" >"$root/out" 2>&1 && return 0
        sleep 0.2
    done
    fail "tzctl $*: $(cat "$root/out")"
}

case $part in
build)
    need cpack dpkg-deb dpkg-shlibdeps
    rm -rf "$work"
    mkdir -p "$work"
    (cd "$build" && cpack -G DEB -B "$work") >"$work/cpack.log" 2>&1 ||
        { cat "$work/cpack.log"; fail "cpack -G DEB failed"; }
    [ -f "$deb" ] || { ls "$work"; fail "no $deb"; }
    ;;

contents)
    dpkg-deb -c "$deb" | tee "$work/contents"
    lib=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo unknown)
    # Each file as an installed system needs it, owned by root; nothing outside /usr (/etc, /var
    # and /run are the maintainer scripts' and systemd's).
    for path in usr/sbin/{tzd,platformd} usr/bin/{tzctl,platformctl} \
        $lib/lib{platform.so.0,sysdb.so} usr/lib/systemd/system/{platformd,tzd}.service \
        usr/lib/sysusers.d/tzd.conf usr/share/bash-completion/completions/tzctl \
        usr/share/man/man8/{tzd,platformd}.8.gz usr/share/man/man1/{tzctl,platformctl}.1.gz; do
        grep -Eq " root/root .* \./$path( -> .*)?$" "$work/contents" || fail "missing: /$path"
    done
    if grep -Ev ' \./(usr(/.*)?)?$' "$work/contents"; then fail "files outside /usr"; fi
    depends=$(dpkg-deb -f "$deb" Depends)
    for dep in libc6 libstdc++6 libsqlite3-0 tzdata systemd; do
        re="(^|[ ,|])${dep//+/\\+}([ ,(]|\$)"
        [[ $depends =~ $re ]] || fail "Depends lacks $dep: $depends"
    done
    for field in Suggests=etcd-server Version=$version; do
        [ "$(dpkg-deb -f "$deb" "${field%%=*}")" = "${field#*=}" ] || fail "$field is not so"
    done
    # The programs run from the root they were unpacked in, on its own libraries.
    for program in usr/sbin/tzd usr/sbin/platformd usr/bin/tzctl usr/bin/platformctl; do
        out=$("$root/$program" --version) || fail "$program --version failed"
        [ "$out" = "${program##*/} $version" ] || fail "$program --version printed '$out'"
        [[ $(ldd "$root/$program") == *"libplatform.so.0 => $root/"* ]] ||
            fail "$program does not load the package's libplatform"
    done
    ;;

man)
    need mandoc man
    for page in man8/tzd.8 man8/platformd.8 man1/tzctl.1 man1/platformctl.1; do
        file=$root/usr/share/man/$page.gz
        mandoc -T lint -W warning "$file" || fail "mandoc lint: $page"
        warnings=$(MANWIDTH=80 man --warnings -l "$file" 2>&1 >"$work/page.txt") ||
            fail "man -l $page failed: $warnings"
        [ -z "$warnings" ] || fail "man --warnings on $page: $warnings"
        for text in NAME SYNOPSIS DESCRIPTION ENVIRONMENT "EXIT STATUS" EXAMPLES "SEE ALSO" \
            PLATFORM_RUNDIR "$version"; do
            grep -q "$text" "$work/page.txt" || fail "$page lacks $text"
        done
    done
    ;;

units)
    need systemd-analyze
    # The system's own units beside the package's (the targets they hang on); verify checks the
    # programs and man pages the units name, in the scratch root.
    cp -Rn /usr/lib/systemd/system/. "$root/usr/lib/systemd/system/"
    out=$(MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" \
        platformd.service tzd.service 2>&1) && [ -z "$out" ] || fail "systemd-analyze verify: $out"
    for unit in platformd tzd; do
        report=$(systemd-analyze security --offline=true --root="$root" "$unit.service" 2>&1) ||
            fail "systemd-analyze security $unit: $report"
        score=$(sed -n "s/.*Overall exposure level for $unit.service: \([0-9.]*\).*/\1/p" \
            <<<"$report")
        echo "$unit.service exposure $score"
        awk -v s="$score" 'BEGIN { exit !(s != "" && s < 5.0) }' || fail "$unit.service: $report"
    done
    ;;

system)
    need unshare setpriv python3 apt-get
    if [ -z "${TZD_PACKAGE_NS:-}" ]; then
        [ "$(id -u)" = 0 ] || skip "needs root (to mount the overlays)"
        out=$(unshare --mount --propagation private true 2>&1) || skip "no mount namespace: $out"
        TZD_PACKAGE_NS=1 exec unshare --mount --propagation private --fork --kill-child "$0" "$@"
    fi
    trap '[ ${#started[@]} = 0 ] || kill -KILL "${started[@]}"' EXIT
    for d in /etc /usr /var /run; do
        mkdir -p "$root/upper$d" "$root/work$d"
        mount -t overlay overlay -o "lowerdir=$d,upperdir=$root/upper$d,workdir=$root/work$d" $d ||
            skip "no overlay on $d"
    done
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y "$deb" >"$root/apt.log" 2>&1 ||
        fail "apt-get install: $(cat "$root/apt.log")"
    id tzd >/dev/null || fail "no user tzd after the install"
    for unit in platformd tzd; do
        [ "$(readlink -f "/etc/systemd/system/multi-user.target.wants/$unit.service")" = \
            "/usr/lib/systemd/system/$unit.service" ] || fail "$unit.service not enabled"
    done
    install -d -m 0755 /run/test-notify
    start_unit platformd
    start_unit tzd
    tzctl_retried list
    grep -q '^CET\b' "$root/out" || fail "tzctl list: $(cat "$root/out")"
    tzctl_retried set CET Europe/Paris
    [ "$(readlink /etc/localtime)" = /usr/share/zoneinfo/Europe/Paris ] ||
        fail "/etc/localtime points at $(readlink /etc/localtime)"
    # The zone outlives a restart of both units (the database is in the state directory).
    stop_units
    start_unit platformd
    start_unit tzd
    tzctl_retried show
    grep -q Europe/Paris "$root/out" || fail "tzctl show after a restart: $(cat "$root/out")"
    stop_units

    apt-get remove -y tzd >"$root/apt.log" 2>&1 || fail "apt-get remove: $(cat "$root/apt.log")"
    [ -e /var/lib/platform/cfgdb.sqlite3 ] || fail "removal (not purge) dropped the database"
    for unit in platformd tzd; do
        [ "$(readlink "/etc/systemd/system/$unit.service")" = /dev/null ] ||
            fail "$unit.service not masked after removal"
    done
    apt-get purge -y tzd >"$root/apt.log" 2>&1 || fail "apt-get purge: $(cat "$root/apt.log")"
    # What the install, the run and the purge left, as the overlays' changes. Kept: the package
    # manager's records, the system user and group (as Debian does), the zone link at the zone
    # last set, the dynamic linker's cache, this test's notify sockets.
    [ "$(readlink /etc/localtime)" = /usr/share/zoneinfo/Europe/Paris ] ||
        fail "the purge changed /etc/localtime"
    kept='^/var/(lib/dpkg|lib/apt|cache|log)/|^/etc/(passwd|group|shadow|gshadow)-?$|'
    kept+='^/etc/(\.pwd\.lock|localtime|ld\.so\.cache)$|^/run/test-notify/'
    left=$(cd "$root" && find upper ! -type d | sed 's|^upper||' | grep -Ev "$kept" || true)
    for path in /var/lib/platform /run/platform /etc/localtime.zone; do
        [ ! -e "$path" ] || left+=" $path"
    done
    [ -z "$left" ] || fail "left behind after the purge: $left"
    ;;

*)
    fail "unknown part $part"
    ;;
esac
echo "package.$part: passed"
