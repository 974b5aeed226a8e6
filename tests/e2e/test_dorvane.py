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


class DorvaneCase(SandboxCase):
    """A fresh sandbox whose debug device is an empty plain file."""

    def setUp(self):
        super().setUp()
        self.make_device(DEBUG)

    def make_device(self, inside):
        """An empty plain file standing for a device: it collects the frames."""
        os.makedirs(os.path.dirname(self.sb.path(inside)), exist_ok=True)
        Path(self.sb.path(inside)).write_bytes(b'')

    def run_tool(self, *args):
        return self.sb.run('dorvane', *args)

    def frames(self, inside=DEBUG):
        """(code, record bytes) of every frame in a device file."""
        return wire.frames(Path(self.sb.path(inside)).read_bytes())

    def assert_start_records(self, result):
        """The two records every run begins with, before any tool line."""
        self.assertGreaterEqual(len(result.records), 2, result)
        sev, code, text = result.records[0]
        self.assertEqual((sev, code), (INFO, STARTED_CODE))
        self.assertRegex(text, r'^dorvane: process started PID=0x[0-9A-F]{8}$')
        self.assertEqual(result.records[1], (INFO, TEXT_CODE, 'dorvane: Label: ? QNX: ? Built: ?'))

    def tool_lines(self, result):
        """The records after the start-up pair."""
        self.assert_start_records(result)
        return result.records[2:]

    def assert_sent(self, args, code, record, device=DEBUG):
        """One run on fresh devices sends this one frame on device."""
        for inside in {DEBUG, device}:
            self.make_device(inside)
        result = self.run_tool(*args)
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(result.stdout, '')
        self.assertEqual(self.frames(device), [(code, record)], args)
        return result


class RequestsTest(DorvaneCase):
    def test_no_options_send_connect_and_fade_of_zeros_with_only_start_records(self):
        result = self.assert_sent([], CONNECT_AND_FADE, words(0, 0, 0, 0))
        self.assertEqual(self.tool_lines(result), [])

    def test_connect_and_fade_words(self):
        self.assert_sent(['-z', '3', '-O', '1', '-S', '4', '-s', '5'], CONNECT_AND_FADE,
                         words(3, 1, 4, 5))

    def test_direct_connect_reorders_words_and_logs_its_call(self):
        result = self.assert_sent(['-z', '3', '-O', '9', '-S', '4', '-s', '5', '-g'],
                                  DIRECT_CONNECT, words(3, 4, 5, 9))
        lines = self.tool_lines(result)
        self.assertEqual(len(lines), 1, lines)
        self.assertEqual(lines[0][:2], (ERROR, TEXT_CODE))
        self.assertRegex(lines[0][2], r'^dorvane: dorvane:  direct connect called: \S')

    def test_enable_disable_carries_words_and_path_text(self):
        self.assert_sent(['-a', '1', '-f', '/a/b'], ENABLE_DISABLE,
                         words(1, 0, 0, 0, 0, 0) + b'/a/b' + bytes(280 - 28))

    def test_path_by_name_and_by_id(self):
        self.assert_sent(['-x', '0'], PATH_NAME, bytes(264))
        self.assert_sent(['-x', '0', '-f', '/media/usb'], PATH_NAME,
                         b'/media/usb' + bytes(264 - 10))
        self.assert_sent(['-x', '1', '-y', '7'], PATH_ID, words(7, 0, 0))

    def test_pause_and_resume_go_to_the_p_device_only(self):
        self.assert_sent(['-p', A2I, '-O', '2'], PAUSE_RESUME, words(0), device=A2I)
        self.assertEqual(self.frames(DEBUG), [])
        self.assert_sent(['-O', '3', '-p', A2I], PAUSE_RESUME, words(1), device=A2I)

    def test_precedence_a_then_x_then_g_then_source(self):
        self.make_device(A2I)
        cases = [
            (['-O', '2', '-g', '-x', '1', '-a', '0', '-p', A2I], ENABLE_DISABLE),
            (['-O', '2', '-g', '-x', '1', '-p', A2I], PATH_ID),
            (['-O', '2', '-g', '-p', A2I], DIRECT_CONNECT),
        ]
        for args, code in cases:
            self.make_device(DEBUG)
            result = self.run_tool(*args)
            self.assertEqual(result.returncode, 0, result)
            self.assertEqual([c for c, _ in self.frames()], [code], args)
            self.assertEqual(self.frames(A2I), [], args)


class RefusalsTest(DorvaneCase):
    def assert_refused(self, args, stdout, lines):
        """Nothing sent anywhere, exit status 0, and these words said."""
        self.make_device(A2I)
        result = self.run_tool(*args)
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(result.stdout, stdout)
        self.assertEqual(self.frames(DEBUG) + self.frames(A2I), [], args)
        self.assertEqual(self.tool_lines(result), lines)

    def test_x_other_than_0_or_1_logs_signed_value_and_sends_nothing(self):
        for value, shown in (('2', '2'), ('4294967295', '-1')):
            self.assert_refused(['-x', value], '', [
                (ERROR, TEXT_CODE, r'dorvane: dorvane:  invalid parameter x:%s \n' % shown)])

    def test_source_above_3_complains_on_standard_output(self):
        for value in ('4', '-1'):
            self.assert_refused(['-O', value, '-p', A2I],
                                'dorvane:  Incorrect source parameter! \n', [])

    def test_source_2_or_3_without_p_sends_nothing_and_says_so(self):
        for value in ('2', '3'):
            self.assert_refused(['-O', value], '', [
                (ERROR, TEXT_CODE, r'dorvane: dorvane:  no -p device given for source %s \n' % value)])

    def test_failing_request_logs_one_line_naming_it_and_exits_0(self):
        os.remove(self.sb.path(DEBUG))
        os.symlink('/dev/full', self.sb.path(DEBUG))
        for args, name in (([], 'DCMD_DEBUG_AC_CONNECT_AND_FADE'),
                           (['-a', '1'], 'DCMD_DEBUG_NEW_ENABLE_DISABLE')):
            result = self.run_tool(*args)
            self.assertEqual(result.returncode, 0, result)
            self.assertEqual(self.tool_lines(result), [
                (ERROR, TEXT_CODE,
                 'dorvane: dorvane:  devctl( %s ) failed: No space left on device' % name)])


class OptionsTest(DorvaneCase):
    def test_bad_letter_and_missing_argument_each_print_a_line_and_request_still_goes(self):
        result = self.run_tool('-h', '-z', '6', '-q', '-O')
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(result.stdout, 'dorvane:  Wrong Input parameter! \n' * 3)
        self.assertEqual(self.frames(), [(CONNECT_AND_FADE, words(6, 0, 0, 0))])
        self.assertEqual(self.tool_lines(result), [])

    def test_options_end_at_first_operand_or_double_dash(self):
        self.assert_sent(['-z', '1', 'operand', '-z', '2', '-g'], CONNECT_AND_FADE,
                         words(1, 0, 0, 0))
        self.assert_sent(['-z', '1', '--', '-g'], CONNECT_AND_FADE, words(1, 0, 0, 0))

    def test_d_and_e_share_a_field_and_the_later_wins(self):
        self.assert_sent(['-a', '1', '-d', '5', '-e', '7'], ENABLE_DISABLE,
                         words(1, 0, 0, 7, 0, 0) + bytes(256))
        self.assert_sent(['-a', '1', '-e', '7', '-d', '5'], ENABLE_DISABLE,
                         words(1, 0, 0, 5, 0, 0) + bytes(256))

    def test_second_f_leaves_the_tail_of_the_first(self):
        self.assert_sent(['-a', '2', '-f', '/long/path', '-f', '/ab'], ENABLE_DISABLE,
                         words(2, 0, 0, 0, 0, 0) + b'/ab\0g/path' + bytes(246))

    def test_numbers_convert_as_on_the_32_bit_target(self):
        cases = [
            (['-z', '0x1F', '-S', '017', '-s', '12abc'], (31, 15, 12)),
            (['-z', 'abc', '-S', '-1', '-s', '4294967296'], (0, 0xFFFFFFFF, 0xFFFFFFFF)),
            (['-z', '-4294967296', '-S', '-4294967295', '-s', '-0x80000001'],
             (0xFFFFFFFF, 1, 0x7FFFFFFF)),
            (['-z', '99999999999999999999', '-S', '0X7fffffff', '-s', '037777777777'],
             (0xFFFFFFFF, 0x7FFFFFFF, 0xFFFFFFFF)),
        ]
        for args, (z, big_s, s) in cases:
            self.assert_sent(args + ['-g'], DIRECT_CONNECT, words(z, big_s, s, 0))

    def test_refused_f_sends_no_request_that_carries_a_path(self):
        # Neither the earlier text nor an empty one goes in its place.
        cases = [
            (['-x', '0', '-f', '/good', '-f', '/' + 'p' * 119], 120, 'DCMD_BROWSER_SELECT_PATH_NAME'),
            (['-a', '1', '-f', '/' + 'p' * 99], 100, 'DCMD_DEBUG_NEW_ENABLE_DISABLE'),
        ]
        for args, length, name in cases:
            self.make_device(DEBUG)
            result = self.run_tool(*args)
            self.assertEqual(result.returncode, 0, result)
            self.assertEqual(self.frames(), [], args)
            self.assertEqual(self.tool_lines(result), [
                (ERROR, TEXT_CODE,
                 r'dorvane: dorvane:  -f path too long: %d characters, at most 99 \n' % length),
                (ERROR, TEXT_CODE,
                 r'dorvane: dorvane:  %s not sent: a -f path was refused \n' % name)])
        # A request that carries no path goes as usual.
        self.assert_sent(['-x', '1', '-y', '2', '-f', '/' + 'p' * 99], PATH_ID, words(2, 0, 0))

    def test_f_of_99_characters_fills_path_text(self):
        text = b'/' + b'q' * 98
        result = self.assert_sent(['-x', '0', '-f', text.decode()], PATH_NAME,
                                  text + bytes(264 - 99))
        self.assertEqual(self.tool_lines(result), [])


class DevicesTest(DorvaneCase):
    def test_debug_device_missing_exits_1_before_reading_options(self):
        os.remove(self.sb.path(DEBUG))
        result = self.run_tool('-h', '-O', '1')
        self.assertEqual(result.returncode, 1, result)
        self.assertEqual(result.stdout, '')
        self.assertEqual(self.tool_lines(result), [
            (ERROR, TEXT_CODE, r'dorvane: dorvane:  open() failed: No such file or directory \n')])

    def test_p_device_that_cannot_be_opened_exits_1_and_sends_nothing(self):
        result = self.run_tool('-z', '1', '-p', '/dev/vellmar/none', '-h')
        self.assertEqual(result.returncode, 1, result)
        self.assertEqual(result.stdout, '', 'options after -p are not read')
        self.assertEqual(self.frames(), [])
        self.assertEqual(self.tool_lines(result), [
            (ERROR, TEXT_CODE, r'dorvane: dorvane:  open() failed: No such file or directory \n')])

    def test_second_p_device_replaces_the_first(self):
        first = '/dev/vellmar/first'
        self.make_device(first)
        self.assert_sent(['-p', first, '-p', A2I, '-O', '3'], PAUSE_RESUME, words(1), device=A2I)
        self.assertEqual(self.frames(first), [])
        self.assertEqual(self.frames(DEBUG), [])

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
        result = self.run_tool('-x', '1', '-y', '0x10')
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(os.read(reader, 4096), words(PATH_ID, 12) + words(16, 0, 0))


if __name__ == '__main__':
    unittest.main()
