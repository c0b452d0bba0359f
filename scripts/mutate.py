#!/usr/bin/env python3
"""The mutation run: applies each deliberate fault of a list, one at a time, to a scratch copy of
the tree, builds it, runs the suite and reports which tests caught the fault.

The working tree is never touched. Its tracked files (with uncommitted changes) are copied to
SCRATCH/src, which is built in SCRATCH/build; both are kept between runs, so each fault costs an
incremental build (with ccache when installed). First the unchanged tree is built and tested: a
test that fails there is left out of every fault's catchers. A test that fails on a fault is run
again, and counts only if it fails again (a test that fails under load now and then is no
catcher).

  scripts/mutate.py                    every fault, the whole suite for each
  scripts/mutate.py --quick            each fault against its own tests (its "tests:" pattern)
  scripts/mutate.py --only 'query|cli' faults whose name or area matches
  scripts/mutate.py --list             the faults and whether their text is still in the tree

Results: one line per fault as it ends, a markdown table in SCRATCH/report.md (or --report) and
a line per fault in SCRATCH/results.tsv. A fault whose original text is no longer in its file
(or is there more than once) is reported "stale" and skipped; one that no longer builds is
"no build".

The list (tests/mutants.txt by default) holds entries of this form:

  == NAME: AREA
  file: path/from/the/top
  tests: ctest regular expression (optional; used with --quick)
  find: the exact original text
  replace: the faulty text

A text goes on over the lines that follow it and begin with "|" (the "|" and one space after it
are dropped); "find:" or "replace:" with nothing after it begins with its first such line, and a
"replace:" with nothing at all deletes the text. Lines beginning with "#" are comments.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

TOP = subprocess.run(['git', 'rev-parse', '--show-toplevel'], capture_output=True, text=True,
                     cwd=os.path.dirname(os.path.abspath(__file__))).stdout.strip()


class Mutant:
    def __init__(self, name, area):
        self.name, self.area = name, area
        self.file = self.tests = self.find = self.replace = None


def parse(path):
    mutants, cur, block, fresh = [], None, None, False
    with open(path) as f:
        for n, raw in enumerate(f, 1):
            line = raw.rstrip('\n')
            if block is not None and line.startswith('|'):
                text = line[2:] if line.startswith('| ') else line[1:]
                setattr(cur, block, text if fresh else getattr(cur, block) + '\n' + text)
                fresh = False
                continue
            block = None
            if not line.strip() or line.startswith('#'):
                continue
            if line.startswith('== '):
                name, _, area = line[3:].partition(':')
                cur = Mutant(name.strip(), area.strip())
                mutants.append(cur)
                continue
            key, sep, value = line.partition(':')
            if cur is None or not sep or key not in ('file', 'tests', 'find', 'replace'):
                sys.exit(f'{path}:{n}: cannot read "{line}"')
            value = value[1:] if value.startswith(' ') else value
            setattr(cur, key, value)
            if key in ('find', 'replace'):
                block, fresh = key, value == ''
    for m in mutants:
        if not m.file or not m.find or m.replace is None:
            sys.exit(f'{path}: fault {m.name} needs file, find and replace')
    return mutants


def state(m, root):
    """'ok', or why the fault cannot be applied to the tree at ROOT."""
    try:
        with open(os.path.join(root, m.file)) as f:
            count = f.read().count(m.find)
    except OSError:
        return 'stale'
    return 'ok' if count == 1 else ('stale' if count == 0 else 'stale (ambiguous)')


def sync(src, dst):
    """Copies the tracked files of SRC (as they are now) to DST, writing only those that differ,
    and removes from DST the files that SRC no longer tracks."""
    files = subprocess.run(['git', 'ls-files', '-z', '--cached', '--others', '--exclude-standard'],
                           cwd=src, capture_output=True, check=True).stdout.decode().split('\0')
    files = {f for f in files if f and os.path.isfile(os.path.join(src, f))}
    for f in files:
        a, b = os.path.join(src, f), os.path.join(dst, f)
        with open(a, 'rb') as fa:
            data = fa.read()
        try:
            with open(b, 'rb') as fb:
                if fb.read() == data:
                    continue
        except OSError:
            pass
        os.makedirs(os.path.dirname(b), exist_ok=True)
        # A fresh mtime, not the source's: a file edited before the scratch's last build is
        # still newer than what that build made of the old text.
        shutil.copy(a, b)
    for dirpath, _, names in os.walk(dst):
        for name in names:
            rel = os.path.relpath(os.path.join(dirpath, name), dst)
            if rel not in files:
                os.remove(os.path.join(dirpath, name))


def run(cmd, log, timeout=None, cwd=None):
    with open(log, 'w') as out:
        try:
            return subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, timeout=timeout,
                                  cwd=cwd).returncode
        except subprocess.TimeoutExpired:
            return None


def build(args, log):
    return run(['nice', '-n', '19', 'cmake', '--build', args.build, '-j', str(args.jobs)], log) == 0


def ctest(args, regex, log):
    """The tests run and those that failed, from ctest's JUnit output."""
    junit = os.path.join(args.scratch, 'junit.xml')
    if os.path.exists(junit):
        os.remove(junit)
    cmd = ['nice', '-n', '19', 'ctest', '--test-dir', args.build, '-j', str(args.jobs),
           '--timeout', str(args.timeout), '--output-junit', junit]
    if regex:
        cmd += ['-R', regex]
    if args.exclude:
        cmd += ['-E', args.exclude]
    run(cmd, log)
    ran, failed = set(), set()
    try:
        for case in ET.parse(junit).getroot().iter('testcase'):
            name = case.get('name')
            ran.add(name)
            if case.get('status') == 'fail' or case.find('failure') is not None:
                failed.add(name)
    except (OSError, ET.ParseError):
        pass
    return ran, failed


def main():
    p = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    p.add_argument('--faults', default=os.path.join(TOP, 'tests', 'mutants.txt'))
    p.add_argument('--scratch', default=os.path.join(tempfile.gettempdir(), 'tzd-mutate'))
    p.add_argument('--only', help='regular expression on fault names and areas')
    p.add_argument('--quick', action='store_true', help="each fault against its own tests only")
    p.add_argument('--tests', help='ctest regular expression for every fault (not with --quick)')
    p.add_argument('--exclude', help='ctest regular expression of tests never run')
    p.add_argument('--jobs', type=int, default=2)
    p.add_argument('--timeout', type=int, default=180, help='seconds per test')
    p.add_argument('--report', help='markdown table (default SCRATCH/report.md)')
    p.add_argument('--no-baseline', action='store_true',
                   help='skip the run of the unchanged tree')
    p.add_argument('--no-confirm', action='store_true',
                   help='count a test that fails once (by default a catcher must fail twice)')
    p.add_argument('--list', action='store_true')
    args = p.parse_args()

    mutants = parse(args.faults)
    if args.only:
        mutants = [m for m in mutants if re.search(args.only, m.name + ' ' + m.area)]
    if args.list:
        for m in mutants:
            print(f'{m.name:32} {m.area:28} {state(m, TOP):8} {m.file}')
        return 0

    src = os.path.join(args.scratch, 'src')
    args.build = os.path.join(args.scratch, 'build')
    logs = os.path.join(args.scratch, 'logs')
    os.makedirs(src, exist_ok=True)
    os.makedirs(logs, exist_ok=True)
    sync(TOP, src)
    env = dict(os.environ)
    if shutil.which('ccache'):
        env.setdefault('CMAKE_CXX_COMPILER_LAUNCHER', 'ccache')
        env.setdefault('CMAKE_C_COMPILER_LAUNCHER', 'ccache')
        env.setdefault('CCACHE_BASEDIR', args.scratch)
    os.environ.update(env)
    # As the default preset (the package tests want its prefix); a fault in a shared library
    # relinks nothing that uses it.
    if run(['cmake', '-S', src, '-B', args.build, '-DCMAKE_BUILD_TYPE=RelWithDebInfo',
            '-DCMAKE_INSTALL_PREFIX=/usr', '-DTZD_BUILD_BENCH=OFF',
            '-DCMAKE_LINK_DEPENDS_NO_SHARED=ON'],
           os.path.join(logs, 'configure.log')) != 0:
        sys.exit(f'configure failed: see {logs}/configure.log')

    def regex_of(m):
        return m.tests if args.quick and m.tests else args.tests

    # Files a fault may change are restored before the next one, and at the end.
    originals = {}
    for m in mutants:
        path = os.path.join(src, m.file)
        if os.path.exists(path) and path not in originals:
            with open(path) as f:
                originals[path] = f.read()

    def restore():
        for path, text in originals.items():
            with open(path) as f:
                if f.read() == text:
                    continue
            with open(path, 'w') as f:  # a fresh mtime: the faulty objects are rebuilt
                f.write(text)

    if not build(args, os.path.join(logs, 'baseline-build.log')):
        sys.exit(f'the unchanged tree does not build: see {logs}/baseline-build.log')
    broken = set()
    if not args.no_baseline:
        regexes = {regex_of(m) for m in mutants if state(m, src) == 'ok'}
        # ctest's regular expressions hold few groups: several patterns are the whole suite.
        regex = regexes.pop() if len(regexes) == 1 else None
        ran, broken = ctest(args, regex, os.path.join(logs, 'baseline-ctest.log'))
        print(f'baseline: {len(ran)} tests, {len(broken)} failing'
              + (': ' + ' '.join(sorted(broken)) if broken else ''), flush=True)

    rows = []
    try:
        for m in mutants:
            start = time.time()
            result, catchers = state(m, src), []
            if result == 'ok':
                path = os.path.join(src, m.file)
                with open(path, 'w') as f:
                    f.write(originals[path].replace(m.find, m.replace, 1))
                slug = re.sub(r'[^A-Za-z0-9_.-]', '_', m.name)
                if not build(args, os.path.join(logs, slug + '-build.log')):
                    result = 'no build'
                else:
                    ran, failed = ctest(args, regex_of(m), os.path.join(logs, slug + '-ctest.log'))
                    failed -= broken
                    if failed and not args.no_confirm:  # a test that fails only once is not counted
                        again = '^(' + '|'.join(re.escape(t) for t in sorted(failed)) + ')$'
                        failed &= ctest(args, again, os.path.join(logs, slug + '-again.log'))[1]
                    catchers = sorted(failed)
                    result = 'caught' if catchers else ('NOT caught' if ran else 'no tests ran')
                restore()
            rows.append((m, result, catchers))
            print(f'{m.name:32} {result:12} {len(catchers):3} {time.time() - start:5.0f}s '
                  f'{" ".join(catchers[:4])}{" ..." if len(catchers) > 4 else ""}', flush=True)
    finally:
        restore()
        build(args, os.path.join(logs, 'restore-build.log'))

    report = args.report or os.path.join(args.scratch, 'report.md')
    with open(report, 'w') as f:
        f.write('| Fault | Area | Result | Caught by |\n|---|---|---|---|\n')
        for m, result, catchers in rows:
            shown = ', '.join(catchers[:3]) + (f' and {len(catchers) - 3} more'
                                               if len(catchers) > 3 else '')
            f.write(f'| {m.name} | {m.area} | {result} | {shown} |\n')
    with open(os.path.join(args.scratch, 'results.tsv'), 'w') as f:
        for m, result, catchers in rows:
            f.write(f'{m.name}\t{m.area}\t{result}\t{" ".join(catchers)}\n')
    caught = sum(1 for _, r, _ in rows if r == 'caught')
    valid = sum(1 for _, r, _ in rows if r in ('caught', 'NOT caught'))
    print(f'{caught} of {valid} faults caught; table in {report}')
    return 0 if caught == valid else 1


if __name__ == '__main__':
    sys.exit(main())
