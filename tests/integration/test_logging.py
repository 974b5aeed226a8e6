"""The real logging client, through the host layer, to the host logger or the
/dev/slog device, run in the sandbox by log_probe."""

import collections
import os
import re
import shutil
import signal
import sys
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import build, loads, logger, wire
from harness.sandbox import Sandbox, SandboxCase

LONG = 'x' * 1015
ODD_TEXT = b'tab\there\nnl \\ \xc3\xa9 \x01'

# (severity word, code, payload) of what `log_probe records` sends, in order.
RECORDS = [
    (13, 20001, b'hello world 42\0'),
    (10, 7, b'\0'),
    (13, 9, LONG.encode() + b'\0'),
    (13, 10, ODD_TEXT + b'\0'),
    (3, 11, wire.ints(1, -2, 2147483647)),
    (3, 12, b''),
    (4, 13, bytes([0x00, 0x01, 0xfe, 0xff, 0x7f])),
    (13, 20001, b'log_probe: front 5\0'),
    (10, 20001, b'log_probe: failed: x\0'),
]
RECORD_LINES = [
    'info 20001 hello world 42',
    'error 7 ',
    'info 9 ' + LONG,
    'info 10 tab\\there\\nnl \\\\ \\xc3\\xa9 \\x01',
    'warning 11 ints[3]: 1 -2 2147483647',
    'warning 12 ints[0]:',
    'notice 13 bytes[5]: 00 01 fe ff 7f',
    'info 20001 log_probe: front 5',
    'error 20001 log_probe: failed: x',
]
# The client's own calls print their results; the front end's do not.
CLIENT_CALLS = 7


def byte_counts(records):
    return ['%d' % (12 + len(payload)) for _, _, payload in records]


class Delivery(SandboxCase):
    def test_records_reach_the_logger_exactly(self):
        result = self.sb.run('log_probe', 'records')
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines(), byte_counts(RECORDS[:CLIENT_CALLS]))
        self.assertEqual(result.log, RECORD_LINES)
        self.assertEqual(result.stderr, '')

    def test_refused_side_channel_falls_back_to_device_file(self):
        open(self.sb.path('/dev/slog'), 'wb').close()
        result = self.sb.run('log_probe', 'records', logger_args=['--fail', 'ENOSYS:1'])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines(), byte_counts(RECORDS[:CLIENT_CALLS]))
        # Once on the device the client stays there: the logger sees nothing.
        self.assertEqual(result.log, [])
        self.assertEqual(Path(self.sb.path('/dev/slog')).read_bytes(), b''.join(
            wire.record(payload, code, severity) for severity, code, payload in RECORDS))

    def test_device_missing_loses_one_record_then_side_channel_again(self):
        result = self.sb.run('log_probe', 'records', logger_args=['--fail', 'ENOSYS:1'])
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], '-1 No such file or directory')
        self.assertEqual(lines[1:], byte_counts(RECORDS[1:CLIENT_CALLS]))
        self.assertEqual(result.log, RECORD_LINES[1:])

    def test_no_way_to_the_logger_reports_each_record_and_carries_on(self):
        result = self.sb.run('log_probe', 'front', 3, logger=False)
        self.assertEqual((result.returncode, result.stdout), (0, 'carried on\n'))
        self.assertEqual(result.stderr.splitlines(),
                         ['Fatal: Could not write slog event: No such file or directory'] * 3)

    def test_started_program_inherits_no_device_descriptor(self):
        open(self.sb.path('/dev/slog'), 'wb').close()
        result = self.sb.run('log_probe', 'descriptor', logger=False)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines(), ['29', 'descriptor above 2, inherited no'])


class ClosedStandardDescriptors(unittest.TestCase):
    def test_output_to_a_closed_descriptor_never_reaches_the_record_file(self):
        # With no logger the records go to /dev/slog; "carried on" goes to
        # the closed standard output, which the device must not have taken.
        sb = Sandbox.for_test(self)
        open(sb.path('/dev/slog'), 'wb').close()
        result = sb.sh('exec $EMU $PROBE front 2 1>&-', logger=False, env=build.shell_variables())
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(Path(sb.path('/dev/slog')).read_bytes(),
                         b''.join(wire.text('log_probe: record %d' % i) for i in range(2)))

    def test_output_to_a_closed_descriptor_never_reaches_the_logger(self):
        # The refused records' Fatal lines go to standard error, "carried on"
        # to standard output: with either closed at start, neither may land on
        # the side channel as a packet of its own, nor steal a record's reply.
        for closed in ('1>&-', '2>&-'):
            with self.subTest(closed=closed):
                sb = Sandbox.for_test(self)
                result = sb.sh('exec $EMU $PROBE front 4 ' + closed,
                               logger_args=['--answers', 'EIO,log'], env=build.shell_variables())
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.records, [('info', 20001, 'log_probe: record 1'),
                                                  ('info', 20001, 'log_probe: record 3')])
                self.assertNotIn('host-slogger', result.stderr)


class Concurrency(SandboxCase):
    def test_threads_records_arrive_whole_and_once(self):
        threads, per_thread = 8, 200
        result = self.sb.run('log_probe', 'threads', threads, per_thread, timeout=300)
        self.assertEqual((result.returncode, result.stdout), (0, 'failures 0\n'), result.stderr)

        def line(t, i):  # texts and integers in turn
            form = 'info %d thread %d record %d' if i % 2 == 0 else 'info %d ints[2]: %d %d'
            return form % (100 + t, t, i)
        loads.assert_threads_logged(self, result.log, threads, per_thread, line)

    def test_child_forked_while_another_thread_logs(self):
        forks = 10
        result = self.sb.run('log_probe', 'fork', forks, timeout=300)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        lines = result.stdout.splitlines()
        self.assertTrue(lines[-1].startswith('children %d ' % forks), result.stdout)
        children = sorted(line for line in result.log if line.startswith('info 300 '))
        self.assertEqual(children, sorted('info 300 child %d' % k for k in range(forks)))
        background = [line for line in result.log if line.startswith('info 200 ')]
        self.assertEqual(background,
                         ['info 200 background %d' % n for n in range(len(background))])
        # Each child made its own connection: the logger names the child as
        # the sender of the malformed packet it sent last.
        pids = [line.split()[-1] for line in lines if line.startswith('child pid ')]
        self.assertEqual(len(pids), forks)
        for pid in pids:
            self.assertIn('host-slogger: client pid %s: header length 0' % pid, result.stderr)

    def test_fork_handlers_that_log_work_registered_before_the_first_record(self):
        forks = 3
        result = self.sb.run('log_probe', 'fork-handlers', forks, timeout=180)
        self.assertNotEqual(result.returncode, 128 + signal.SIGALRM, 'fork got stuck')
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(result.stdout, 'forks %d\n' % forks)
        self.assertEqual(result.log[:2], ['info 20001 log_probe: first',
                                          'info 20001 log_probe: prepare'])
        expected = collections.Counter(['info 20001 log_probe: first'])
        for k in range(forks):
            expected.update(['info 20001 log_probe: prepare', 'info 20001 log_probe: parent',
                             'info 20001 log_probe: child', 'info 301 ints[1]: %d' % k])
        self.assertEqual(collections.Counter(result.log), expected)

    def test_forks_after_a_record_before_main_never_hang(self):
        # A record is sent and a child forked before main, ahead of the
        # program's static initializers; then threads log through the client and
        # through MsgSendv itself while main forks. A child gets 20 s and a
        # fork 30 s: a stuck child ends the loop, a stuck fork the run (SIGALRM).
        forks, threads = 200, 3
        result = self.sb.run('log_probe', 'early-forks', forks, threads, timeout=300)
        self.assertNotEqual(result.returncode, 128 + signal.SIGALRM, 'a fork got stuck')
        # The child forked before main logs on a connection of its own.
        loads.assert_forks_logged(self, result, forks, threads + 1, first=[
            'info 100 before main', 'info 101 forked before main'])
        self.assertNotEqual(result.pids[0], result.pids[1])


# Free stack at the call where each sweep starts. Below it a thread's first
# stack query itself overruns: the C library's thread attributes it reads
# allocate (the thread's first heap use), and the front end's own frame comes
# on top. The address sanitizer's interceptors take their share as well, and
# an unoptimised build with coverage counters has larger frames of its own.
SWEEP_FLOORS = {'': 768, 'double': 768, 'front': 1536}
SANITIZED_SWEEP_FLOORS = {'': 6144, 'double': 8192, 'front': 8192}
COUNTED_SWEEP_FLOORS = {'': 1536, 'double': 1536, 'front': 2048}
FATAL_ENOMEM = 'Fatal: Could not write slog event: Cannot allocate memory'


def built(program):
    return Path(build.BIN_DIR, program).read_bytes()


def sweep_floors(program):
    if b'__asan_init' in built(program):
        return SANITIZED_SWEEP_FLOORS
    return COUNTED_SWEEP_FLOORS if b'__gcov_' in built(program) else SWEEP_FLOORS


class ShortStack(unittest.TestCase):
    def test_thread_stack_sweep_each_record_arrives_whole_or_is_refused(self):
        # Up to 25 KiB free at the call, which takes the stack query's answer
        # from 0 past 16 KiB; each point a fresh 64 KiB thread. A crash ends
        # the run early.
        high, step = 25600, 64
        for kind, low in sweep_floors('log_probe').items():
            with self.subTest(kind=kind or 'integers'):
                sb = Sandbox.for_test(self)
                result = sb.run('log_probe', 'stack', low, high, step, kind, timeout=300)
                self.assertEqual(result.returncode, 0, result.stdout[-300:] + result.stderr)
                tail = ' %.0f' % 1e308 if kind == 'double' else ''
                self.check_sweep(result, range(low, high + 1, step), tail, kind == 'front')

    def check_sweep(self, result, points, tail, front_end):
        outcomes = dict(re.match(r'free (\d+): (.*)$', line).groups()
                        for line in result.stdout.splitlines()[1:])
        self.assertEqual(list(outcomes), ['%d' % free for free in points])
        prefix = 'log_probe: ' if front_end else ''
        texts = {text[len(prefix):].split()[1]: text[len(prefix):]
                 for _, code, text in result.records if code == 600 and text.startswith(prefix)}
        if front_end:
            # The front end says nothing to its caller: a refusal is its Fatal line.
            fatal = result.stderr.splitlines()
            self.assertEqual(set(fatal), {FATAL_ENOMEM} if fatal else set())
            delivered = [free for free in outcomes if free in texts]
            self.assertEqual(len(fatal), len(outcomes) - len(delivered))
        else:
            delivered = [free for free, outcome in outcomes.items()
                         if outcome != '-1 Cannot allocate memory']
        for free in delivered:
            self.assertRegex(texts.get(free, ''), r'^free %s stack sweep -2147483647 4294967295 '
                             r'ABCD 00000012 0x[0-9a-f]+%s$' % (free, tail))
            if not front_end:
                self.assertEqual(outcomes[free], '%d' % (12 + len(texts[free]) + 1))
        # Refused on the short stacks only, delivered from there on, and
        # nothing refused ever reaches the logger.
        self.assertEqual(set(texts) - {'from'}, set(delivered))
        refused = len(outcomes) - len(delivered)
        self.assertGreater(refused, 0)
        self.assertEqual(delivered, list(outcomes)[refused:])
        self.assertLess(refused * points.step, 12 * 1024)


def unfit_for_valgrind(program):
    """Why valgrind cannot check this build of program, or None: an emulator,
    instrumentation of its own, or clang's debug information, which the
    valgrind of Debian 12 cannot read."""
    if build.EMULATOR:
        return 'an emulated build'
    if any(marker in built(program) for marker in (b'__asan_init', b'__gcov_', b'__tsan_init')):
        return 'an instrumented build'
    return 'a clang build' if b'clang version' in built(program) else None


class ThreadCheckers(unittest.TestCase):
    def test_forked_children_of_a_logging_program_are_clean(self):
        # Two threads log while main forks; each child logs. Nothing but the
        # library is shared, so any report is about the library.
        if shutil.which('valgrind') is None:
            self.skipTest('valgrind is not installed (scripts/install-deps test)')
        if unfit_for_valgrind('log_probe'):
            self.skipTest(unfit_for_valgrind('log_probe'))
        probe = os.path.join(build.BIN_DIR, 'log_probe')
        for tool in ('helgrind', 'drd'):
            with self.subTest(tool=tool):
                sb = Sandbox.for_test(self)
                result = sb.run_command(['valgrind', '--tool=' + tool, '--error-exitcode=99',
                                         '--child-silent-after-fork=no', '-q', probe,
                                         'checked-forks', '3'],
                                        env={'TMPDIR': '/mnt'}, timeout=600)
                self.assertEqual(result.returncode, 0, result.stderr[-3000:])
                self.assertEqual(result.stdout, 'children 3 of 3\n')
                self.assertEqual(result.stderr, '')
                self.assertEqual(len(result.log), 2 * 30 + 3)


RESTART_SCRIPT = r'''
wait_for_socket() {
    for i in $(seq 300); do [ -S /dev/sidechannel ] && return 0; sleep 0.1; done
    return 1
}
$EMU $LOGGER --socket /dev/sidechannel --output /mnt/log1 & first=$!
wait_for_socket || exit 90
$EMU $PROBE restart > /mnt/probe.out & probe=$!
for i in $(seq 300); do [ -s /mnt/log1 ] && break; sleep 0.1; done
kill $first; wait $first
$EMU $LOGGER --socket /dev/sidechannel --output /mnt/log2 & second=$!
wait_for_socket || exit 91
touch /mnt/go
wait $probe; status=$?
kill $second; wait $second
exit $status
'''


class Restart(unittest.TestCase):
    def test_logger_restart_between_two_records_loses_nothing(self):
        sb = Sandbox.for_test(self)
        result = sb.sh(RESTART_SCRIPT, logger=False, env=build.shell_variables(), timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(Path(sb.path('/mnt/probe.out')).read_text().splitlines(), ['27', '26'])
        self.assertEqual(logger.read(sb.path('/mnt/log1')), ['info 400 before restart'])
        self.assertEqual(logger.read(sb.path('/mnt/log2')), ['info 400 after restart'])


if __name__ == '__main__':
    unittest.main()
