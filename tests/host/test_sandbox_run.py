"""sandbox-run: what the command sees, what the host keeps, what comes back."""

import os
import shlex
import shutil
import stat
import subprocess
import sys
import time
import unittest

import test_host_slogger as slogger
from sandbox import Sandbox, parse_log_line

RUNNER = os.environ['SANDBOX_RUN']

SEND_ONE_RECORD = r'''
import socket, struct, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
s.connect('/dev/sidechannel')
record = struct.pack('<iiI', 13, 20001, 0) + b'probe: hello\0'
s.send(struct.pack('<HHiII', 2, 16, len(record), 0, 0) + record)
print(struct.unpack('<i', s.recv(4))[0])
'''

# Logs, then waits for the test to have seen the line before it ends.
SEND_THEN_WAIT = SEND_ONE_RECORD + r'''
import os, time
sys.stdout.flush()
deadline = time.monotonic() + 20
while not os.path.exists('/mnt/go'):
    if time.monotonic() > deadline:
        sys.exit(3)
    time.sleep(0.02)
'''


def with_logger():
    return dict(os.environ, HOST_SLOGGER=os.path.join(os.environ['BIN_DIR'], 'host-slogger'))


def snapshot(paths):
    return {p: sorted(os.listdir(p)) if os.path.isdir(p) else None for p in paths}


class Layout(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox.for_test(self)

    def sh(self, script, **kwargs):
        return self.sb.run_command(['sh', '-c', script], logger=False, **kwargs)

    def test_root_paths_are_bound_read_write(self):
        os.makedirs(self.sb.path('/mnt/quota/mm'))
        with open(self.sb.path('/mnt/quota/mm/given'), 'w') as f:
            f.write('from host\n')
        result = self.sh('cat /mnt/quota/mm/given && for d in /mnt /opt /var /boot '
                         '/dev/shmem /dev/vellmar; do echo x > $d/made || exit 9; done')
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, 'from host\n')
        for inside in ('/mnt', '/opt', '/var', '/boot', '/dev/shmem', '/dev/vellmar'):
            self.assertTrue(os.path.isfile(self.sb.path(inside + '/made')), inside)

    def test_host_file_system_is_read_only_and_untouched(self):
        watched = ['/mnt', '/opt', '/var', '/boot', '/dev']
        before = snapshot(watched)
        result = self.sh('touch /etc/sandbox-probe 2>/dev/null && exit 1; '
                         'mkdir /mnt/new /opt/new /var/new /boot/new && exit 0')
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(snapshot(watched), before)
        self.assertFalse(os.path.exists('/etc/sandbox-probe'))

    def test_dev_entries_absent_without_a_source(self):
        for entry in ('/dev/shmem', '/dev/vellmar'):
            os.rmdir(self.sb.path(entry))
        result = self.sh('ls -d /dev/shmem /dev/vellmar /dev/slog /dev/sidechannel')
        self.assertNotEqual(result.returncode, 0)
        for entry in ('/dev/shmem', '/dev/vellmar', '/dev/slog', '/dev/sidechannel'):
            self.assertIn(entry, result.stderr)
            self.assertFalse(os.path.exists(self.sb.path(entry)), entry)

    def test_dev_slog_as_file_and_as_fifo(self):
        open(self.sb.path('/dev/slog'), 'w').close()
        self.assertEqual(self.sh('printf rec > /dev/slog').returncode, 0)
        with open(self.sb.path('/dev/slog')) as f:
            self.assertEqual(f.read(), 'rec')

        os.remove(self.sb.path('/dev/slog'))
        os.mkfifo(self.sb.path('/dev/slog'))
        result = self.sh('test -p /dev/slog && (printf through > /dev/slog &) && cat /dev/slog')
        self.assertEqual(result.stdout, 'through')

    def test_extra_bind_and_working_directory(self):
        extra = os.path.join(self.sb.root, '..', 'extra')
        os.mkdir(extra)
        result = self.sb.run_command(['sh', '-c', 'pwd; echo y > /dev/vellmar/debug'],
                                     logger=False, binds=[(extra, '/dev/vellmar')])
        self.assertEqual(result.stdout.strip(), os.getcwd())
        with open(os.path.join(extra, 'debug')) as f:
            self.assertEqual(f.read(), 'y\n')

    def test_plain_device_files_are_fresh_for_each_run(self):
        # The command writes without truncating, as the product opens the
        # device; what an earlier, longer run left must not stay behind.
        devices = self.sb.path('/dev/vellmar')
        for name in ('debug', 'untouched'):
            with open(os.path.join(devices, name), 'w') as f:
                f.write('an earlier, longer request')
        outside = os.path.join(self.sb.root, '..', 'outside')
        with open(outside, 'w') as f:
            f.write('not a device file')
        os.symlink(outside, os.path.join(devices, 'link'))
        os.mkfifo(os.path.join(devices, 'fifo'))
        result = self.sh('printf new 1<> /dev/vellmar/debug')
        self.assertEqual(result.returncode, 0, result.stderr)
        for name, content in (('debug', 'new'), ('untouched', '')):
            with open(os.path.join(devices, name)) as f:
                self.assertEqual(f.read(), content, name)
        with open(outside) as f:
            self.assertEqual(f.read(), 'not a device file')
        self.assertTrue(stat.S_ISFIFO(os.stat(os.path.join(devices, 'fifo')).st_mode))

    def test_tracer_stand_in_records_its_arguments(self):
        result = self.sh('/boot/bin/tracelogger -n 0 -S 8M "-s two words" && '
                         '/boot/bin/tracelogger')
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(self.sb.path('/boot/tracelogger.calls')) as f:
            self.assertEqual(f.read(), '-n 0 -S 8M -s two words\n\n')

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which('setpriv'), 'needs root to drop to')
    def test_runs_as_an_ordinary_user(self):
        for parent, dirs, _ in os.walk(self.sb.root):
            for name in [''] + dirs:
                shutil.chown(os.path.join(parent, name), 'nobody')
        os.chmod(os.path.dirname(self.sb.root), 0o755)
        result = subprocess.run(
            ['setpriv', '--reuid=nobody', '--regid=nogroup', '--clear-groups',
             RUNNER, self.sb.root, '--', 'sh', '-c', 'id -u; echo x > /mnt/mine'],
            capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotEqual(result.stdout.strip(), '0')
        self.assertTrue(os.path.isfile(self.sb.path('/mnt/mine')))


class Status(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox.for_test(self)

    def test_command_status_is_passed_through(self):
        for code in (0, 1, 7, 124):
            result = self.sb.run_command(['sh', '-c', 'exit %d' % code], logger=False)
            self.assertEqual(result.returncode, code)
        result = self.sb.run_command(['sh', '-c', 'kill -TERM $$'], logger=False)
        self.assertEqual(result.returncode, 128 + 15)

    def test_set_up_exec_and_lookup_failures_have_their_own_status(self):
        # bwrap itself exits 1 when it cannot mount, as the command might.
        result = self.sb.run_command(['true'], logger=False,
                                     binds=[(self.sb.root, '/proc/sys/no-such-dir/x')])
        self.assertEqual(result.returncode, 125, result.stderr)
        self.assertIn('sandbox-run: bubblewrap could not set up the sandbox', result.stderr)
        plain = self.sb.path('/mnt/plain')
        open(plain, 'w').close()
        for command, status, message in (
                ('no-such-command-here', 127, 'no-such-command-here: command not found'),
                ('/mnt/no-such-program', 127, '/mnt/no-such-program: No such file or directory'),
                ('/mnt/plain', 126, '/mnt/plain: Permission denied'),
                ('/mnt', 126, '/mnt: Is a directory')):
            result = self.sb.run_command([command], logger=False)
            self.assertEqual(result.returncode, status, command)
            self.assertEqual(result.stderr, 'sandbox-run: %s\n' % message)

    def test_usage_errors_are_125_with_a_message(self):
        for args in ([], [self.sb.root], [self.sb.root, 'true'], ['--bogus', self.sb.root, '--', 'true'],
                     ['--bind', '/nonexistent-source', '/x', self.sb.root, '--', 'true']):
            result = subprocess.run([RUNNER] + args, capture_output=True, text=True, timeout=30)
            self.assertEqual(result.returncode, 125, args)
            self.assertIn('sandbox-run:', result.stderr)

    def test_the_host_root_is_refused(self):
        result = subprocess.run([RUNNER, '/', '--', 'true'], capture_output=True, text=True,
                                timeout=30)
        self.assertEqual(result.returncode, 125)
        self.assertIn('ROOT must not be /', result.stderr)

class Logger(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox.for_test(self)

    def test_the_log_appears_while_the_command_runs(self):
        runner = subprocess.Popen(
            [RUNNER, '--logger', self.sb.root, '--', sys.executable, '-c', SEND_THEN_WAIT],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=with_logger())
        self.addCleanup(lambda: runner.poll() is None and runner.kill())
        lines = []
        for line in runner.stdout:
            lines.append(line)
            if line.rstrip('\n').endswith(' probe: hello'):
                open(self.sb.path('/mnt/go'), 'w').close()
        stderr = runner.stderr.read()
        self.assertEqual(runner.wait(timeout=60), 0, (lines, stderr))
        self.assertEqual(sorted(line.endswith(' probe: hello\n') for line in lines), [False, True])
        self.assertIn('25\n', lines)
        hello = next(line for line in lines if line.endswith(' probe: hello\n'))
        self.assertEqual(parse_log_line(hello.rstrip('\n')), ('info', 20001, 'probe: hello'))
        self.assertFalse(os.path.exists(self.sb.path('/dev/sidechannel')))

    def test_logger_output_file_and_arguments(self):
        result = self.sb.run_command([sys.executable, '-c', SEND_ONE_RECORD],
                                     logger_args=['--fail', 'EBADF:1'])
        self.assertEqual(result.stdout, '-9\n')
        self.assertEqual(result.log, [])
        result = self.sb.run_command([sys.executable, '-c', SEND_ONE_RECORD])
        self.assertEqual(result.records, [('info', 20001, 'probe: hello')])
        # Appended, as host-slogger --output does.
        log = os.path.join(self.sb.root, '..', 'kept.log')
        with open(log, 'w') as f:
            f.write('an earlier line\n')
        for _ in range(2):
            subprocess.run([RUNNER, '--logger-output', log, self.sb.root, '--',
                            sys.executable, '-c', SEND_ONE_RECORD], check=True,
                           capture_output=True, timeout=60, env=with_logger())
        with open(log) as f:
            lines = f.read().splitlines()
        self.assertEqual(lines[0], 'an earlier line')
        self.assertEqual([line.endswith(' probe: hello') for line in lines[1:]], [True, True])

    def test_logger_missing_or_failing_is_a_clear_error(self):
        result = self.sb.run_command(['true'], env={'HOST_SLOGGER': '/nonexistent/host-slogger'})
        self.assertEqual(result.returncode, 125)
        self.assertIn('host logger', result.stderr)
        os.mkdir(self.sb.path('/dev/sidechannel'))  # in the way of the socket
        result = self.sb.run_command(['true'])
        self.assertEqual(result.returncode, 125)
        self.assertIn('host logger failed to start', result.stderr)

    def test_a_logger_restarted_outside_is_reached_from_inside(self):
        # The caller's own logger on ROOT/dev/sidechannel, restarted while the
        # command runs: the second record must reach the new one.
        directory = self.sb.path('/dev')
        first = slogger.Logger(directory)
        self.addCleanup(lambda: first.process.poll() is None and first.stop())
        probe = subprocess.Popen(
            [RUNNER, self.sb.root, '--'] + shlex.split(os.environ.get('EMULATOR', '')) +
            [os.path.join(os.environ['BIN_DIR'], 'log_probe'), 'restart'],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: probe.poll() is None and probe.kill())
        deadline = time.monotonic() + 60
        while not first.lines() and time.monotonic() < deadline:
            time.sleep(0.05)
        first.stop()
        second = slogger.Logger(directory)
        self.addCleanup(lambda: second.process.poll() is None and second.stop())
        open(self.sb.path('/mnt/go'), 'w').close()
        stdout, stderr = probe.communicate(timeout=60)
        second.stop()
        self.assertEqual(probe.returncode, 0, stderr)
        self.assertEqual(stdout.split(), ['27', '26'])
        self.assertEqual(second.lines(), ['info 400 before restart', 'info 400 after restart'])


if __name__ == '__main__':
    unittest.main()
