"""Load on the real client through the host layer to the host logger, in the
sandbox: many threads at once, and forks while threads log."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import loads
from harness.sandbox import Sandbox

PAD_LIMIT = 400


def load_line(t, i):
    # As log_probe's `load` mode writes it: the thread's letter as filling.
    pad = (i * 37 + t * 11) % PAD_LIMIT
    return 'info %d load %d %d %s' % (100 + t, t, i, chr(ord('a') + t % 26) * pad)


class Threads(unittest.TestCase):
    def test_records_of_eight_threads_arrive_whole_once_and_unmixed(self):
        threads, per_thread = 8, loads.load(10000, 2500)
        sb = Sandbox.for_test(self)
        result = sb.run('log_probe', 'load', threads, per_thread, timeout=600)
        self.assertEqual(result.returncode, 0, result.stderr)
        # Every call got its own record's byte count back.
        self.assertEqual(result.stdout, 'failures 0 wrong replies 0\n')
        loads.assert_threads_logged(self, result.log, threads, per_thread, load_line)


class Forks(unittest.TestCase):
    def test_forks_while_threads_log_neither_hang_nor_lose_records(self):
        forks, threads = loads.load(200, 50), 4
        sb = Sandbox.for_test(self)
        result = sb.run('log_probe', 'forks', forks, threads, timeout=600)
        # log_probe gives each child 30 s to finish before it counts it stuck.
        loads.assert_forks_logged(self, result, forks, threads)


if __name__ == '__main__':
    unittest.main()
