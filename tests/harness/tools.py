"""The host tools run as processes: what every tool's command line shares."""

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


def step(command, timeout=300, **options):
    """Runs a build step; its output, or its output as the failure message."""
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            encoding='utf-8', errors='replace', timeout=timeout, **options)
    if result.returncode != 0:
        raise AssertionError('%s failed:\n%s' % (shlex.join(command), result.stdout))
    return result.stdout
