"""dorvane end to end: the real program in the sandbox, its requests read back
as frames from the debug device (a plain file) and its lines from the host
logger."""

import os
import sys
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import wire
from harness.sandbox import SandboxCase
from harness.wire import STARTED_CODE, TEXT_CODE, words

CONNECT_AND_FADE = 0x80041101
ENABLE_DISABLE = 0x80041102
DIRECT_CONNECT = 0x80041103
PAUSE_RESUME = 0x80041122
PATH_NAME = 0x80041132
PATH_ID = 0x80041133

ERROR = 'error'  # severity 2
INFO = 'info'  # severity 5

DEBUG = '/dev/vellmar/debug'
A2I = '/dev/vellmar/a2i'


def said(text):
    """The record of one of the tool's own error lines."""
    return (ERROR, TEXT_CODE, 'dorvane: dorvane:  %s \\n' % text)


NOT_OPENED = said('open() failed: No such file or directory')


class DorvaneCase(SandboxCase):
    """A fresh sandbox whose debug device is an empty plain file."""

    def setUp(self):
        super().setUp()
        self.make_device(DEBUG)

    def make_device(self, inside):
        """An empty plain file standing for a device: it collects the frames."""
        os.makedirs(os.path.dirname(self.sb.path(inside)), exist_ok=True)
        Path(self.sb.path(inside)).write_bytes(b'')

    def run_tool(self, *args, status=0):
        result = self.sb.run('dorvane', *args)
        self.assertEqual(result.returncode, status, result)
        return result

    def frames(self, inside=DEBUG):
        """(code, record bytes) of every frame in a device file."""
        return wire.frames(Path(self.sb.path(inside)).read_bytes())

    def tool_lines(self, result):
        """The records after the two every run begins with."""
        self.assertGreaterEqual(len(result.records), 2, result)
        sev, code, text = result.records[0]
        self.assertEqual((sev, code), (INFO, STARTED_CODE))
        self.assertRegex(text, r'^dorvane: process started PID=0x[0-9A-F]{8}$')
        self.assertEqual(result.records[1], (INFO, TEXT_CODE, 'dorvane: Label: ? QNX: ? Built: ?'))
        return result.records[2:]

    def assert_sent(self, args, code, record, device=DEBUG, said=()):
        """One run on fresh devices sends this one frame on device, nothing on
        the debug device besides, and logs what was said, or a direct connect's call."""
        for inside in {DEBUG, device}:
            self.make_device(inside)
        result = self.run_tool(*args)
        self.assertEqual(result.stdout, '')
        self.assertEqual(self.frames(device), [(code, record)], args)
        if device != DEBUG:
            self.assertEqual(self.frames(DEBUG), [], args)
        lines = self.tool_lines(result)
        if code != DIRECT_CONNECT:
            self.assertEqual(lines, list(said), args)
            return
        self.assertEqual(len(lines), 1, lines)
        self.assertEqual(lines[0][:2], (ERROR, TEXT_CODE))
        self.assertRegex(lines[0][2], r'^dorvane: dorvane:  direct connect called: \S')


class RequestsTest(DorvaneCase):
    def test_each_request_carries_its_words_and_text(self):
        for args, code, record, *device in [
                # No options: connect and fade of zeros, only the start records.
                ([], CONNECT_AND_FADE, words(0, 0, 0, 0)),
                (['-z', '3', '-O', '1', '-S', '4', '-s', '5'], CONNECT_AND_FADE, words(3, 1, 4, 5)),
                # Direct connect reorders the words and logs its call.
                (['-z', '3', '-O', '9', '-S', '4', '-s', '5', '-g'], DIRECT_CONNECT,
                 words(3, 4, 5, 9)),
                (['-a', '1', '-f', '/a/b'], ENABLE_DISABLE,
                 words(1, 0, 0, 0, 0, 0) + b'/a/b' + bytes(280 - 28)),
                (['-x', '0'], PATH_NAME, bytes(264)),
                (['-x', '0', '-f', '/media/usb'], PATH_NAME, b'/media/usb' + bytes(264 - 10)),
                (['-x', '0', '-f', '/' + 'q' * 98], PATH_NAME, b'/' + b'q' * 98 + bytes(264 - 99)),
                (['-x', '1', '-y', '7'], PATH_ID, words(7, 0, 0)),
                # Pause and resume go to the -p device only.
                (['-p', A2I, '-O', '2'], PAUSE_RESUME, words(0), A2I),
                (['-O', '3', '-p', A2I], PAUSE_RESUME, words(1), A2I),
                # Options end at the first operand or "--".
                (['-z', '1', 'operand', '-z', '2', '-g'], CONNECT_AND_FADE, words(1, 0, 0, 0)),
                (['-z', '1', '--', '-g'], CONNECT_AND_FADE, words(1, 0, 0, 0)),
                # -d and -e share a field: the later wins.
                (['-a', '1', '-d', '5', '-e', '7'], ENABLE_DISABLE,
                 words(1, 0, 0, 7, 0, 0) + bytes(256)),
                (['-a', '1', '-e', '7', '-d', '5'], ENABLE_DISABLE,
                 words(1, 0, 0, 5, 0, 0) + bytes(256)),
                # A second -f leaves the tail of the first.
                (['-a', '2', '-f', '/long/path', '-f', '/ab'], ENABLE_DISABLE,
                 words(2, 0, 0, 0, 0, 0) + b'/ab\0g/path' + bytes(246)),
                # A refused -f does not hold up a request that carries no path.
                (['-x', '1', '-y', '2', '-f', '/' + 'p' * 99], PATH_ID, words(2, 0, 0), DEBUG,
                 [said('-f path too long: 100 characters, at most 99')]),
                # Numbers convert as on the 32-bit target.
                (['-z', '0x1F', '-S', '017', '-s', '12abc', '-g'], DIRECT_CONNECT,
                 words(31, 15, 12, 0)),
                (['-z', 'abc', '-S', '-1', '-s', '4294967296', '-g'], DIRECT_CONNECT,
                 words(0, 0xFFFFFFFF, 0xFFFFFFFF, 0)),
                (['-z', '-4294967296', '-S', '-4294967295', '-s', '-0x80000001', '-g'],
                 DIRECT_CONNECT, words(0xFFFFFFFF, 1, 0x7FFFFFFF, 0)),
                (['-z', '99999999999999999999', '-S', '0X7fffffff', '-s', '037777777777', '-g'],
                 DIRECT_CONNECT, words(0xFFFFFFFF, 0x7FFFFFFF, 0xFFFFFFFF, 0))]:
            with self.subTest(args=args):
                self.assert_sent(args, code, record, *device)

    def test_precedence_a_then_x_then_g_then_source(self):
        self.make_device(A2I)
        for args, code in ((['-O', '2', '-g', '-x', '1', '-a', '0', '-p', A2I], ENABLE_DISABLE),
                           (['-O', '2', '-g', '-x', '1', '-p', A2I], PATH_ID),
                           (['-O', '2', '-g', '-p', A2I], DIRECT_CONNECT)):
            self.make_device(DEBUG)
            self.run_tool(*args)
            self.assertEqual([c for c, _ in self.frames()], [code], args)
            self.assertEqual(self.frames(A2I), [], args)

    def test_bad_letter_and_missing_argument_each_print_a_line_and_request_still_goes(self):
        result = self.run_tool('-h', '-z', '6', '-q', '-O')
        self.assertEqual(result.stdout, 'dorvane:  Wrong Input parameter! \n' * 3)
        self.assertEqual(self.frames(), [(CONNECT_AND_FADE, words(6, 0, 0, 0))])
        self.assertEqual(self.tool_lines(result), [])


class RefusalsTest(DorvaneCase):
    def test_refused_requests_send_nothing_anywhere_and_say_why(self):
        source = 'dorvane:  Incorrect source parameter! \n'
        too_long = '-f path too long: %d characters, at most 99'
        not_sent = '%s not sent: a -f path was refused'
        for args, stdout, lines in [
                # -x other than 0 or 1 logs its signed value.
                (['-x', '2'], '', [said('invalid parameter x:2')]),
                (['-x', '4294967295'], '', [said('invalid parameter x:-1')]),
                # A source above 3 complains on standard output.
                (['-O', '4', '-p', A2I], source, []),
                (['-O', '-1', '-p', A2I], source, []),
                # Source 2 or 3 without -p.
                (['-O', '2'], '', [said('no -p device given for source 2')]),
                (['-O', '3'], '', [said('no -p device given for source 3')]),
                # A refused -f: neither the earlier text nor an empty one goes in its place.
                (['-x', '0', '-f', '/good', '-f', '/' + 'p' * 119], '',
                 [said(too_long % 120), said(not_sent % 'DCMD_BROWSER_SELECT_PATH_NAME')]),
                (['-a', '1', '-f', '/' + 'p' * 99], '',
                 [said(too_long % 100), said(not_sent % 'DCMD_DEBUG_NEW_ENABLE_DISABLE')])]:
            with self.subTest(args=args):
                for inside in (DEBUG, A2I):
                    self.make_device(inside)
                result = self.run_tool(*args)
                self.assertEqual(result.stdout, stdout)
                self.assertEqual(self.frames(DEBUG) + self.frames(A2I), [], args)
                self.assertEqual(self.tool_lines(result), lines)

    def test_failing_request_logs_one_line_naming_it_and_exits_0(self):
        os.remove(self.sb.path(DEBUG))
        os.symlink('/dev/full', self.sb.path(DEBUG))
        for args, name in (([], 'DCMD_DEBUG_AC_CONNECT_AND_FADE'),
                           (['-a', '1'], 'DCMD_DEBUG_NEW_ENABLE_DISABLE')):
            result = self.run_tool(*args)
            self.assertEqual(self.tool_lines(result), [
                (ERROR, TEXT_CODE,
                 'dorvane: dorvane:  devctl( %s ) failed: No space left on device' % name)])


class DevicesTest(DorvaneCase):
    def test_a_device_that_cannot_be_opened_exits_1_and_ends_the_options(self):
        # The debug device before any option; a -p device where it stands,
        # sending nothing.
        for args in (['-h', '-O', '1'], ['-z', '1', '-p', '/dev/vellmar/none', '-h']):
            with self.subTest(args=args):
                self.make_device(DEBUG)
                if args[0] == '-h':
                    os.remove(self.sb.path(DEBUG))
                result = self.run_tool(*args, status=1)
                self.assertEqual(result.stdout, '', 'options after it are not read')
                self.assertEqual(self.tool_lines(result), [NOT_OPENED])
                if args[0] != '-h':
                    self.assertEqual(self.frames(), [])

    def test_second_p_device_replaces_the_first(self):
        first = '/dev/vellmar/first'
        self.make_device(first)
        self.assert_sent(['-p', first, '-p', A2I, '-O', '3'], PAUSE_RESUME, words(1), device=A2I)
        self.assertEqual(self.frames(first), [])

    def test_fifo_devices_without_a_reader_do_not_hold_up_the_run(self):
        # Opened read-write, as on the unit: a write-only open of a FIFO
        # would wait for a reader that never comes.
        os.remove(self.sb.path(DEBUG))
        for inside in (DEBUG, A2I):
            os.mkfifo(self.sb.path(inside))
        result = self.sb.run('dorvane', '-p', A2I, '-O', '3', timeout=30)
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(self.tool_lines(result), [])

    def test_device_is_a_fifo_with_a_reader_elsewhere(self):
        # A simulator reading a FIFO sees the frame as it is sent.
        os.remove(self.sb.path(DEBUG))
        os.mkfifo(self.sb.path(DEBUG))
        reader = os.open(self.sb.path(DEBUG), os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader)
        self.run_tool('-x', '1', '-y', '0x10')
        self.assertEqual(os.read(reader, 4096), words(PATH_ID, 12) + words(16, 0, 0))


if __name__ == '__main__':
    unittest.main()
