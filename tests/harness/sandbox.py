"""Runs the built programs in a private sandbox (sandbox-run), with the host
logger:

    sb = Sandbox.for_test(self)            # removed after the test
    os.makedirs(sb.path('/mnt/quota/mm'))  # the host path of one inside
    result = sb.run('kestrune', '-h')      # exit status, output, system log
    self.assertIn(('info', 20001, 'kestrune: HDD Detected'), result.records)
"""

import os
import shutil
import signal
import subprocess
import tempfile
import unittest
from pathlib import Path

from harness import build, logger


def counts_bind():
    """sandbox-run's options that let an instrumented build's programs write
    their counts into its tree when they exit; elsewhere the build stays
    read-only inside."""
    counts = build.COVERAGE_BUILD_DIR
    return ['--bind', counts, counts] if counts else []


def runner(*options):
    """The command that starts sandbox-run with options, counts bound."""
    return [build.SANDBOX_RUN] + counts_bind() + list(options)


class Result:
    """What one run left: exit status, output and the system log.

    lines: the logger's lines as written; entries: their LogEntry tuples;
    records: (severity name, code, text) a line; pids: the sender a line;
    log: each line as "SEVERITY CODE RECORD", code in decimal, without time
    and pid, for comparing whole logs."""

    def __init__(self, returncode, stdout, stderr, lines):
        self.returncode, self.stdout, self.stderr, self.lines = returncode, stdout, stderr, lines
        self.entries = [logger.parse_entry(line) for line in lines]
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

    def beside(self, name):
        """Host path of name beside ROOT, outside the sandbox, removed with it."""
        return os.path.join(self._base, name)

    def run(self, program, *args, **options):
        """Runs a built program (under the emulator) in the sandbox; a Result."""
        return self.run_command(build.program(program) + [str(a) for a in args], **options)

    def sh(self, script, *args, **options):
        """Runs a shell script in the sandbox, args as its $1...; a Result."""
        return self.run_command(['sh', '-c', script, 'sh'] + [str(a) for a in args], **options)

    def run_command(self, command, logger=True, logger_args=(), timeout=60, env=None,
                    input=None, binds=()):
        """Runs any command list in the sandbox. binds: (host, inside) pairs.
        env: variables added to the current environment."""
        self._runs += 1
        log_path = os.path.join(self._base, 'log-%d.txt' % self._runs)
        options = []
        if logger:
            options += ['--logger-output', log_path]
            for arg in logger_args:
                options += ['--logger-arg', arg]
        for source, target in binds:
            options += ['--bind', source, target]
        process = subprocess.Popen(
            runner(*options, self.root, '--', *command), env=env and dict(os.environ, **env),
            encoding='utf-8', errors='replace', start_new_session=True,
            stdin=subprocess.DEVNULL if input is None else subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            stdout, stderr = process.communicate(input, timeout=timeout)
        except subprocess.TimeoutExpired:
            _stop_group(process)
            raise
        log = logger and os.path.exists(log_path) and Path(log_path).read_text('latin-1')
        return Result(process.returncode, stdout, stderr, (log or '').splitlines())


class SandboxCase(unittest.TestCase):
    """A test case with a fresh sandbox of its own, self.sb."""

    def setUp(self):
        self.sb = Sandbox.for_test(self)


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
