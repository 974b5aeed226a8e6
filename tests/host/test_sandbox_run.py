"""sandbox-run: what the command sees, what the host keeps, what comes back."""

import fcntl
import os
import shlex
import shutil
import signal
import stat
import subprocess
import sys
import termios
import time
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import build, logger, sandbox, tools, wire
from harness.logger import COMMAND as LOGGER, parse_entry, parse_line
from harness.sandbox import Sandbox, SandboxCase

RUNNER = build.SANDBOX_RUN
# Sends "probe: hello" to the logger inside and prints its reply, 25.
SEND = build.SEND + ['/dev/sidechannel', '13', 'probe: hello']

# Serves ROOT/dev/sidechannel as the logger does, and ends on SIGTERM by the
# signal $ENDING.
FAKE_LOGGER = r'''
import os, signal, socket
signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGTERM])
s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
s.bind('.fake')
s.listen()
os.rename('.fake', 'sidechannel')
signal.sigwait([signal.SIGTERM])
ending = getattr(signal, os.environ['ENDING'])
signal.signal(ending, signal.SIG_DFL)
os.kill(os.getpid(), ending)
'''


def sandbox_run(*args, **options):
    """sandbox-run with args, run to its end."""
    return tools.run([RUNNER, *args], timeout=60, **options)


def start(test, *args, **options):
    """sandbox-run with args started, its output piped; killed when the test ends."""
    runner = subprocess.Popen(sandbox.runner(*args), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, **options)
    test.addCleanup(lambda: runner.poll() is None and runner.kill())
    return runner


def snapshot(paths):
    return {p: sorted(os.listdir(p)) if os.path.isdir(p) else None for p in paths}


class Layout(SandboxCase):
    def sh(self, script, *args):
        return self.sb.sh(script, *args, logger=False)

    def test_root_paths_are_bound_read_write(self):
        os.makedirs(self.sb.path('/mnt/quota/mm'))
        Path(self.sb.path('/mnt/quota/mm/given')).write_text('from host\n')
        result = self.sh('cat /mnt/quota/mm/given && for d in /mnt /opt /var /boot '
                         '/dev/shmem /dev/vellmar; do echo x > $d/made || exit 9; done')
        self.assertEqual((result.returncode, result.stdout), (0, 'from host\n'), result.stderr)
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
        self.assertEqual(Path(self.sb.path('/dev/slog')).read_text(), 'rec')

        os.remove(self.sb.path('/dev/slog'))
        os.mkfifo(self.sb.path('/dev/slog'))
        result = self.sh('test -p /dev/slog && (printf through > /dev/slog &) && cat /dev/slog')
        self.assertEqual(result.stdout, 'through')

    def test_extra_bind_and_working_directory(self):
        extra = self.sb.beside('extra')
        os.mkdir(extra)
        result = self.sb.run_command(['sh', '-c', 'pwd; echo y > /dev/vellmar/debug'],
                                     logger=False, binds=[(extra, '/dev/vellmar')])
        self.assertEqual(result.stdout.strip(), os.getcwd())
        self.assertEqual(Path(os.path.join(extra, 'debug')).read_text(), 'y\n')

    def test_device_files_are_fresh_for_each_run_and_only_roots_own_are_changed(self):
        # The command writes without truncating, as the product opens the
        # device; what an earlier, longer run left must not stay behind. A
        # file that ROOT shares with a name outside, through a hard link, a
        # symbolic link or a ROOT/dev that leads elsewhere, keeps its bytes.
        devices = self.sb.path('/dev/vellmar')
        outside = self.sb.beside('outside')
        os.makedirs(outside + '/vellmar')
        files = {os.path.join(devices, 'debug'): 'new', os.path.join(devices, 'untouched'): '',
                 os.path.join(devices, 'linked'): 'more', self.sb.path('/dev/slog'): '',
                 outside + '/notes': 'kept', outside + '/vellmar/debug': 'kept',
                 outside + '/slog': 'kept'}
        for path in files:
            Path(path).write_text('kept' if path.startswith(outside) else 'an earlier, longer one')
        os.unlink(os.path.join(devices, 'linked'))
        os.link(outside + '/notes', os.path.join(devices, 'linked'))
        os.symlink(outside + '/slog', os.path.join(devices, 'link'))
        os.mkfifo(os.path.join(devices, 'fifo'))
        result = self.sh('printf new 1<> /dev/vellmar/debug && printf more 1<> /dev/vellmar/linked')
        self.assertEqual(result.returncode, 0, result.stderr)
        elsewhere = Sandbox.for_test(self)
        shutil.rmtree(elsewhere.path('/dev'))
        os.symlink(os.path.abspath(outside), elsewhere.path('/dev'))
        for with_logger in (False, True):
            result = elsewhere.run_command(['true'], logger=with_logger)
            self.assertEqual(result.returncode, 125)
            self.assertIn('dev leads out of ROOT', result.stderr)
        for path, content in files.items():
            self.assertEqual(Path(path).read_text(), content, path)
        self.assertEqual(os.stat(os.path.join(devices, 'linked')).st_nlink, 1)
        self.assertTrue(stat.S_ISFIFO(os.stat(os.path.join(devices, 'fifo')).st_mode))

    def test_dev_slog_keeps_every_record_of_the_run_and_none_of_an_earlier_one(self):
        # Two processes in turn fall back to the file, each opening it from
        # byte 0 as the client does: both are kept, in order, and read back.
        Path(self.sb.path('/dev/slog')).write_bytes(wire.text('earlier: run', 1))
        open(self.sb.path('/dev/vellmar/debug'), 'w').close()
        result = self.sh('"$@" -x 5; "$@" -x 1 -y 7', *build.program('dorvane'))
        self.assertEqual(result.returncode, 0, result.stderr)
        read = tools.run(LOGGER + ['--read', self.sb.path('/dev/slog')], timeout=60)
        self.assertEqual((read.returncode, read.stderr), (0, ''))
        texts = [line.split(' ', 4)[4] for line in read.stdout.splitlines()]
        started = 'dorvane: process started PID=0x%08X'
        pids = [int(text[len(started) - 4:], 16) for text in texts if text.startswith(started[:-4])]
        label = 'dorvane: Label: ? QNX: ? Built: ?'
        self.assertEqual(texts, [started % pids[0], label,
                                 'dorvane: dorvane:  invalid parameter x:5 \\n',
                                 started % pids[1], label])
        self.assertNotEqual(pids[0], pids[1])

    def test_entries_that_lead_out_of_root_are_refused(self):
        # Whoever owns ROOT may point its entries anywhere; a run as root must
        # not write there. A link that stays inside ROOT is followed, and ROOT
        # itself may be given through a link, relative, with a space.
        write_all = ('for d in /mnt /opt /var /boot /dev/shmem /dev/vellmar; do echo x > $d/x; '
                     'done; echo x > /dev/slog')
        for entry in ('mnt', 'opt', 'var', 'boot', 'dev', 'dev/shmem', 'dev/vellmar', 'dev/slog'):
            with self.subTest(entry=entry):
                sb = Sandbox.for_test(self)
                outside = sb.beside('outside')
                os.makedirs(outside + '/shmem')
                open(outside + '/slog', 'w').close()
                if entry == 'dev/slog':
                    os.symlink(outside + '/slog', sb.path(entry))
                else:
                    shutil.rmtree(sb.path(entry))
                    os.symlink(outside, sb.path(entry))
                result = sb.run_command(['sh', '-c', write_all], logger=False)
                self.assertEqual(result.returncode, 125, result.stderr)
                self.assertIn('%s/%s leads out of ROOT' % (os.path.realpath(sb.root), entry),
                              result.stderr)
                self.assertEqual((os.listdir(outside), os.path.getsize(outside + '/slog')),
                                 (['shmem', 'slog'], 0))
        os.rmdir(self.sb.path('/var'))
        os.symlink('mnt', self.sb.path('/var'))
        base = os.path.dirname(self.sb.root)
        os.symlink('root', os.path.join(base, 'a root'))
        result = sandbox_run('a root', '--', 'sh', '-c', 'echo x > /var/x', cwd=base)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(os.path.isfile(self.sb.path('/mnt/x')))

    def test_entries_swapped_after_the_checks_change_nothing(self):
        # A bwrap first on PATH swaps ROOT/mnt for a link out of ROOT just
        # before the real one mounts, and a logger wrapper swaps ROOT/dev just
        # before the logger binds: what was checked is used all the same.
        base = os.path.dirname(self.sb.root)
        outside = os.path.join(base, 'outside')
        os.makedirs(outside + '/shmem')
        swap = 'mv "$ROOT/%s" "$ROOT/%s.checked" && ln -s "$OUTSIDE" "$ROOT/%s" && exec %s "$@"\n'
        wrappers = {'bwrap': swap % ('mnt', 'mnt', 'mnt', shutil.which('bwrap')),
                    'logger': swap % ('dev', 'dev', 'dev', '$EMU "$LOGGER"')}
        for name, script in wrappers.items():
            Path(os.path.join(base, name)).write_text('#!/bin/sh\n' + script)
            os.chmod(os.path.join(base, name), 0o755)
        result = self.sb.sh(
            '"$@" && : > /mnt/x && : > /dev/shmem/x', *SEND,
            env={'PATH': base + ':' + os.environ['PATH'], 'ROOT': self.sb.root, 'OUTSIDE': outside,
                 'HOST_SLOGGER': os.path.join(base, 'logger'), 'EMULATOR': '',
                 'EMU': shlex.join(build.EMULATOR), 'LOGGER': build.HOST_SLOGGER})
        self.assertEqual((result.returncode, result.stdout), (0, '25\n'), result.stderr)
        self.assertEqual(result.records, [('info', 20001, 'probe: hello')])
        self.assertEqual(os.listdir(outside), ['shmem'])
        self.assertEqual(os.listdir(outside + '/shmem'), [])
        self.assertTrue(os.path.isfile(self.sb.path('/mnt.checked/x')))
        self.assertTrue(os.path.isfile(self.sb.path('/dev.checked/shmem/x')))

    def test_tracer_stand_in_records_its_arguments(self):
        result = self.sh('/boot/bin/tracelogger -n 0 -S 8M "-s two words" && '
                         '/boot/bin/tracelogger')
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(Path(self.sb.path('/boot/tracelogger.calls')).read_text(),
                         '-n 0 -S 8M -s two words\n\n')

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which('setpriv'), 'needs root to drop to')
    def test_runs_as_an_ordinary_user(self):
        for parent, dirs, _ in os.walk(self.sb.root):
            for name in [''] + dirs:
                shutil.chown(os.path.join(parent, name), 'nobody')
        os.chmod(os.path.dirname(self.sb.root), 0o755)
        result = tools.run(
            ['setpriv', '--reuid=nobody', '--regid=nogroup', '--clear-groups',
             RUNNER, self.sb.root, '--', 'sh', '-c', 'id -u; echo x > /mnt/mine'], timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotEqual(result.stdout.strip(), '0')
        self.assertTrue(os.path.isfile(self.sb.path('/mnt/mine')))


class Status(SandboxCase):
    def test_command_status_is_passed_through(self):
        for code in (0, 1, 7, 124):
            result = self.sb.sh('exit %d' % code, logger=False)
            self.assertEqual(result.returncode, code)
        result = self.sb.sh('kill -TERM $$', logger=False)
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

    def test_the_command_gets_the_signal_handling_env_would_give(self):
        # Not that of a shell's background job, which ignores ^C and SIGQUIT.
        def ignore_hangup_and_block_usr1():
            signal.signal(signal.SIGHUP, signal.SIG_IGN)
            signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGUSR1])
        probe = ['grep', '-E', '^Sig(Blk|Ign)', '/proc/self/status']
        for given in (None, ignore_hangup_and_block_usr1):
            with self.subTest(given=given and given.__name__):
                runs = [tools.run(wrapper + probe, preexec_fn=given, timeout=60)
                        for wrapper in (['env'], [RUNNER, self.sb.root, '--'])]
                self.assertEqual(runs[1].stdout, runs[0].stdout, runs[1].stderr)
        result = self.sb.sh('kill -INT $$; echo survived', logger=False)
        self.assertEqual((result.returncode, result.stdout), (130, ''))

    def test_usage_errors_and_the_host_root_are_125_with_a_message(self):
        root = self.sb.root
        tools.assert_usage(self, [RUNNER], 125, (
            ([], 'want ROOT -- COMMAND'), ([root], 'want ROOT -- COMMAND'),
            ([root, 'true'], 'want ROOT -- COMMAND'),
            (['--bogus', root, '--', 'true'], 'unknown option --bogus'),
            (['--logger-output', '', root, '--', 'true'], "bad --logger-output '': want a file"),
            (['--bind', '/nonexistent-source', '/x', root, '--', 'true'],
             '--bind source /nonexistent-source does not exist'),
            (['--timeout', '1x', root, '--', 'true'], "bad --timeout '1x'"),
            (['--timeout'], '--timeout needs DURATION'),
            (['/', '--', 'true'], 'ROOT must not be /')), helps=['--help'])
        result = tools.to_full_disk([RUNNER, '--help'])
        self.assertEqual((result.returncode, result.stderr),
                         (125, 'sandbox-run: write error: No space left on device\n'))

    def test_a_deleted_working_directory_is_refused_before_root_is_touched(self):
        Path(self.sb.path('/dev/slog')).write_text('kept')
        gone = self.sb.beside('gone')
        os.mkdir(gone)

        def enter_and_remove():
            os.chdir(gone)
            os.rmdir(gone)
        result = sandbox_run(self.sb.root, '--', 'true', preexec_fn=enter_and_remove)
        self.assertEqual(result.returncode, 125)
        self.assertIn('sandbox-run: the working directory is gone', result.stderr)
        self.assertEqual(Path(self.sb.path('/dev/slog')).read_text(), 'kept')

    def test_a_missing_bwrap_is_refused(self):
        result = sandbox_run(self.sb.root, '--', 'true', env=dict(os.environ, PATH='/nonexistent'))
        self.assertEqual((result.returncode, result.stderr),
                         (125, 'sandbox-run: bwrap (bubblewrap) is not installed\n'))


def alive(pid):
    return os.path.exists('/proc/%d' % pid)


class Ending(SandboxCase):
    """However a run ends, no process of it outlives the runner."""

    def setUp(self):
        super().setUp()
        self.pids = self.sb.path('/mnt/pids')
        self.addCleanup(self.kill_left_over)

    def kill_left_over(self):
        for pid in self.written_pids():
            if alive(pid):
                os.kill(pid, signal.SIGKILL)

    def written_pids(self):
        """The pids the command has written to /mnt/pids, one a line."""
        if not os.path.exists(self.pids):
            return []
        return [int(line) for line in Path(self.pids).read_text().split('\n')[:-1]]

    def start(self, script, want_pids, *args, **kwargs):
        runner = start(self, *args, self.sb.root, '--', 'sh', '-c', script, **kwargs)
        tools.wait_for(lambda: len(self.written_pids()) >= want_pids)
        return runner

    def test_a_signal_to_the_runner_reaches_the_command_and_then_ends_the_run(self):
        # The command's trap runs; what it started ends with it; one that
        # ignores the signal is killed a moment later.
        # The grace is counted from the signal, however long the command was
        # quiet before it.
        trap = 'trap "echo caught; exit 3" %s; sleep 300 & echo $! > /mnt/pids; wait'
        cases = [(number, trap % number.name[3:], 'caught\n', 0)
                 for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGUSR1,
                                signal.SIGALRM)]
        cases.append((signal.SIGTERM, trap % 'TERM', 'caught\n', 3))
        cases.append((signal.SIGTERM, 'trap "" TERM; echo $$ > /mnt/pids; sleep 300', '', 0))
        for number, script, output, quiet in cases:
            with self.subTest(signal=number.name, script=script, quiet=quiet):
                if os.path.exists(self.pids):
                    os.unlink(self.pids)
                runner = self.start(script, 1)
                time.sleep(quiet)
                runner.send_signal(number)
                stdout, stderr = runner.communicate(timeout=60)
                self.assertEqual((runner.returncode, stdout), (128 + number, output), stderr)
                self.assertFalse(any(map(alive, self.written_pids())))

    def test_a_time_limit_ends_the_run_as_timeout_does(self):
        # Long enough for the trap to be set on a loaded machine.
        runner = self.start('trap "echo term; exit 3" TERM; sleep 300 & echo $! > /mnt/pids; wait',
                            1, '--timeout', '2')
        stdout, stderr = runner.communicate(timeout=60)
        self.assertEqual((runner.returncode, stdout), (124, 'term\n'), stderr)
        self.assertFalse(any(map(alive, self.written_pids())))
        within = sandbox_run('--timeout', '1m', self.sb.root, '--', 'sh', '-c', 'exit 7')
        self.assertEqual(within.returncode, 7)

    def test_one_run_per_root(self):
        # A second run would take the first one's socket and empty its devices.
        log = self.sb.beside('log')
        runner = self.start('echo $$ > /mnt/pids; while [ ! -e /mnt/go ]; do sleep 0.05; done; '
                            'exec ' + shlex.join(SEND), 1, '--logger-output', log)
        second = sandbox_run('--logger-output', log + '2', self.sb.root, '--', 'true')
        self.assertEqual(second.returncode, 125)
        self.assertIn('is in use by another sandbox-run', second.stderr)
        open(self.sb.path('/mnt/go'), 'w').close()
        stdout, stderr = runner.communicate(timeout=60)
        self.assertEqual((runner.returncode, stdout), (0, '25\n'), stderr)
        self.assertEqual(parse_line(Path(log).read_text().rstrip('\n'))[2], 'probe: hello')
        self.assertFalse(os.path.exists(log + '2'))

    def test_the_terminals_interrupt_is_the_commands_to_act_on(self):
        # ^C reaches the command itself, as it would under env: one that
        # carries on ends the run with its own status.
        master, slave = os.openpty()
        self.addCleanup(os.close, master)

        def on_the_terminal():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)
        runner = self.start('trap "echo interrupted" INT; echo $$ > /mnt/pids; '
                            'for i in $(seq 30); do sleep 0.1; done; exit 5', 1,
                            stdin=slave, preexec_fn=on_the_terminal)
        os.close(slave)
        os.write(master, b'\x03')
        stdout, stderr = runner.communicate(timeout=60)
        self.assertEqual((runner.returncode, stdout), (5, 'interrupted\n'), stderr)

    def test_what_the_command_leaves_behind_is_stopped_after_its_records_are_logged(self):
        # dorvane, left to start a moment later, runs to its end and its
        # records all arrive; a sleeper is stopped, one that ignores SIGTERM
        # killed.
        dorvane = shlex.join(build.program('dorvane'))
        open(self.sb.path('/dev/vellmar/debug'), 'w').close()
        log = self.sb.beside('log')
        runner = self.start(
            '(sleep 0.5; %s -x 5) & sleep 300 & echo $! >> /mnt/pids; '
            'sh -c \'trap "" TERM; echo $$ >> /mnt/pids; exec sleep 300\' & '
            'while [ $(wc -l < /mnt/pids) -lt 2 ]; do sleep 0.05; done' % dorvane, 2,
            '--logger-output', log)
        stdout, stderr = runner.communicate(timeout=60)
        self.assertEqual((runner.returncode, stdout, stderr), (0, '', ''))
        self.assertFalse(any(map(alive, self.written_pids())))
        texts = [parse_entry(line).text.split(' PID=')[0]
                 for line in Path(log).read_text().splitlines()]
        self.assertEqual(texts, ['dorvane: process started', 'dorvane: Label: ? QNX: ? Built: ?',
                                 'dorvane: dorvane:  invalid parameter x:5 \\n'])


class Logger(SandboxCase):
    def test_the_log_appears_while_the_command_runs(self):
        # Logs, then waits for the test to have seen the line before it ends.
        runner = start(self, '--logger', self.sb.root, '--', 'sh', '-c', '"$@" || exit; for i in '
                       '$(seq 400); do [ -e /mnt/go ] && exit; sleep 0.05; done; exit 3', 'sh',
                       *SEND)
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
        self.assertEqual(parse_line(hello.rstrip('\n')), ('info', 20001, 'probe: hello'))
        self.assertFalse(os.path.exists(self.sb.path('/dev/sidechannel')))

    def test_logger_output_file_and_arguments(self):
        result = self.sb.run_command(SEND, logger_args=['--fail', 'EBADF:1'])
        self.assertEqual(result.stdout, '-9\n')
        self.assertEqual(result.log, [])
        result = self.sb.run_command(SEND)
        self.assertEqual(result.records, [('info', 20001, 'probe: hello')])
        # Appended, as host-slogger --output does.
        log = self.sb.beside('kept.log')
        Path(log).write_text('an earlier line\n')
        for _ in range(2):
            sandbox_run('--logger-output', log, self.sb.root, '--', *SEND, check=True)
        lines = Path(log).read_text().splitlines()
        self.assertEqual(lines[0], 'an earlier line')
        self.assertEqual([line.endswith(' probe: hello') for line in lines[1:]], [True, True])

    def test_logger_missing_or_failing_is_a_clear_error(self):
        result = self.sb.run_command(['true'], env={'HOST_SLOGGER': '/nonexistent/host-slogger'})
        self.assertEqual(result.returncode, 125)
        self.assertIn('host logger', result.stderr)
        # Every record refused, and a run that succeeded all the same: said once.
        result = sandbox_run('--logger-output', '/dev/full', self.sb.root, '--', 'sh', '-c',
                             '"$@"; echo 0', 'sh', *SEND)
        self.assertEqual((result.returncode, result.stdout), (125, '-5\n0\n'))
        self.assertEqual(result.stderr, 'host-slogger: cannot write the log to /dev/full: No '
                                        'space left on device; records not written are '
                                        'answered EIO\n')
        os.mkdir(self.sb.path('/dev/sidechannel'))  # in the way of the socket
        result = self.sb.run_command(['true'])
        self.assertEqual(result.returncode, 125)
        self.assertIn('host logger failed to start', result.stderr)
        # --logger-arg starts the logger, as --logger-output does.
        result = sandbox_run('--logger-arg', '--bogus', self.sb.root, '--', 'true')
        self.assertEqual(result.returncode, 125)
        self.assertIn('host logger failed to start', result.stderr)

    def test_any_root_a_plain_run_takes_takes_a_logger(self):
        # Inside, the socket is always /dev/sidechannel: ROOT's length does not matter.
        root = os.path.join(self.sb.root, 'a' * 100, 'root')
        result = sandbox_run('--logger-output', self.sb.beside('log'), root, '--', *SEND)
        self.assertEqual((result.returncode, result.stdout), (0, '25\n'), result.stderr)

    def test_a_logger_whose_reader_has_gone_is_no_failure_of_the_run(self):
        # It ends by SIGPIPE, as a filter in a pipeline does; any other signal
        # may have cost records.
        fake = self.sb.beside('fake-logger')
        Path(fake).write_text('#!%s\n' % sys.executable + FAKE_LOGGER)
        os.chmod(fake, 0o755)
        for ending, status, complaint in (('SIGPIPE', 0, ''), ('SIGABRT', 125,
                                          'sandbox-run: the host logger was killed by signal 6')):
            with self.subTest(ending=ending):
                result = self.sb.run_command(['true'], env={'HOST_SLOGGER': fake, 'EMULATOR': '',
                                                            'ENDING': ending})
                self.assertEqual(result.returncode, status)
                self.assertTrue(result.stderr.startswith(complaint), result.stderr)

    def test_a_logger_restarted_outside_is_reached_from_inside(self):
        # The caller's own logger on ROOT/dev/sidechannel, restarted while the
        # command runs: the second record must reach the new one.
        directory = self.sb.path('/dev')
        first = logger.Logger(directory).stop_at_cleanup(self)
        probe = start(self, self.sb.root, '--', *build.program('log_probe'), 'restart')
        tools.wait_for(first.lines, 60)
        first.stop()
        second = logger.Logger(directory).stop_at_cleanup(self)
        open(self.sb.path('/mnt/go'), 'w').close()
        stdout, stderr = probe.communicate(timeout=60)
        second.stop()
        self.assertEqual(probe.returncode, 0, stderr)
        self.assertEqual(stdout.split(), ['27', '26'])
        self.assertEqual(second.lines(), ['info 400 before restart', 'info 400 after restart'])


if __name__ == '__main__':
    unittest.main()
