"""Every manual page as man shows it in a terminal of 80 columns: no line
wider, and nothing groff warns about."""

import glob
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import build

PAGES = sorted(glob.glob(os.path.join(build.SOURCE_DIR, 'docs', 'man', '*.[1-8]')))


class ManualPages(unittest.TestCase):
    def test_every_page_renders_within_80_columns(self):
        if shutil.which('man') is None:
            self.skipTest('man is not installed (scripts/install-deps test installs man-db)')
        self.assertGreaterEqual(len(PAGES), 7)
        env = dict(os.environ, MANWIDTH='80', LC_ALL='C.UTF-8', MANPAGER='cat')
        env.pop('MAN_KEEP_FORMATTING', None)
        for page in PAGES:
            with self.subTest(page=os.path.basename(page)):
                result = subprocess.run(['man', '--warnings', '-l', page], capture_output=True,
                                        env=env, timeout=60)
                self.assertEqual((result.returncode, result.stderr.decode()), (0, ''))
                lines = result.stdout.decode('utf-8').splitlines()
                self.assertGreater(len(lines), 20)
                self.assertEqual([line for line in lines if len(line) > 80], [])


if __name__ == '__main__':
    unittest.main()
