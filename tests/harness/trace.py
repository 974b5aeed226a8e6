"""System-call traces of a command in the sandbox, taken with strace."""

import os
import re
import shutil


def strace_missing():
    """Why system calls cannot be counted here, or None."""
    if shutil.which('strace') is None:
        return 'strace is not installed (scripts/install-deps installs it)'
    return None


def traced(command, calls, output):
    """command under strace in the sandbox: the calls named go to output."""
    return ['strace', '-f', '-qq', '-e', 'signal=none', '-e', 'trace=' + calls,
            '-o', output] + command


# "123 openat(AT_FDCWD, "/dev/slog", O_WRONLY) = 3", one call per line.
_CALL = re.compile(r'^(?:\d+ +)?(\w+)\((.*)\) += (-?\d+)')
_NAME = re.compile(r'^(?:\d+ +)?(\w+)\(')


def calls(trace_path):
    """(name, arguments, result) of each finished call in a trace."""
    with open(trace_path) as f:
        return [(match.group(1), match.group(2), int(match.group(3)))
                for match in map(_CALL.match, f) if match]


def call_names(trace_path):
    """Names of the calls in a trace, in order, those that never returned
    (exit_group) included."""
    with open(trace_path, encoding='latin-1') as f:
        return [match.group(1) for match in map(_NAME.match, f) if match]


def sanitizer_env():
    """LeakSanitizer stops a traced process: it needs ptrace itself."""
    options = os.environ.get('ASAN_OPTIONS', '')
    return {'ASAN_OPTIONS': (options + ':' if options else '') + 'detect_leaks=0'}
