"""Threads and forks logging at once through the real client (log_probe):
the size of a load, and what every load must leave in the log."""

import collections
import re

from harness import build

_SENT = re.compile(r'^background (\d+) sent (\d+)$')
_CHILD = re.compile(r'info (300|301|20001) ')


def load(full, reduced):
    """full natively; reduced under the emulator or the sanitizers, where
    each record costs ten to fifty times as much."""
    return full if build.FULL_LOAD else reduced


def assert_threads_logged(test, log, threads, per_thread, line):
    """Every record of every thread arrived whole and once, and each thread's
    in its order: line(t, i) is record i of thread t (code 100 + t)."""
    expected = collections.Counter(line(t, i) for t in range(threads)
                                   for i in range(per_thread))
    got = collections.Counter(log)
    test.assertEqual(len(log), threads * per_thread)
    test.assertEqual(got - expected, collections.Counter(), 'records not sent, or mixed')
    test.assertEqual(expected - got, collections.Counter(), 'records lost')
    for t in range(threads):
        mine = [entry for entry in log if entry.startswith('info %d ' % (100 + t))]
        test.assertEqual(mine, [line(t, i) for i in range(per_thread)], 'order')


def assert_forks_logged(test, result, forks, senders, first=()):
    """After `log_probe forks` or `early-forks`: every child ended and its
    three records arrived once; every background sender's arrived once, in
    order, none failed; the log holds nothing else but the lines first."""
    test.assertEqual(result.returncode, 0, result.stdout + result.stderr)
    lines = result.stdout.splitlines()
    test.assertEqual(lines[0], 'children %d of %d' % (forks, forks))
    test.assertEqual(lines[-1], 'background failures 0')
    sent = [int(_SENT.match(line).group(2)) for line in lines[1:-1]]
    test.assertEqual(len(sent), senders)
    test.assertEqual(result.log[:len(first)], list(first))
    children = collections.Counter(entry for entry in result.log[len(first):]
                                   if _CHILD.match(entry))
    expected = collections.Counter()
    for k in range(forks):
        expected.update(['info 300 child %d' % k, 'info 20001 log_probe: child %d front' % k,
                         'info 301 ints[1]: %d' % k])
    test.assertEqual(children, expected)
    for t, count in enumerate(sent):
        mine = [entry for entry in result.log if entry.startswith('info %d ' % (200 + t))]
        test.assertEqual(mine, ['info %d background %d %d' % (200 + t, t, n)
                                for n in range(count)])
    test.assertEqual(len(result.log), len(first) + 3 * forks + sum(sent))
