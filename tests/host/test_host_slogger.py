"""host-slogger as a process: its socket, its clients, its stop."""

import errno
import os
import shlex
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest

LOGGER = shlex.split(os.environ.get('EMULATOR', '')) + [
    os.path.join(os.environ['BIN_DIR'], 'host-slogger')]


def message(text, code=1, severity=13, **header):
    record = struct.pack('<iiI', severity, code, 0) + text.encode() + b'\0'
    fields = dict(type=2, length=16, count=len(record), reserved=0)
    fields.update(header)
    return struct.pack('<HHiII', fields['type'], fields['length'], fields['count'],
                       fields['reserved'], 0) + record


class Logger:
    def __init__(self, directory, *args):
        self.socket = os.path.join(directory, 'sidechannel')
        self.output = os.path.join(directory, 'log')
        self.process = subprocess.Popen(
            LOGGER + ['--socket', self.socket, '--output', self.output] + list(args),
            stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 30
        while not os.path.exists(self.socket):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError('logger did not start: %s' % self.process.stderr.read())
            time.sleep(0.02)

    def connect(self):
        client = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        client.settimeout(20)
        client.connect(self.socket)
        return client

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        _, stderr = self.process.communicate(timeout=30)
        return stderr

    def lines(self):
        with open(self.output) as f:
            return f.read().splitlines()


def exchange(client, packet):
    client.send(packet)
    return struct.unpack('<i', client.recv(8))[0]


class HostSlogger(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix='slogger-')
        self.addCleanup(subprocess.run, ['rm', '-rf', self.directory])

    def start(self, *args):
        logger = Logger(self.directory, *args)
        self.addCleanup(lambda: logger.process.poll() is None and logger.stop())
        return logger

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

    def test_bad_answers_are_refused_at_start(self):
        for answers in ('EBADF,', 'log,nonsense', '0', ''):
            with self.subTest(answers=answers):
                result = subprocess.run(LOGGER + ['--answers', answers], capture_output=True,
                                        text=True, timeout=30)
                self.assertEqual(result.returncode, 2)
                self.assertIn("bad --answers '%s'" % answers, result.stderr)

    def test_refuses_to_replace_what_is_not_a_socket(self):
        path = os.path.join(self.directory, 'sidechannel')
        with open(path, 'w') as f:
            f.write('keep me')
        result = subprocess.run(LOGGER + ['--socket', path], capture_output=True, text=True,
                                timeout=30)
        self.assertEqual(result.returncode, 1)
        self.assertIn('not a socket', result.stderr)
        with open(path) as f:
            self.assertEqual(f.read(), 'keep me')


if __name__ == '__main__':
    unittest.main()
