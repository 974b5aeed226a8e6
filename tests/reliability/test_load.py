"""Load on the real client through the host layer to the host logger, in the
sandbox: many threads at once, and forks while threads log."""

import collections
import re
import unittest

from sandbox import Sandbox
import support

PAD_LIMIT = 400


def load_line(t, i):
    # As log_probe's `load` mode writes it: the thread's letter as filling.
    pad = (i * 37 + t * 11) % PAD_LIMIT
    return 'info %d load %d %d %s' % (100 + t, t, i, chr(ord('a') + t % 26) * pad)


class Threads(unittest.TestCase):
    def test_records_of_eight_threads_arrive_whole_once_and_unmixed(self):
        threads, per_thread = 8, support.load(10000, 2500)
        sb = Sandbox.for_test(self)
        result = sb.run('log_probe', 'load', threads, per_thread, timeout=600)
        self.assertEqual(result.returncode, 0, result.stderr)
        # Every call got its own record's byte count back.
        self.assertEqual(result.stdout, 'failures 0 wrong replies 0\n')
        expected = collections.Counter(load_line(t, i) for t in range(threads)
                                       for i in range(per_thread))
        got = collections.Counter(result.log)
        self.assertEqual(len(result.log), threads * per_thread)
        self.assertEqual(got - expected, collections.Counter(), 'records not sent, or mixed')
        self.assertEqual(expected - got, collections.Counter(), 'records lost')
        for t in range(threads):
            mine = [line for line in result.log if line.startswith('info %d ' % (100 + t))]
            self.assertEqual(mine, [load_line(t, i) for i in range(per_thread)], 'order')


SENT = re.compile(r'^background (\d+) sent (\d+)$')


class Forks(unittest.TestCase):
    def test_forks_while_threads_log_neither_hang_nor_lose_records(self):
        forks, threads = support.load(200, 50), 4
        sb = Sandbox.for_test(self)
        result = sb.run('log_probe', 'forks', forks, threads, timeout=600)
        # log_probe gives each child 30 s to finish before it counts it stuck.
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], 'children %d of %d' % (forks, forks))
        self.assertEqual(lines[-1], 'background failures 0')
        sent = [int(SENT.match(line).group(2)) for line in lines[1:-1]]
        self.assertEqual(len(sent), threads)

        children = collections.Counter(
            line for line in result.log if re.match(r'info (300|301) |info 20001 ', line))
        expected = collections.Counter()
        for k in range(forks):
            expected.update(['info 300 child %d' % k, 'info 20001 log_probe: child %d front' % k,
                             'info 301 ints[1]: %d' % k])
        self.assertEqual(children, expected)
        for t in range(threads):
            mine = [line for line in result.log if line.startswith('info %d ' % (200 + t))]
            self.assertEqual(mine, ['info %d background %d %d' % (200 + t, t, n)
                                    for n in range(sent[t])])
        self.assertEqual(len(result.log), 3 * forks + sum(sent))


if __name__ == '__main__':
    unittest.main()
