"""Faults on the way to the logger, with the real client in the sandbox: a
logger killed in the middle of a stream of records and started again, and a
logger that refuses records with EBADF and ENOSYS in turn."""

import os
import re
import sys
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import build, logger, trace, wire
from harness.sandbox import Sandbox

FATAL = 'Fatal: Could not write slog event: No such file or directory'
STREAM_LINE = re.compile(r'^info 20001 log_probe: stream (\d+)$')

# The loggers run inside the sandbox, so that the second one's socket is the
# one the client finds at /dev/sidechannel: a socket bound in from outside
# would stay the first logger's dead one. Every wait is bounded (60 s).
KILL_SCRIPT = r'''
wait_for() {
    for i in $(seq 600); do eval "$1" && return 0; sleep 0.1; done
    echo "gave up waiting for: $2" >&2
    exit 1
}
lines() { if [ -f "$1" ]; then wc -l < "$1"; else echo 0; fi; }
# Whatever happens, nothing is left running to hold the sandbox open.
trap 'touch /mnt/stop; kill $first $second 2>/dev/null' EXIT
$EMU $LOGGER --socket /dev/sidechannel --output /mnt/log1 & first=$!
wait_for '[ -S /dev/sidechannel ]' 'the first logger'
$EMU $PROBE stream > /mnt/probe.out 2>&1 & probe=$!
wait_for '[ $(lines /mnt/log1) -ge 50 ]' 'records in the first log'
kill -KILL $first; wait $first
wait_for 'grep -q "^Fatal" /mnt/probe.out' 'a record reported lost'
$EMU $LOGGER --socket /dev/sidechannel --output /mnt/log2 & second=$!
wait_for '[ $(lines /mnt/log2) -ge 50 ]' 'records in the second log'
touch /mnt/stop
wait $probe
'''


def stream_numbers(test, path):
    lines = logger.read(path)
    test.assertEqual([line for line in lines if not STREAM_LINE.match(line)], [],
                     'not stream records')
    return [int(STREAM_LINE.match(line).group(1)) for line in lines]


def stream_outcomes(path):
    """Per record of `log_probe stream`, in order: True when it was reported
    lost (its failure line stands right before its "sent N")."""
    outcomes = []
    failed = False
    for line in Path(path).read_text().splitlines():
        if line == FATAL and not failed:
            failed = True
        elif line == 'sent %d' % len(outcomes):
            outcomes.append(failed)
            failed = False
        else:
            raise AssertionError('unexpected probe output %r after record %d'
                                 % (line, len(outcomes)))
    return outcomes


class LoggerKilled(unittest.TestCase):
    def test_killed_logger_fails_records_then_a_new_one_gets_the_rest(self):
        sb = Sandbox.for_test(self)
        result = sb.sh(KILL_SCRIPT, logger=False, env=build.shell_variables(), timeout=300)
        # Not killed by SIGPIPE (141), not stuck waiting for a dead logger.
        self.assertEqual(result.returncode, 0, result)

        lost = stream_outcomes(sb.path('/mnt/probe.out'))
        first, second = (stream_numbers(self, sb.path('/mnt/log%d' % n)) for n in (1, 2))
        self.assertIn(True, lost)
        outage_start = lost.index(True)
        outage_end = len(lost) - lost[::-1].index(True)
        # One outage: every record in it was reported lost, none after it.
        self.assertEqual(lost[outage_start:outage_end], [True] * (outage_end - outage_start))
        # Everything before the kill reached the first logger; the record in
        # flight may have been logged before its reply was lost, never twice.
        self.assertIn(first, (list(range(outage_start)), list(range(outage_start + 1))))
        self.assertEqual(second, list(range(outage_end, len(lost))))
        self.assertGreaterEqual(len(second), 50)


# `log_probe front 30` against a logger answering in turn as given, with or
# without a /dev/slog file: who gets which record, what the client reports,
# and the system calls it makes. Record k is "log_probe: record k".
RECORDS = 30
REFUSALS = [
    # Device missing: each refusal fails its record (the open fails), and
    # the next record first tries the failed descriptor, -1.
    dict(answers='EBADF,ENOSYS,log', device=False,
         logged=range(2, RECORDS, 3), to_device=[], lost=20,
         sendmsg=30, open=20, close=20, writev=20),
    dict(answers='ENOSYS,EBADF', device=False,
         logged=[], to_device=[], lost=30,
         sendmsg=30, open=30, close=29, writev=29),
    # Device there: the first refusal moves the client to it for good.
    dict(answers='log,EBADF,ENOSYS', device=True,
         logged=[0], to_device=range(1, RECORDS), lost=0,
         sendmsg=2, open=1, close=0, writev=29),
    dict(answers='log,ENOSYS', device=True,
         logged=[0], to_device=range(1, RECORDS), lost=0,
         sendmsg=2, open=1, close=0, writev=29),
]


class LoggerRefuses(unittest.TestCase):
    def run_refusing(self, case, traced):
        sb = Sandbox.for_test(self)
        if case['device']:
            open(sb.path('/dev/slog'), 'wb').close()
        command = build.program('log_probe') + ['front', str(RECORDS)]
        env = None
        if traced:
            command = trace.traced(command, 'open,openat,close,sendmsg,writev,pwritev2',
                                   '/mnt/trace')
            env = trace.sanitizer_env()
        result = sb.run_command(command, logger_args=['--answers', case['answers']], env=env,
                                timeout=120)
        self.assertEqual((result.returncode, result.stdout), (0, 'carried on\n'), result)
        self.assertEqual(result.stderr.splitlines(), [FATAL] * case['lost'])
        self.assertEqual(result.log,
                         ['info 20001 log_probe: record %d' % k for k in case['logged']])
        if case['device']:
            self.assertEqual(Path(sb.path('/dev/slog')).read_bytes(), b''.join(
                wire.text('log_probe: record %d' % k) for k in case['to_device']))
        return sb

    def test_each_record_delivered_once_or_reported_within_the_bound(self):
        traced = trace.strace_missing() is None
        for case in REFUSALS:
            with self.subTest(answers=case['answers'], device=case['device']):
                sb = self.run_refusing(case, traced)
                if traced:
                    counts = device_calls(trace.calls(sb.path('/mnt/trace')))
                    self.assertEqual(counts, {k: case[k] for k in counts})
        if not traced:
            self.skipTest('records checked; calls not counted: ' + trace.strace_missing())


def device_calls(calls):
    """Counts of the calls the client makes on its way to the logger: side
    channel packets, opens of /dev/slog, and writes and closes on what those
    opens gave (-1 included), in the order they were made; an appending
    pwritev2 counts as the write. Other calls on the same numbers (the
    emulator's own, before the open) are not counted."""
    counts = dict(sendmsg=0, open=0, close=0, writev=0)
    device = {-1}
    for name, args, result in calls:
        first = args.split(',')[0]
        if name == 'sendmsg':
            counts['sendmsg'] += 1
        elif name in ('open', 'openat') and '"/dev/slog"' in args:
            counts['open'] += 1
            if result >= 0:
                device.add(result)
        elif (name in ('close', 'writev', 'pwritev2') and first.lstrip('-').isdigit() and
              int(first) in device):
            counts['writev' if name == 'pwritev2' else name] += 1
            if name == 'close' and int(first) != -1:
                device.discard(int(first))
    return counts


if __name__ == '__main__':
    unittest.main()
