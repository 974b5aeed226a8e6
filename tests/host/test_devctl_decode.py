"""devctl-decode as a process: its exit statuses, its JSON, a live FIFO."""

import json
import os
import select
import subprocess
import sys
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import build, tools
from harness.wire import frame, words

DECODER = build.program('devctl-decode')
PATH_ID = frame(0x80041133, words(7, 0, 0))


class DevctlDecode(unittest.TestCase):
    def setUp(self):
        self.directory = tools.scratch(self, 'devdecode-')

    def decode(self, *args, data=b''):
        return tools.run(DECODER + list(args), input=data, text=False)

    def test_exit_status_says_sound_flagged_or_failed(self):
        path = os.path.join(self.directory, 'capture')
        Path(path).write_bytes(PATH_ID)
        cases = [
            ([path], b'', 0, b''),
            (['-'], PATH_ID + frame(0x80041133, b'\0' * 4), 1, b''),
            ([], PATH_ID[:5], 1, b''),
            ([self.directory], b'', 2, b'devctl-decode: %s: Is a directory\n' % self.directory.encode()),
            ([path + '.missing'], b'', 2,
             b'devctl-decode: %s.missing: No such file or directory\n' % path.encode()),
        ]
        for args, data, status, stderr in cases:
            with self.subTest(args=args):
                result = self.decode(*args, data=data)
                self.assertEqual((result.returncode, result.stderr), (status, stderr), result)
        self.assertEqual(self.decode(self.directory).stdout, b'')  # no count passes for the stream
        self.assertTrue(self.decode(path).stdout.endswith(b'\n1 frame, 0 flagged\n'))
        for args in ([path], ['--format', 'json', path]):  # the output's error, not errno's last
            result = tools.to_full_disk(DECODER + args)
            self.assertEqual((result.returncode, result.stderr),
                             (2, 'devctl-decode: standard output: No space left on device\n'))

    def test_usage_errors_go_to_standard_error_with_status_2(self):
        helps, errors = tools.assert_usage(self, DECODER, 2, (
            (['--foo'], "unrecognized option '--foo'\n"),
            (['--format', 'xml'], "bad --format 'xml'"), (['a', 'b'], "one FILE at most")))
        for output in helps + errors:
            self.assertIn('usage: devctl-decode', output)

    def test_json_parses_one_object_per_frame(self):
        result = self.decode('--format', 'json', data=PATH_ID + frame(0x1, b'\xff'))
        self.assertEqual(result.returncode, 1)
        objects = [json.loads(line) for line in result.stdout.decode().splitlines()]
        self.assertEqual(objects, [
            {'offset': 0, 'code': 0x80041133, 'name': 'DCMD_BROWSER_SELECT_PATH_ID', 'size': 12,
             'fields': [{'offset': 0, 'name': 'y', 'value': 7},
                        {'offset': 4, 'name': 'reserved', 'value': 0},
                        {'offset': 8, 'name': 'reserved', 'value': 0}], 'flags': []},
            {'offset': 20, 'code': 1, 'name': None, 'size': 1, 'fields': [],
             'flags': ['unknown_command']}])

    def test_a_frame_on_a_fifo_shows_before_the_writer_closes(self):
        fifo = os.path.join(self.directory, 'debug')
        os.mkfifo(fifo)
        decoder = subprocess.Popen(DECODER + [fifo], stdout=subprocess.PIPE)
        self.addCleanup(lambda: decoder.poll() is None and decoder.kill())
        with open(fifo, 'wb', buffering=0) as writer:
            writer.write(PATH_ID)
            ready, _, _ = select.select([decoder.stdout], [], [], 30)
            self.assertTrue(ready, 'nothing shown while the writer is still there')
            self.assertEqual(decoder.stdout.readline(),
                             b'#1 @0  DCMD_BROWSER_SELECT_PATH_ID  0x80041133  12 bytes\n')
        self.assertEqual(decoder.wait(timeout=30), 0)


if __name__ == '__main__':
    unittest.main()
