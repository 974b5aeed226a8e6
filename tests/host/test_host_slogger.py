"""host-slogger as a process: its socket, its clients, its lines, its stop,
the reader of /dev/slog files."""

import codecs
import datetime
import errno
import json
import os
import pty
import resource
import select
import signal
import socket
import subprocess
import sys
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import build, tools, wire
from harness.logger import COMMAND as LOGGER, Logger, parse_entry
from harness.sandbox import Sandbox
from harness.wire import exchange


def message(payload, code=1, severity=13, **header):
    """A packet of one record: a str is sent as a text, bytes as they are."""
    record = (wire.text(payload, code, severity) if isinstance(payload, str) else
              wire.record(payload, code, severity))
    return wire.message(record, **header)


# A session on the terminal argv[1], set to `stty tostop`, in which the
# command argv[2:] runs in a background process group, as sandbox-run starts
# its logger on an interactive terminal. Prints the command's pid.
TOSTOP_SESSION = r'''
import fcntl, os, subprocess, sys, termios
terminal = int(sys.argv[1])
fcntl.ioctl(terminal, termios.TIOCSCTTY, 0)
modes = termios.tcgetattr(terminal)
modes[3] |= termios.TOSTOP
termios.tcsetattr(terminal, termios.TCSANOW, modes)
command = subprocess.Popen(sys.argv[2:], stdout=terminal, stderr=terminal, process_group=0)
print(command.pid, flush=True)
sys.exit(command.wait())
'''


def latin1_view(error):
    """Each byte of an invalid UTF-8 sequence as the character of its number."""
    return error.object[error.start:error.start + 1].decode('latin-1'), error.start + 1


codecs.register_error('latin1-view', latin1_view)


class HostSlogger(unittest.TestCase):
    def setUp(self):
        self.directory = tools.scratch(self, 'slogger-')

    def start(self, *args, fresh=False, **kwargs):
        """A logger in the test's directory, or in a fresh one for each sub-test."""
        directory = tools.scratch(self, 'slogger-') if fresh else self.directory
        return Logger(directory, *args, **kwargs).stop_at_cleanup(self)

    def replies(self, logger, texts, **fields):
        """The logger's answer to each text, sent on one connection."""
        client = logger.connect()
        return [exchange(client, message(text, **fields)) for text in texts]

    def test_many_clients_held_open_are_all_served(self):
        logger = self.start()
        clients = [logger.connect() for _ in range(40)]
        for round_ in range(3):
            for n, client in enumerate(clients):
                self.assertGreater(exchange(client, message('c%d r%d' % (n, round_))), 0)
        self.assertEqual(len(logger.lines()), 120)
        self.assertIn('info 1 c39 r2', logger.lines())

    def test_hostile_clients_do_not_stop_the_service(self):
        logger = self.start()
        client = logger.connect()
        self.assertEqual(exchange(client, b'x' * 70000), -errno.EMSGSIZE)
        self.assertEqual(exchange(client, b''), -errno.EINVAL)
        self.assertEqual(exchange(client, message('x', count=1)), -errno.EINVAL)
        half = logger.connect()
        half.shutdown(socket.SHUT_WR)
        self.assertEqual(half.recv(8), b'')  # the logger let it go
        self.assertEqual(exchange(client, message('still here')), 23)
        self.assertEqual(logger.lines(), ['info 1 still here'])
        stderr = logger.stop()
        self.assertIn('host-slogger: client pid %d: packet larger than 65536 bytes' % os.getpid(),
                      stderr)
        self.assertIn('short packet (0 bytes)', stderr)

    def test_client_that_reads_no_replies_is_dropped(self):
        logger = self.start()
        greedy = logger.connect()
        greedy.settimeout(5)
        with self.assertRaises(OSError):
            for _ in range(1000):
                greedy.send(message('unread'))
        self.assertEqual(exchange(logger.connect(), message('next')), 17)
        self.assertIn('reads no replies; dropped', logger.stop())

    def test_stop_removes_its_socket_and_a_restart_appends(self):
        first = self.start()
        exchange(first.connect(), message('first'))
        self.assertEqual(first.stop(), '')
        self.assertEqual(first.process.returncode, 0)
        self.assertFalse(os.path.exists(first.socket))
        second = self.start()
        exchange(second.connect(), message('second'))
        self.assertEqual(second.lines(), ['info 1 first', 'info 1 second'])

    def test_a_stop_answers_and_logs_every_record_already_sent(self):
        # Sent while the logger is stopped: on a connection it has taken, and
        # on connections still queued on its socket when SIGTERM comes.
        logger = self.start()
        taken = logger.connect()
        self.assertEqual(exchange(taken, message('before')), 19)
        logger.process.send_signal(signal.SIGSTOP)
        self.addCleanup(lambda: logger.process.poll() is None and
                        logger.process.send_signal(signal.SIGCONT))
        clients = [taken] + [logger.connect() for _ in range(3)]
        for n, client in enumerate(clients):
            client.send(message('pending %d' % n))
        logger.process.send_signal(signal.SIGTERM)
        logger.process.send_signal(signal.SIGCONT)
        self.assertEqual([wire.reply(c.recv(8)) for c in clients], [22] * 4)
        self.assertEqual(logger.process.wait(timeout=30), 0)
        self.assertEqual(sorted(logger.lines()),
                         ['info 1 before'] + ['info 1 pending %d' % n for n in range(4)])
        self.assertFalse(os.path.exists(logger.socket))

    def test_started_with_standard_descriptors_closed_it_serves_on(self):
        # As a daemon is often started. Without an output file the lines go
        # to the closed standard output: lost, and never read back as a stop.
        for closed, output in (((0, 1, 2), 'log'), ((0, 1), None), ((0, 1), 'log')):
            with self.subTest(closed=closed, output=output):
                logger = self.start(output=output, closed=closed, fresh=True)
                client = logger.connect()
                self.assertEqual(exchange(client, message('one')), 16)
                self.assertEqual(exchange(client, message('x', type=0x102)), -errno.EINVAL)
                self.assertEqual(exchange(logger.connect(), message('two')), 16)
                stderr = logger.stop()
                self.assertEqual(logger.process.returncode, 0)
                self.assertEqual(stderr.count('message type 0x102 is not a record'),
                                 0 if 2 in closed else 1)
                if output:
                    self.assertEqual(logger.lines(), ['info 1 one', 'info 1 two'])

    def test_socket_paths_as_long_as_a_bind_takes(self):
        # The temporary name it binds first must not make such a path too long.
        for length in (96, 107, 108):
            with self.subTest(length=length):
                padding = length - len(self.directory) - len('/s') - 1
                directory = os.path.join(self.directory, str(length).ljust(padding, 'x'))
                os.mkdir(directory)
                path = os.path.join(directory, 's')
                self.assertEqual(len(path), length)
                if length > 107:
                    result = tools.run(LOGGER + ['--socket', path])
                    self.assertEqual((result.returncode, result.stderr),
                                     (1, 'host-slogger: socket path too long: %s\n' % path))
                    continue
                logger = self.start(socket=path)
                self.assertEqual(exchange(logger.connect(), message('long')), 17)
                self.assertEqual(logger.stop(), '')
                self.assertEqual(os.listdir(directory), [])

    def test_a_log_that_cannot_be_written_refuses_and_says_so_once(self):
        logger = self.start(output='/dev/full')
        self.assertEqual(self.replies(logger, ['r0', 'r1', 'r2']), [-errno.EIO] * 3)
        self.assertEqual(logger.stop(), 'host-slogger: cannot write the log to /dev/full: No '
                                        'space left on device; records not written are '
                                        'answered EIO\n')
        self.assertEqual(logger.process.returncode, 1)

    def test_a_file_that_fills_keeps_whole_lines_and_says_when_writing_resumes(self):
        # A file size limit fills the log as a small disk would, at the same byte every run.
        logger = self.start(limits=[(resource.RLIMIT_FSIZE, 4096)])
        client = logger.connect()
        texts = ['r%02d %s' % (n, 'x' * 90) for n in range(60)]
        replies = [exchange(client, message(text)) for text in texts]
        written = replies.index(-errno.EIO)
        self.assertEqual(replies[written:], [-errno.EIO] * (len(texts) - written))
        # Only whole lines: the refused record's piece is gone, so no later line joins it.
        self.assertEqual(logger.lines(), ['info 1 ' + text for text in texts[:written]])
        self.assertTrue(Path(logger.output).read_bytes().endswith(b'\n'))
        os.truncate(logger.output, 0)  # room again
        self.assertEqual(exchange(client, message('after')), 18)
        self.assertEqual(logger.lines(), ['info 1 after'])
        self.assertEqual(logger.stop(),
                         'host-slogger: cannot write the log to %s: File too large; records not '
                         'written are answered EIO\nhost-slogger: writing the log to %s resumed, '
                         '%d records refused\n' % (logger.output, logger.output, 60 - written))
        self.assertEqual(logger.process.returncode, 1)

    def test_clients_beyond_the_descriptor_limit_are_refused_and_it_is_said_once(self):
        logger = self.start(limits=[(resource.RLIMIT_NOFILE, 32)])
        clients = [logger.connect() for _ in range(40)]
        outcomes = []
        for n, client in enumerate(clients):
            client.settimeout(10)
            try:
                client.send(message('c%d' % n))
                reply = client.recv(8)
                outcomes.append(wire.reply(reply) if reply else 'refused')
            except socket.timeout:
                outcomes.append('left waiting')
            except OSError:
                outcomes.append('refused')
        served = [n for n, outcome in enumerate(outcomes) if outcome not in ('refused', 'left waiting')]
        self.assertNotIn('left waiting', outcomes)
        self.assertTrue(0 < len(served) < 32, outcomes)
        self.assertEqual(logger.lines(), ['info 1 c%d' % n for n in served])
        for client in clients:
            client.close()
        self.assertEqual(exchange(logger.connect(), message('again')), 18)
        self.assertEqual(logger.stop(), 'host-slogger: accept: Too many open files; refusing '
                                        'clients until some leave\n')

    def test_a_hangup_opens_the_output_again_after_a_rotation(self):
        logger = self.start()
        client = logger.connect()
        exchange(client, message('before'))
        os.rename(logger.output, logger.output + '.1')
        logger.process.send_signal(signal.SIGHUP)
        tools.wait_for(lambda: os.path.exists(logger.output) or logger.process.poll() is not None)
        self.assertIsNone(logger.process.poll(), 'the hangup ended the logger')
        self.assertTrue(os.path.exists(logger.output), 'no new log after the hangup')
        exchange(client, message('after'))
        self.assertEqual(logger.lines(), ['info 1 after'])
        logger.output += '.1'
        self.assertEqual(logger.lines(), ['info 1 before'])
        self.assertEqual((logger.stop(), logger.process.returncode), ('', 0))

    def test_in_the_background_of_a_tostop_terminal_it_writes_on(self):
        leader, terminal = pty.openpty()
        self.addCleanup(os.close, leader)
        path = os.path.join(self.directory, 'sidechannel')
        session = subprocess.Popen([sys.executable, '-c', TOSTOP_SESSION, str(terminal)] + LOGGER +
                                   ['--socket', path], pass_fds=[terminal],
                                   stdout=subprocess.PIPE, start_new_session=True, text=True)
        os.close(terminal)
        logger_pid = int(session.stdout.readline())
        self.addCleanup(lambda: session.poll() is None and os.kill(logger_pid, signal.SIGKILL))
        tools.wait_for(lambda: os.path.exists(path) or session.poll() is not None)
        self.assertIsNone(session.poll())
        self.assertEqual(exchange(wire.connect(path, 10), message('on the terminal')), 28)
        shown = b''
        while b'on the terminal' not in shown and select.select([leader], [], [], 30)[0]:
            shown += os.read(leader, 4096)
        self.assertIn(b'info 0x00000001 on the terminal', shown)
        os.kill(logger_pid, signal.SIGTERM)
        self.assertEqual(session.wait(timeout=30), 0)

    def test_its_reader_gone_it_stops_answers_what_came_and_ends_by_sigpipe(self):
        logger = self.start(output=None, stdout=subprocess.PIPE)
        client = logger.connect()
        self.assertEqual(exchange(client, message('read')), 17)
        self.assertIn('info 0x00000001 read', logger.process.stdout.readline())
        logger.process.stdout.close()  # as `| head -1` does
        self.assertEqual(exchange(client, message('unread')), -errno.EIO)
        self.assertEqual(logger.process.wait(timeout=30), -signal.SIGPIPE)
        self.assertEqual(logger.process.stderr.read(), '')
        self.assertFalse(os.path.exists(logger.socket))

    def test_answers_repeat_in_turn_after_the_failures(self):
        logger = self.start('--fail', 'EIO:1', '--answers', 'EBADF,ENOSYS,log')
        client = logger.connect()
        replies = [exchange(client, message('r%d' % n)) for n in range(7)]
        self.assertEqual(replies, [-errno.EIO, -errno.EBADF, -errno.ENOSYS, 15,
                                   -errno.EBADF, -errno.ENOSYS, 15])
        self.assertEqual(logger.lines(), ['info 1 r3', 'info 1 r6'])
        # A refused packet is answered but takes no turn.
        self.assertEqual(exchange(client, message('x', count=1)), -errno.EINVAL)
        self.assertEqual(exchange(client, message('r7')), -errno.EBADF)

    def test_refuses_to_replace_what_is_not_a_socket(self):
        path = os.path.join(self.directory, 'sidechannel')
        Path(path).write_text('keep me')
        result = tools.run(LOGGER + ['--socket', path])
        self.assertEqual(result.returncode, 1)
        self.assertIn('not a socket', result.stderr)
        self.assertEqual(Path(path).read_text(), 'keep me')

    def test_each_line_names_its_sender_and_time_of_arrival(self):
        logger = self.start()
        before = datetime.datetime.now(datetime.timezone.utc)
        senders = [subprocess.Popen(build.SEND + [logger.socket, '13', 'p: sender {pid}'],
                                    stdout=subprocess.PIPE) for _ in range(3)]
        for sender in senders:
            sender.communicate(timeout=30)
        pids = sorted(sender.pid for sender in senders)
        after = datetime.datetime.now(datetime.timezone.utc)
        entries = [parse_entry(line) for line in logger.raw_lines()]
        self.assertEqual(sorted(entry.pid for entry in entries), pids)
        for entry in entries:
            self.assertEqual(entry.text, 'p: sender %d' % entry.pid)
            self.assertRegex(entry.time, r'^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z$')
            arrival = datetime.datetime.strptime(entry.time, '%Y-%m-%dT%H:%M:%S.%f%z')
            self.assertTrue(before <= arrival <= after, (before, arrival, after))

    def test_json_lines_parse_and_carry_exactly_the_record(self):
        logger = self.start('--format', 'json')
        client = logger.connect()
        texts = [b'dorvane: dorvane:  invalid parameter x:5 \n', b'"q" \\ \t\r\x07\x1f\x7f/',
                 'é € 😀'.encode(), b'bad \xe9 \xc3 \xed\xa0\x80 \xc0\xaf end', b'']
        for text in texts:
            self.assertGreater(exchange(client, message(text + b'\0', code=20001)), 0)
        ints = wire.ints(1, -2, 2147483647)
        exchange(client, message(ints, code=0x00104E21, severity=5))
        exchange(client, message(b'\x00\xff\x10', code=0xFFFFFFFF, severity=4))
        lines = Path(logger.output).read_text('utf-8').splitlines()  # strictly: JSON is UTF-8
        self.assertEqual(len(lines), len(texts) + 2)
        objects = [json.loads(line) for line in lines]
        common = {'time', 'pid', 'severity', 'severity_value', 'code'}
        for text, obj in zip(texts, objects):
            self.assertEqual(set(obj), common | {'text'})
            self.assertEqual(obj['text'], text.decode('utf-8', 'latin1-view'))
            self.assertEqual((obj['severity'], obj['severity_value'], obj['code'], obj['pid']),
                             ('info', 5, 20001, os.getpid()))
        self.assertEqual({k: v for k, v in objects[-2].items() if k != 'time'},
                         {'pid': os.getpid(), 'severity': 'info', 'severity_value': 5,
                          'code': 0x00104E21, 'ints': [1, -2, 2147483647]})
        self.assertEqual(objects[-1]['bytes'], '00ff10')
        self.assertEqual((objects[-1]['severity'], objects[-1]['code']), ('notice', 0xFFFFFFFF))

    def test_only_the_senders_and_programs_asked_for_are_written(self):
        texts = ['kestrune: a', 'dorvane: b', 'c']
        me = str(os.getpid())
        for args, kept in ((['--pid', me], texts), (['--pid', '1'], []),
                           (['-t', 'kestrune', '--identifier', 'dorvane'], texts[:2]),
                           (['-t', 'kestrune', '--pid', '1', '--pid', me], texts[:1])):
            with self.subTest(args=args):
                logger = self.start(*args, fresh=True)
                self.assertEqual(self.replies(logger, texts), [len(text) + 13 for text in texts])
                self.assertEqual(logger.lines(), ['info 1 ' + text for text in kept])

    def test_less_severe_records_are_answered_but_not_written(self):
        for given in ('warning', '3', 'WARN'):
            with self.subTest(given=given):
                logger = self.start('--min-severity', given, fresh=True)
                client = logger.connect()
                replies = [exchange(client, message('s%d' % severity, severity=8 | severity))
                           for severity in range(8)]
                self.assertEqual(replies, [15] * 8)
                self.assertEqual(logger.lines(), ['shutdown 1 s0', 'critical 1 s1', 'error 1 s2',
                                                  'warning 1 s3'])

    def test_usage_errors_exit_2_and_help_goes_to_standard_output(self):
        helps, _ = tools.assert_usage(self, LOGGER, 2, (
            (['--format', 'xml'], "bad --format 'xml'"),
            (['--min-severity', 'loud'], "bad --min-severity 'loud': want 0 to 7 or a name, in "
             "any case: shutdown (emerg, panic, alert), critical (crit), error (err), warning "
             "(warn), notice, info, debug1, debug2 (debug)\n"),
            (['--read', '-', '--syslog'], '--read decodes a file: --socket, '
             '--pid, --syslog, --fail and --answers serve clients\n'),
            (['--read', '-', '--pid', '1'], '--read decodes a file'),
            (['--read', '', '--socket', '/nonexistent/s'], "bad --read ''"),
            (['--nonsense'], "unrecognized option '--nonsense'\n"),
            (['extra'], "unexpected argument 'extra'"),
            (['-n', '2'], '--follow and --lines go with --read\n'),
            (['--read', '-', '-n', '-2'], "bad -n '-2': want a number"),
            # A count a sign or blank would wrap round to a huge one.
            (['--socket', '/nonexistent/s', '--fail', 'EIO: -1'], "bad --fail 'EIO: -1': want "
             "ERROR:COUNT\n"),
            (['--socket', '/nonexistent/s', '--pid', '0'], "bad --pid '0'"),
            *((['--answers', answers], "bad --answers '%s'" % answers)
              for answers in ('EBADF,', 'log,nonsense', '0', ''))))
        for shown in helps:
            # Both ways to run, within 80 columns; reading takes no serving option.
            self.assertTrue(shown.startswith(
                'usage: host-slogger [--socket PATH] [--syslog] [--fail ERROR:COUNT]\n'
                '                    [--answers ANSWER,...] [OUTPUT OPTION]...\n'
                '       host-slogger --read FILE|- [-f] [-n N] [OUTPUT OPTION]...\n'), shown)
            self.assertLessEqual(max(map(len, shown.splitlines())), 80)


# Inside the sandbox /dev/log is the test's own socket: what reaches it is
# what the host's syslog daemon would get.
SYSLOG_SCRIPT = r'''
$EMU $LOGGER --socket /mnt/sidechannel --output /mnt/log --syslog --min-severity info &
logger=$!
for i in $(seq 300); do [ -S /mnt/sidechannel ] && break; sleep 0.1; done
send() { $SEND /mnt/sidechannel $1 "$2: sender {pid}" >/dev/null & echo $! >> /mnt/pids; wait $!; }
send 10 kestrune; send 13 dorvane; send 15 quiet
kill $logger; wait $logger
'''


class Syslog(unittest.TestCase):
    def run_script(self, sb, binds=()):
        result = sb.sh(SYSLOG_SCRIPT, logger=False, env=build.shell_variables(), binds=binds,
                       timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result

    def test_records_forwarded_under_the_senders_name_pid_and_priority(self):
        sb = Sandbox.for_test(self)
        path = sb.path('/var/syslog.sock')
        daemon = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(daemon.close)
        daemon.bind(path)
        daemon.settimeout(30)
        result = self.run_script(sb, binds=[(path, '/dev/log')])
        self.assertEqual(result.stderr, '')
        pids = [int(pid) for pid in Path(sb.path('/mnt/pids')).read_text().split()]
        got = [daemon.recv(4096).decode() for _ in range(2)]
        # <facility user (8) + priority>, a time stamp, then "tag[pid]: text".
        self.assertRegex(got[0], r'^<11>.* kestrune\[%d\]: sender %d$' % (pids[0], pids[0]))
        self.assertRegex(got[1], r'^<14>.* dorvane\[%d\]: sender %d$' % (pids[1], pids[1]))
        daemon.settimeout(0.5)
        with self.assertRaises(socket.timeout):  # below --min-severity: not forwarded
            daemon.recv(4096)

    def test_nothing_on_dev_log_is_said_once(self):
        result = self.run_script(Sandbox.for_test(self))
        self.assertEqual(result.stderr, 'host-slogger: --syslog: /dev/log: No such file or '
                                        'directory; records are not forwarded while nothing '
                                        'listens there\n')


def read(*args, data=None):
    return tools.run(LOGGER + ['--read'] + list(args), input=data, text=False)


class ReadFile(unittest.TestCase):
    SOUND = [wire.text('kestrune: HDD present\n', 20001),
             wire.text('dorvane: dorvane:  invalid parameter x:5 \n', 20001, severity=10),
             wire.text(b'\xe9t\xc3\xa9', 0x00104E21)]
    SOUND_LINES = ['- - info 0x00004E21 kestrune: HDD present\\n',
                   '- - error 0x00004E21 dorvane: dorvane:  invalid parameter x:5 \\n',
                   '- - info 0x00104E21 \\xe9t\\xc3\\xa9']

    def setUp(self):
        self.directory = tools.scratch(self, 'slogfile-')

    def file(self, data):
        path = os.path.join(self.directory, 'slog')
        Path(path).write_bytes(data)
        return path

    def test_sound_records_in_both_formats_from_a_file_or_standard_input(self):
        data = b''.join(self.SOUND)
        result = read(self.file(data))
        self.assertEqual((result.returncode, result.stderr), (0, b''))
        self.assertEqual(result.stdout.decode().splitlines(), self.SOUND_LINES)
        result = read('-', '--format', 'json', data=data)
        self.assertEqual((result.returncode, result.stderr), (0, b''))
        objects = [json.loads(line) for line in result.stdout.decode().splitlines()]
        self.assertEqual([o['text'] for o in objects],
                         ['kestrune: HDD present\n', 'dorvane: dorvane:  invalid parameter x:5 \n',
                          'ét\u00e9'])
        self.assertEqual({(o['time'], o['pid']) for o in objects}, {(None, None)})
        for args, lines in ((['--min-severity', 'error'], self.SOUND_LINES[1:2]),
                            (['-t', 'dorvane'], self.SOUND_LINES[1:2]),
                            (['-n', '2'], self.SOUND_LINES[1:]),
                            (['--lines', '1', '-t', 'kestrune'], self.SOUND_LINES[:1]),
                            (['-n', '0'], [])):
            result = read('-', *args, data=data)
            self.assertEqual(result.stdout.decode().splitlines(), lines, args)

    def test_cut_off_and_garbled_records_are_flagged_and_the_rest_decoded(self):
        first, second, third = self.SOUND
        junk = b'\x44\x33\x22\x11' * 5
        cases = {
            'cut in the text': (first + second[:20], self.SOUND_LINES[:1] +
                                ['- - error 0x00004E21 dorvane:'],
                                ['byte %d: text record cut off: no terminating zero (20 bytes)'
                                 % len(first)]),
            'cut in the header': (first + second[:7], self.SOUND_LINES[:1],
                                  ['byte %d: no record here (7 bytes: 0a 00 00 00 21 4e 00)'
                                   % len(first)]),
            'junk between': (first + junk + second + third, self.SOUND_LINES,
                             ['byte %d: no record here (20 bytes: 44 33 22 11 44 33 22 11 44 33 '
                              '22 11 44 33 22 11 ...)' % len(first)]),
            # Longer than a record can be, so found in several pieces: flagged once.
            'much junk': (first + junk * 15000 + second, self.SOUND_LINES[:2],
                          ['byte %d: no record here (300000 bytes: 44 33 22 11 44 33 22 11 44 33 '
                           '22 11 44 33 22 11 ...)' % len(first)]),
            # Severities 0 to 7 of a text record, then the first word that
            # is none: past debug2 the text flag is not the top bit.
            'every text severity': (b''.join(wire.text(b'%d' % n, 7, severity=8 | n)
                                             for n in range(8)) + wire.text('x', 7, 16),
                                    ['- - %s 0x00000007 %d' % (name, n) for n, name in enumerate(
                                        ['shutdown', 'critical', 'error', 'warning', 'notice',
                                         'info', 'debug1', 'debug2'])],
                                    ['byte 112: no record here (14 bytes: 10 00 00 00 07 00 00 00 '
                                     '00 00 00 00 78 00)']),
            'integers between': (first + wire.record(wire.ints(7, -1), 5, severity=4) +
                                 second, self.SOUND_LINES[:1] +
                                 ['- - notice 0x00000005 ints[2]: 7 -1'] + self.SOUND_LINES[1:2],
                                 ['byte %d: integer or binary record: its length is not in the '
                                  'file, taken up to the next record (20 bytes)' % len(first)]),
        }
        for name, (data, lines, flags) in cases.items():
            with self.subTest(name):
                result = read(self.file(data))
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout.decode().splitlines(), lines)
                self.assertEqual(result.stderr.decode().splitlines(),
                                 ['host-slogger: %s: %s' % (self.file(data), flag)
                                  for flag in flags])

    def test_read_errors_name_the_file_and_exit_2(self):
        for path, error in ((self.directory, 'Is a directory'),
                            (os.path.join(self.directory, 'missing'), 'No such file or directory')):
            with self.subTest(path=path):
                result = read(path)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stderr.decode(), 'host-slogger: %s: %s\n' % (path, error))
        result = tools.to_full_disk(LOGGER + ['--read', self.file(self.SOUND[0])])
        self.assertEqual((result.returncode, result.stderr),
                         (2, 'host-slogger: standard output: No space left on device\n'))

    def test_follow_goes_on_as_the_file_grows_and_starts_over_when_it_is_emptied(self):
        path = self.file(b''.join(self.SOUND[:2]))
        follower = subprocess.Popen(LOGGER + ['--read', path, '-f', '-n', '1'],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: follower.poll() is None and follower.kill())
        unread = ['']

        def next_line():  # unbuffered: select() sees the pipe, not a reader's buffer
            while '\n' not in unread[0]:
                self.assertTrue(select.select([follower.stdout], [], [], 30)[0], 'no line came')
                unread[0] += os.read(follower.stdout.fileno(), 4096).decode()
            line, unread[0] = unread[0].split('\n', 1)
            return line

        self.assertEqual(next_line(), self.SOUND_LINES[1])
        with open(path, 'ab') as f:  # -n holds for what was there, not for what comes
            f.write(self.SOUND[2] + self.SOUND[0])
        self.assertEqual([next_line(), next_line()], [self.SOUND_LINES[2], self.SOUND_LINES[0]])
        Path(path).write_bytes(self.SOUND[0])  # emptied, as the runner does before a run
        self.assertEqual(next_line(), self.SOUND_LINES[0])
        follower.terminate()
        self.assertEqual(follower.wait(timeout=30), -signal.SIGTERM)
        self.assertEqual(follower.stderr.read(), 'host-slogger: %s: file truncated\n' % path)

    def test_the_clients_fallback_file_decodes_to_what_the_logger_would_have_written(self):
        sb = Sandbox.for_test(self)
        open(sb.path('/dev/slog'), 'wb').close()
        fallen_back = sb.run('log_probe', 'records', logger_args=['--fail', 'ENOSYS:1'])
        self.assertEqual(fallen_back.returncode, 0, fallen_back.stderr)
        result = read(sb.path('/dev/slog'))
        served = sb.run('log_probe', 'records')  # empties the file first
        # Integer and binary records carry no length in the file: flagged.
        self.assertEqual(result.returncode, 1)
        self.assertEqual(len(result.stderr.decode().splitlines()), 3)
        self.assertEqual([line[4:] for line in result.stdout.decode('latin-1').splitlines()],
                         [' '.join(line.split(' ')[2:]) for line in served.lines])


if __name__ == '__main__':
    unittest.main()
