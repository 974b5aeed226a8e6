"""A system-call fault sweep: kestrune -h and one dorvane request, each run
once under strace to list its system calls, then again once per occurrence of
each call with that one occurrence failed by strace's fault injection. Every
run must end by itself, killed by no signal, with the status the program
promises, and send the logger nothing but records. It guards every error path
at once, those no other test reaches too.

The runs happen in two sandboxes at a time, each running this file as a worker
inside (`--worker JOBS RESULTS`): one logger and one sandbox for hundreds of
runs, the tree laid out afresh before each."""

import collections
import concurrent.futures
import json
import os
import shutil
import signal
import subprocess
import sys
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import build, tools, trace
from harness.sandbox import Sandbox

# Calls never failed: whose failure the C library treats as fatal by design,
# or that are not the program's.
LEFT_OUT = {
    'execve': "strace's exec of the program: when it fails, nothing ran",
    'arch_prctl': 'sets the thread pointer before main; glibc stops with "cannot set '
                  '%fs base address for thread-local storage" (status 127)',
    'mprotect': 'makes the relocated data read-only before main; glibc stops with '
                '"cannot apply additional memory protection after relocation" (127)',
    # All before main here: the heap the start-up sets up holds all that the
    # programs allocate, so no later brk is left out.
    'brk': 'the kernel never fails it with an error number (a refused break comes back '
           'as the old one); glibc takes any result as an address, so an injected error '
           'number is a fault no kernel makes, and glibc crashes on it before main',
    'futex': 'glibc aborts on any futex error it does not expect ("The futex facility '
             'returned an unexpected error code")',
}

# The errors every call gets. Injection skips the call, so an error differs
# from another only where the code tells them apart: EINTR must not make a
# retry loop spin, ENOMEM and ENOSPC are what a full unit gives.
EVERY_CALL = ('EINTR', 'EIO', 'ENOMEM', 'EACCES', 'ENOSPC')
# And those the code on the way to the logger and the devices tells apart:
# the client falls back to the other way on EBADF and ENOSYS, the host layer
# takes EPIPE for a logger or reader gone away.
TOLD_APART = {
    'EBADF': {'sendmsg', 'recvfrom', 'writev'},
    'ENOSYS': {'sendmsg', 'recvfrom', 'writev'},
    'EPIPE': {'sendmsg', 'recvfrom', 'writev', 'write'},
}

RUN_TIMEOUT = 10  # s; a run takes some 20 ms
WORKERS = 2
# Enough failures to show a pattern; a hang in every run would take too long.
MAX_FAILURES = 8

MM = '/mnt/quota/mm'
DEBUG_DEVICE = '/dev/vellmar/debug'
A2I_DEVICE = '/dev/vellmar/a2i'


def create(*paths):
    for path in paths:
        open(path, 'w').close()


def lay_out_kestrune():
    """The disk branch with everything to do: the tracer's trigger, a bare
    media root with a few stale cache entries, no backup marker, the media
    component but neither link nor ready marker."""
    shutil.rmtree(MM, ignore_errors=True)
    for path in ('/opt/share/bin/io-fs-media-qdb', '/dev/shmem/kestruneFinished',
                 '/boot/tracelogger.calls'):
        if os.path.lexists(path):
            os.unlink(path)
    for directory in ('mldb', 'odlcache'):
        os.makedirs('%s/gracenote/%s' % (MM, directory))
        create(*('%s/gracenote/%s/%s' % (MM, directory, name) for name in ('a.db', 'b.db', 'c.db')))
    os.makedirs('/opt/share/bin', exist_ok=True)
    create(MM + '/STARTUP_KERNELTRACE', '/opt/share/bin/io-fs-media')


# name: (program and arguments, lay-out before each run, statuses promised)
SCENARIOS = {
    'kestrune': (['kestrune', '-h'], lay_out_kestrune, {0}),
    # A path-name request on a plain-file debug device, a -p device beside it
    # and a bad option (a line on standard output, getopt's on standard error).
    'dorvane': (['dorvane', '-x', '0', '-f', '/a/b', '-p', A2I_DEVICE, '-q'],
                lambda: create(DEBUG_DEVICE, A2I_DEVICE), {0, 1}),
}

TRACE = '/mnt/sweep/trace'
# A coverage build writes its counts into its own tree as the program exits.
# Those calls are not the program's, and a failed one would spoil the counts
# of every test: the listing leaves them out.
COUNTS_DIR = build.COVERAGE_BUILD_DIR


def listed_calls(traced):
    """The names of a listing run's calls, those writing counts left out."""
    names = trace.call_names(TRACE)
    if COUNTS_DIR:
        lines = [line for line in traced if not line.startswith(('+++ ', '--- '))]
        counts = [n for n, line in enumerate(lines)
                  if line.startswith('openat(') and '"%s/' % COUNTS_DIR in line
                  and '.gcda"' in line]
        if counts:
            names = names[:counts[0]] + names[-1:]  # the program's exit_group stays
    return names


def run_once(scenario, fault):
    """One run in the sandbox, under strace; fault is (call, occurrence,
    error) or None for the listing run. What happened, as a dict."""
    words, lay_out, _ = SCENARIOS[scenario]
    lay_out()
    options = ['-e', 'trace=all']
    if fault:
        call, occurrence, error = fault
        options = ['-e', 'trace=' + call,
                   '-e', 'inject=%s:error=%s:when=%d' % (call, error, occurrence)]
    # Not followed (no -f): the shell that system() starts, and the tracer it
    # starts, are programs of their own whose failure kestrune by design does
    # not notice; followed, their calls would be numbered in with its own.
    command = ['strace', '-q', '-o', TRACE] + options + build.program(words[0]) + words[1:]
    # Its own group: a program stuck past the guard goes down with its tracer.
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, start_new_session=True)
    timed_out = False
    try:
        stdout, stderr = process.communicate(timeout=RUN_TIMEOUT)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        (stdout, stderr), timed_out = process.communicate(), True
    traced = Path(TRACE).read_text(encoding='latin-1').splitlines()
    return {'scenario': scenario, 'fault': fault, 'timed_out': timed_out,
            'end': [line for line in traced if line.startswith('+++ ')],
            'injected': sum(line.endswith(' (INJECTED)') for line in traced),
            'calls': listed_calls(traced) if fault is None else None,
            'output': (stdout + stderr).decode('latin-1')[-400:]}


def worker(jobs_path, results_path):
    failures = 0
    with open(results_path, 'w') as out:
        for scenario, fault in json.loads(Path(jobs_path).read_text()):
            result = run_once(scenario, fault)
            out.write(json.dumps(result) + '\n')
            out.flush()
            failures += bool(problem(result))
            if failures == MAX_FAILURES:
                break


def problem(result):
    """What is wrong with one run, or None."""
    _, _, statuses = SCENARIOS[result['scenario']]
    if result['timed_out']:
        return 'did not end within %d s' % RUN_TIMEOUT
    if result['fault'] and result['injected'] != 1:
        return 'the fault was injected %d times, not once' % result['injected']
    ends = ['+++ exited with %d +++' % status for status in sorted(statuses)]
    if len(result['end']) != 1 or result['end'][0] not in ends:
        return 'ended %s, not %s' % (result['end'], ' or '.join(ends))
    return None


def errors_for(call):
    return EVERY_CALL + tuple(e for e, calls in TOLD_APART.items() if call in calls)


def faults(calls):
    """Each occurrence of each call not left out, with each of its errors."""
    seen = collections.Counter()
    for call in (call for call in calls if call not in LEFT_OUT):
        seen[call] += 1
        for error in errors_for(call):
            yield call, seen[call], error


def is_static(path):
    """Whether an ELF executable has no program interpreter."""
    return 'INTERP' not in tools.run(['readelf', '-l', '-W', path]).stdout


class SyscallFaultSweep(unittest.TestCase):
    def setUp(self):
        missing = trace.strace_missing()
        if missing:
            self.skipTest(missing)
        if build.EMULATOR:
            self.skipTest("strace under qemu-user sees the emulator's calls, not the "
                          "program's, and cannot fail the program's")
        if not is_static(os.path.join(build.BIN_DIR, 'kestrune')):
            self.skipTest('the programs are linked dynamically here (asan, clang): most '
                          "failures of the loader's or sanitizer runtime's own calls are "
                          'fatal by design; the sweep runs on the static default build')

    def in_sandboxes(self, job_lists):
        """Runs each list of jobs in a sandbox of its own, at the same time."""
        def one(jobs):
            sb = Sandbox.for_test(self)
            os.makedirs(sb.path('/mnt/sweep'))
            Path(sb.path('/mnt/sweep/jobs')).write_text(json.dumps(jobs))
            command = [sys.executable, os.path.abspath(__file__), '--worker',
                       '/mnt/sweep/jobs', '/mnt/sweep/results']
            run = sb.run_command(command, timeout=900)
            # Nothing from the logger either: each packet it got was a record
            # whose reply was read.
            self.assertEqual((run.returncode, run.stderr), (0, ''), 'worker or logger')
            return [json.loads(line) for line in
                    Path(sb.path('/mnt/sweep/results')).read_text().splitlines()]
        with concurrent.futures.ThreadPoolExecutor(len(job_lists)) as pool:
            return [r for results in pool.map(one, job_lists) for r in results]

    def test_every_failed_call_ends_with_the_promised_status(self):
        listings = self.in_sandboxes([[(name, None)] for name in SCENARIOS])
        calls = {}
        for listing in listings:
            self.assertIsNone(problem(listing), listing)
            calls[listing['scenario']] = listing['calls']
        # The runs reach what they are for: the tracer, the purge, the link
        # and the marker; the request on the debug device.
        for call in ('wait4', 'unlinkat', 'symlink', 'creat', 'sendmsg'):
            self.assertIn(call, calls['kestrune'])
        self.assertGreaterEqual(calls['dorvane'].count('openat'), 2)
        self.assertIn('writev', calls['dorvane'])

        jobs = [(name, fault) for name in SCENARIOS for fault in faults(calls[name])]
        results = self.in_sandboxes([jobs[n::WORKERS] for n in range(WORKERS)])
        failed = ['%s, %s #%d failed with %s: %s; output %r'
                  % (r['scenario'], *r['fault'], problem(r), r['output'])
                  for r in results if problem(r)]
        if failed:
            self.fail('\n'.join(['%d runs broke the promise:' % len(failed)] + failed))
        self.assertEqual(len(results), len(jobs))


if __name__ == '__main__' and sys.argv[1:2] == ['--worker']:
    worker(*sys.argv[2:4])
elif __name__ == '__main__':
    unittest.main()
