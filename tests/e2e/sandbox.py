"""Runs the built programs in a private sandbox, with the host logger.

CTest sets BIN_DIR (the built programs), EMULATOR (a command prefix such as
"qemu-arm -L /usr/arm-linux-gnueabihf" on the armhf build, else empty) and
SANDBOX_RUN (the build's sandbox-run; in a cross build one built for the
build machine). HOST_SLOGGER defaults to BIN_DIR/host-slogger.
COVERAGE_BUILD_DIR, set by a coverage build only, is bound writable inside.

    class KestruneTest(unittest.TestCase):
        def test_marker(self):
            sb = Sandbox.for_test(self)            # removed after the test
            os.makedirs(sb.path('/mnt/quota/mm'))  # host path inside ROOT
            result = sb.run('kestrune', '-h')
            self.assertEqual(result.returncode, 0)
            self.assertIn(('info', 20001, 'kestrune: ...'), result.records)
            self.assertEqual(len(set(result.pids)), 1)  # one sender

A logger line reads "TIME PID SEVERITY CODE RECORD", for example
"2026-12-08T12:00:00.123456Z 4242 info 0x00004E21 kestrune: started"; a
record read from a /dev/slog file has "-" for its time and pid. A record's text
is as the logger wrote it: C-style escaped (a newline in the text reads as the
two characters backslash and n); see unescape().
"""

import collections
import os
import re
import shlex
import shutil
import signal
import subprocess
import tempfile

_LINE = re.compile(r'^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z|-) (\d+|-) '
                   r'(shutdown|critical|error|warning|notice|info|debug1|debug2) '
                   r'0x([0-9A-F]{8}) (.*)$')
_ESCAPE = re.compile(r'\\(n|t|\\|x[0-9a-f]{2})')

# One logger line: time and pid are None when absent.
LogEntry = collections.namedtuple('LogEntry', 'time pid severity code text')


def parse_log_entry(line):
    """The LogEntry of one logger line; ValueError if malformed."""
    match = _LINE.match(line)
    if not match:
        raise ValueError('not a log line: %r' % line)
    time, pid, severity, code, text = match.groups()
    return LogEntry(None if time == '-' else time, None if pid == '-' else int(pid),
                    severity, int(code, 16), text)


def parse_log_line(line):
    """(sevname, code, text) of one logger line; ValueError if malformed."""
    entry = parse_log_entry(line)
    return entry.severity, entry.code, entry.text


def unescape(text):
    """The bytes a text record carried, from the escaped text of its line."""
    def one(match):
        code = match.group(1)
        return {'n': '\n', 't': '\t', '\\': '\\'}.get(code) or chr(int(code[1:], 16))
    return _ESCAPE.sub(one, text).encode('latin-1')


def counts_bind():
    """sandbox-run's options that let an instrumented build's programs write
    their counts into its tree when they exit; elsewhere the build stays
    read-only inside."""
    counts = os.environ.get('COVERAGE_BUILD_DIR')
    return ['--bind', counts, counts] if counts else []


class Result:
    """What one run left: exit status, output and the system log.

    lines: the logger's lines as written; entries: their LogEntry tuples;
    records: (severity name, code, text) a line; pids: the sender a line;
    log: each line as "SEVERITY CODE RECORD", code in decimal, without time
    and pid, for comparing whole logs."""

    def __init__(self, returncode, stdout, stderr, lines):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr
        self.lines = lines
        self.entries = [parse_log_entry(line) for line in lines]
        self.records = [(e.severity, e.code, e.text) for e in self.entries]
        self.pids = [e.pid for e in self.entries]
        self.log = ['%s %d %s' % record for record in self.records]

    def __repr__(self):
        return ('Result(returncode=%r, stdout=%r, stderr=%r, lines=%r)'
                % (self.returncode, self.stdout, self.stderr, self.lines))


class Sandbox:
    """A fresh ROOT for sandbox-run, with mnt, opt, var, boot, dev/shmem and
    dev/vellmar made empty; close() removes it."""

    def __init__(self):
        self._base = tempfile.mkdtemp(prefix='sandbox-')
        self.root = os.path.join(self._base, 'root')
        # The runner's layout, ready for a test to fill before the first run.
        for inside in ('mnt', 'opt', 'var', 'boot', 'dev/shmem', 'dev/vellmar'):
            os.makedirs(os.path.join(self.root, inside))
        self._runs = 0

    @classmethod
    def for_test(cls, testcase):
        """A sandbox removed when the test case ends."""
        sandbox = cls()
        testcase.addCleanup(sandbox.close)
        return sandbox

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self._base is None:
            return
        # A test may leave directories without write or search permission.
        for parent, dirs, _ in os.walk(self._base):
            for name in dirs:
                path = os.path.join(parent, name)
                if not os.path.islink(path):
                    os.chmod(path, 0o755)
        shutil.rmtree(self._base, ignore_errors=True)
        self._base = None

    def path(self, inside):
        """Host path of an absolute path inside the sandbox (/mnt, /dev/slog, ...)."""
        return os.path.join(self.root, inside.lstrip('/'))

    def run(self, program, *args, logger=True, logger_args=(), timeout=60, env=None,
            input=None, binds=()):
        """Runs BIN_DIR/program (under EMULATOR) in the sandbox; returns a Result."""
        command = shlex.split(os.environ.get('EMULATOR', ''))
        command += [os.path.join(os.environ['BIN_DIR'], program)] + [str(a) for a in args]
        return self.run_command(command, logger=logger, logger_args=logger_args,
                                timeout=timeout, env=env, input=input, binds=binds)

    def run_command(self, command, logger=True, logger_args=(), timeout=60, env=None,
                    input=None, binds=()):
        """Runs any command list in the sandbox. binds: (host, inside) pairs.
        env: variables added to the current environment."""
        self._runs += 1
        log_path = os.path.join(self._base, 'log-%d.txt' % self._runs)
        runner = [os.environ['SANDBOX_RUN']]
        if logger:
            runner += ['--logger-output', log_path]
            for arg in logger_args:
                runner += ['--logger-arg', arg]
        for source, target in binds:
            runner += ['--bind', source, target]
        runner += counts_bind() + [self.root, '--'] + list(command)

        run_env = dict(os.environ)
        if 'BIN_DIR' in run_env:
            run_env.setdefault('HOST_SLOGGER', os.path.join(run_env['BIN_DIR'], 'host-slogger'))
        run_env.update(env or {})
        process = subprocess.Popen(
            runner, env=run_env, encoding='utf-8', errors='replace', start_new_session=True,
            stdin=subprocess.DEVNULL if input is None else subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            stdout, stderr = process.communicate(input, timeout=timeout)
        except subprocess.TimeoutExpired:
            _stop_group(process)
            raise
        log = []
        if logger and os.path.exists(log_path):
            with open(log_path, encoding='latin-1') as f:
                log = f.read().splitlines()
        return Result(process.returncode, stdout, stderr, log)


def _stop_group(process):
    """Stops the runner, its logger and the command after a timeout."""
    for sig, wait in ((signal.SIGTERM, 5), (signal.SIGKILL, None)):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            return
        try:
            process.communicate(timeout=wait)
            return
        except subprocess.TimeoutExpired:
            continue
