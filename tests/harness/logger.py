"""The host logger: its lines read back, and host-slogger run as a process.

A line reads "TIME PID SEVERITY CODE RECORD", for example
"2026-12-08T12:00:00.123456Z 4242 info 0x00004E21 kestrune: started"; a
record read from a /dev/slog file has "-" for its time and pid. A record's
text is as the logger wrote it: C-style escaped (a newline in the text reads
as the two characters backslash and n); see unescape().
"""

import collections
import os
import pathlib
import re
import resource
import signal
import subprocess

from harness import build, tools, wire

COMMAND = build.program('host-slogger')

_LINE = re.compile(r'^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z|-) (\d+|-) '
                   r'(shutdown|critical|error|warning|notice|info|debug1|debug2) '
                   r'0x([0-9A-F]{8}) (.*)$')
_ESCAPE = re.compile(r'\\(n|t|\\|x[0-9a-f]{2})')

# One logger line: time and pid are None when absent.
LogEntry = collections.namedtuple('LogEntry', 'time pid severity code text')


def parse_entry(line):
    """The LogEntry of one logger line; ValueError if malformed."""
    match = _LINE.match(line)
    if not match:
        raise ValueError('not a log line: %r' % line)
    time_, pid, severity, code, text = match.groups()
    return LogEntry(None if time_ == '-' else time_, None if pid == '-' else int(pid),
                    severity, int(code, 16), text)


def parse_line(line):
    """(severity name, code, text) of one logger line; ValueError if malformed."""
    return parse_entry(line)[2:]


def short(line):
    """A line as "SEVERITY CODE RECORD", code in decimal: without the time
    and pid, which change from run to run."""
    return '%s %d %s' % parse_line(line)


def read(path):
    """The short() lines of a log file."""
    return [short(line) for line in pathlib.Path(path).read_text('latin-1').splitlines()]


def unescape(text):
    """The bytes a text record carried, from the escaped text of its line."""
    def one(match):
        code = match.group(1)
        return {'n': '\n', 't': '\t', '\\': '\\'}.get(code) or chr(int(code[1:], 16))
    return _ESCAPE.sub(one, text).encode('latin-1')


class Logger:
    """host-slogger on DIRECTORY/sidechannel (or socket), logging to
    DIRECTORY/log (or output; None: standard output, or stdout), started with
    the descriptors in closed closed and the (resource, limit) pairs of limits
    set."""

    def __init__(self, directory, *args, socket=None, output='log', closed=(), limits=(),
                 stdout=None):
        self.socket = socket or os.path.join(directory, 'sidechannel')
        self.output = output and os.path.join(directory, output)

        def child():
            for fd in closed:
                os.close(fd)
            for which, limit in limits:
                resource.setrlimit(which, (limit, resource.getrlimit(which)[1]))

        # A coverage build's counts, cut short by a file size limit, would
        # spoil the tree's: a limited logger's go to a scratch directory.
        env = dict(os.environ, GCOV_PREFIX=os.path.join(directory, 'counts')) if limits else None
        self.process = subprocess.Popen(
            COMMAND + ['--socket', self.socket] + (['--output', self.output] if output else []) +
            list(args), stdout=stdout, stderr=subprocess.PIPE, text=True, preexec_fn=child,
            env=env)
        tools.wait_for(lambda: os.path.exists(self.socket) or self.process.poll() is not None)
        if not os.path.exists(self.socket):
            raise RuntimeError('logger did not start: %s' % self.process.stderr.read())

    def connect(self):
        return wire.connect(self.socket)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        _, stderr = self.process.communicate(timeout=30)
        # Under a file size limit a coverage build cannot write its counts at
        # exit: that complaint is the instrumentation's, not the logger's.
        return ''.join(line for line in stderr.splitlines(keepends=True)
                       if not line.startswith('libgcov profiling error:'))

    def stop_at_cleanup(self, testcase):
        """Stops the logger when the test ends, unless it has ended."""
        testcase.addCleanup(lambda: self.process.poll() is None and self.stop())
        return self

    def raw_lines(self):
        return pathlib.Path(self.output).read_text('latin-1').splitlines()

    def lines(self):
        """The short() lines logged so far."""
        return read(self.output)
