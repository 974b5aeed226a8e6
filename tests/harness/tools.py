"""The host tools run as processes: what every tool's command line shares."""

import os
import shlex
import shutil
import subprocess
import tempfile
import time


def scratch(testcase, prefix):
    """A temporary directory, removed when the test case ends."""
    directory = tempfile.mkdtemp(prefix=prefix)
    testcase.addCleanup(shutil.rmtree, directory, ignore_errors=True)
    return directory


def wait_for(condition, timeout=30):
    """Polls condition until it holds or timeout seconds have passed; its last value."""
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)
    return condition()


def run(command, text=True, timeout=30, **options):
    """command run to its end, its output and errors captured."""
    return subprocess.run(command, capture_output=True, text=text, timeout=timeout, **options)


def to_full_disk(command):
    """command run with its standard output on /dev/full, its errors captured."""
    with open('/dev/full', 'wb') as full:
        return subprocess.run(command, stdout=full, stderr=subprocess.PIPE, text=True, timeout=30)


def assert_version(test, command, name):
    """--version: the package's, on standard output, status 0."""
    result = run(command + ['--version'])
    test.assertEqual((result.returncode, result.stderr), (0, ''))
    test.assertRegex(result.stdout, r'^%s \(mediaunit-tools\) \d+\.\d+\.\d+\n$' % name)


def assert_usage(test, command, status, errors, helps=('--help', '-h')):
    """Each (args, complaint) of errors: exit status status, nothing on standard
    output, the complaint first on standard error under the program's name;
    each flag of helps: status 0, nothing on standard error; --version. The
    help flags' outputs, and each error's standard error."""
    name = os.path.basename(command[-1])
    stderrs = []
    for args, complaint in errors:
        with test.subTest(args=args):
            result = run(command + args, stdin=subprocess.DEVNULL)
            test.assertEqual((result.returncode, result.stdout), (status, ''))
            test.assertTrue(result.stderr.startswith('%s: %s' % (name, complaint)), result.stderr)
            stderrs.append(result.stderr)
    shown = [run(command + [flag]) for flag in helps]
    for result in shown:
        test.assertEqual((result.returncode, result.stderr), (0, ''))
    assert_version(test, command, name)
    return [result.stdout for result in shown], stderrs


def step(command, timeout=300, **options):
    """Runs a build step; its output, or its output as the failure message."""
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            encoding='utf-8', errors='replace', timeout=timeout, **options)
    if result.returncode != 0:
        raise AssertionError('%s failed:\n%s' % (shlex.join(command), result.stdout))
    return result.stdout
