#!/usr/bin/env bash
# The Debian package as an operator gets it. Usage: package_test.sh PART BUILD_DIR WORK VERSION
#   build     cpack -G DEB in BUILD_DIR; the package lands in WORK (the other parts' fixture)
#   contents  its files and control fields; unpacked into a scratch root, the installed
#             programs run from there
#   scripts   the maintainer scripts run against a scratch root (DPKG_ROOT): install, upgrade,
#             remove and purge, and what each leaves behind
#   man       the installed man pages, linted by mandoc and by man (groff)
#   units     the installed units: systemd-analyze verify, and security below 5.0 each
# Exit 77 (skipped) with the reason when a tool the part needs is missing.
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

arch=$(dpkg --print-architecture 2>/dev/null || echo unknown)
deb=$work/tzd_${version}_${arch}.deb
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo unknown)

# A scratch root with the package's files in it, made fresh for one part.
unpack() {
    local root=$1
    rm -rf "$root"
    mkdir -p "$root"
    dpkg-deb -x "$deb" "$root"
}

case $part in
build)
    need cpack dpkg-deb dpkg-shlibdeps
    rm -rf "$work"
    mkdir -p "$work"
    (cd "$build" && cpack -G DEB -B "$work") >"$work/cpack.log" 2>&1 ||
        { cat "$work/cpack.log"; fail "cpack -G DEB failed"; }
    [ -f "$deb" ] || { ls "$work"; fail "no $deb"; }
    echo "built $deb"
    ;;

contents)
    [ -f "$deb" ] || fail "no package (package.build failed?)"
    dpkg-deb -c "$deb" >"$work/contents"
    cat "$work/contents"
    # Each file as an installed system needs it, owned by root.
    for path in usr/sbin/tzd usr/sbin/platformd usr/bin/tzctl usr/bin/platformctl \
        "usr/lib/$multiarch/libplatform.so.0" "usr/lib/$multiarch/libsysdb.so" \
        usr/lib/systemd/system/platformd.service usr/lib/systemd/system/tzd.service \
        usr/lib/sysusers.d/tzd.conf usr/share/bash-completion/completions/tzctl \
        usr/share/man/man8/tzd.8.gz usr/share/man/man8/platformd.8.gz \
        usr/share/man/man1/tzctl.1.gz usr/share/man/man1/platformctl.1.gz; do
        grep -Eq " root/root .* \./$path( -> .*)?$" "$work/contents" || fail "missing: /$path"
    done
    # Nothing outside /usr: /etc, /var and /run are the maintainer scripts' and systemd's.
    if grep -Ev ' \./(usr(/.*)?)?$' "$work/contents"; then fail "files outside /usr"; fi

    control=$(dpkg-deb -f "$deb")
    echo "$control"
    depends=$(dpkg-deb -f "$deb" Depends)
    for dep in libc6 libstdc++6 libsqlite3-0 tzdata systemd; do
        re="(^|[ ,|])${dep//+/\\+}([ ,(]|\$)"
        [[ $depends =~ $re ]] || fail "Depends lacks $dep: $depends"
    done
    [ "$(dpkg-deb -f "$deb" Suggests)" = etcd-server ] || fail "Suggests is not etcd-server"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version is not $version"

    # The installed programs run from the root they were unpacked in, on its own libraries.
    root=$work/contents-root
    unpack "$root"
    for program in usr/sbin/tzd usr/sbin/platformd usr/bin/tzctl usr/bin/platformctl; do
        name=${program##*/}
        out=$("$root/$program" --version) || fail "$name --version failed"
        [ "$out" = "$name $version" ] || fail "$name --version printed '$out'"
        "$root/$program" --help >/dev/null || fail "$name --help failed"
        libs=$(ldd "$root/$program")
        grep -q "libplatform.so.0 => $root/" <<<"$libs" ||
            fail "$name does not load the package's libplatform: $libs"
    done
    status=0
    "$root/usr/sbin/tzd" --no-such-option 2>"$work/usage" || status=$?
    [ "$status" = 2 ] && grep -qx "usage: tzd \[--help | --version\]" "$work/usage" ||
        fail "installed tzd with a bad argument: status $status, $(cat "$work/usage")"
    echo "installed programs answer --version $version"
    ;;

scripts)
    need systemd-sysusers deb-systemd-helper
    [ -f "$deb" ] || fail "no package (package.build failed?)"
    root=$work/scripts-root
    rm -rf "$root"
    # The system as it was before the package: a zone link of its own.
    mkdir -p "$root/etc"
    ln -s /usr/share/zoneinfo/Etc/UTC "$root/etc/localtime"
    before=$(cd "$root" && find . ! -type d | sort)
    dpkg-deb -x "$deb" "$root"
    ctl=$work/control
    rm -rf "$ctl"
    dpkg-deb -e "$deb" "$ctl"
    for s in postinst prerm postrm; do
        [ -x "$ctl/$s" ] || fail "no executable $s"
    done
    # As dpkg runs them.
    export DPKG_ROOT=$root DPKG_MAINTSCRIPT_PACKAGE=tzd

    # A fresh install: the user made, the units enabled.
    "$ctl/postinst" configure || fail "postinst configure failed"
    grep -Eq '^tzd:x:[0-9]+:[0-9]+:[^:]*:/nonexistent:/usr/sbin/nologin$' "$root/etc/passwd" ||
        fail "no system user tzd: $(cat "$root/etc/passwd")"
    grep -q '^tzd:' "$root/etc/group" || fail "no group tzd"
    for unit in platformd tzd; do
        [ "$(readlink "$root/etc/systemd/system/multi-user.target.wants/$unit.service")" = \
            "/usr/lib/systemd/system/$unit.service" ] || fail "$unit.service not enabled"
    done
    # An upgrade keeps the user and what was enabled.
    "$ctl/postinst" configure "$version" || fail "postinst configure (upgrade) failed"
    [ "$(grep -c '^tzd:' "$root/etc/passwd")" = 1 ] || fail "a second user tzd"

    # What the daemons make while they run (systemd makes the directories).
    mkdir -p "$root/var/lib/platform" "$root/run/platform/ltrace" "$root/run/platform/dev"
    echo db >"$root/var/lib/platform/cfg.db"
    echo trace >"$root/run/platform/ltrace/tz_ltrace"
    ln -sf /usr/share/zoneinfo/Europe/Paris "$root/etc/localtime"
    echo Europe/Paris >"$root/etc/localtime.zone"
    touch "$root/etc/.localtime.123.0.tmp"

    "$ctl/prerm" remove || fail "prerm remove failed"
    "$ctl/postrm" remove || fail "postrm remove failed"
    [ -e "$root/var/lib/platform/cfg.db" ] || fail "removal (not purge) dropped the database"
    for unit in platformd tzd; do
        [ "$(readlink "$root/etc/systemd/system/$unit.service")" = /dev/null ] ||
            fail "$unit.service not masked after removal"
    done
    # dpkg removes the package's files; then the purge.
    (cd "$root" && dpkg-deb -c "$deb" | awk '{print $6}' | sed 's/^\.//' | sort -r |
        while read -r p; do
            if [ -d ".$p" ] && [ ! -L ".$p" ]; then
                rmdir ".$p" 2>/dev/null || true
            else
                rm -f ".$p"
            fi
        done)
    "$ctl/postrm" purge || fail "postrm purge failed"
    unset DPKG_ROOT DPKG_MAINTSCRIPT_PACKAGE

    # Left behind on purpose: the zone link at the zone last set, and the system user and group.
    [ "$(readlink "$root/etc/localtime")" = /usr/share/zoneinfo/Europe/Paris ] ||
        fail "the purge changed /etc/localtime"
    kept='^\./etc/(passwd|group|shadow|gshadow)-?$|^\./etc/\.pwd\.lock$'
    after=$(cd "$root" && find . ! -type d | grep -Ev "$kept" | sort)
    [ "$before" = "$after" ] ||
        fail "left behind after purge: $(diff <(echo "$before") <(echo "$after"))"
    # Nor a directory of ours (the system's own, such as /etc/systemd/system, may stay).
    ours=$(cd "$root" && find . -name '*tzd*' -o -name '*platform*')
    [ -z "$ours" ] || fail "left behind after purge: $ours"
    echo "maintainer scripts: user made, units enabled, masked on removal, purge leaves nothing"
    ;;

man)
    need mandoc man
    [ -f "$deb" ] || fail "no package (package.build failed?)"
    root=$work/man-root
    unpack "$root"
    for page in man8/tzd.8 man8/platformd.8 man1/tzctl.1 man1/platformctl.1; do
        file=$root/usr/share/man/$page.gz
        mandoc -T lint -W warning "$file" || fail "mandoc lint: $page"
        warnings=$(MANWIDTH=80 man --warnings -l "$file" 2>&1 >"$work/page.txt") ||
            fail "man -l $page failed: $warnings"
        [ -z "$warnings" ] || fail "man --warnings on $page: $warnings"
        for section in NAME SYNOPSIS DESCRIPTION ENVIRONMENT "EXIT STATUS" EXAMPLES "SEE ALSO"; do
            grep -q "^$section" "$work/page.txt" || fail "$page has no $section section"
        done
        grep -q PLATFORM_RUNDIR "$work/page.txt" || fail "$page lacks the environment table"
        grep -q "$version" "$work/page.txt" || fail "$page does not carry version $version"
    done
    echo "man pages lint clean"
    ;;

units)
    need systemd-analyze
    [ -f "$deb" ] || fail "no package (package.build failed?)"
    root=$work/units-root
    unpack "$root"
    # The system's own units beside the package's (the targets they hang on); verify checks
    # the programs and man pages the units name, in the scratch root.
    cp -Rn /usr/lib/systemd/system/. "$root/usr/lib/systemd/system/"
    out=$(MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" \
        platformd.service tzd.service 2>&1) || fail "systemd-analyze verify: $out"
    [ -z "$out" ] || fail "systemd-analyze verify: $out"
    for unit in platformd tzd; do
        report=$(systemd-analyze security --offline=true --root="$root" "$unit.service" 2>&1) ||
            fail "systemd-analyze security $unit: $report"
        score=$(sed -n "s/.*Overall exposure level for $unit.service: \([0-9.]*\).*/\1/p" \
            <<<"$report")
        [ -n "$score" ] || fail "no exposure level for $unit: $report"
        echo "$unit.service exposure $score"
        awk -v s="$score" 'BEGIN { exit !(s < 5.0) }' || fail "$unit.service exposure $score"
    done
    ;;

*)
    fail "unknown part $part"
    ;;
esac
