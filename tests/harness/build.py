"""The build under test: where its programs are and how to start them.

CTest sets each variable for the build it tests; a test run by hand gets the
default, from the default preset's build of this tree (build/default):

  SOURCE_DIR    this tree              BUILD_DIR    SOURCE_DIR/build/default
  BIN_DIR       BUILD_DIR/bin          SANDBOX_RUN  BIN_DIR/sandbox-run
  HOST_SLOGGER  BIN_DIR/host-slogger   HOST_LAYER   the build's libslog_host.a
  EMULATOR      none (armhf: "qemu-arm -L ...", a prefix to each program)
  COVERAGE_BUILD_DIR  BUILD_DIR in a coverage build, for the programs' counts
  RELIABILITY_LOAD    full; reduced under the emulator or the sanitizers
  LIBDIR, NM, CC, CXX, TOOLCHAIN_FILE  the build's CMake cache entries
"""

import os
import pathlib
import re
import shlex
import sys


def setting(name, default=''):
    return os.environ.get(name) or default


def cached(name):
    """An entry of the build's CMake cache, '' where it has none."""
    cache = pathlib.Path(BUILD_DIR, 'CMakeCache.txt')
    match = re.search(r'^%s:\w+=(.*)$' % name, cache.read_text() if cache.exists() else '', re.M)
    return match.group(1) if match else ''


SOURCE_DIR = setting('SOURCE_DIR', str(pathlib.Path(__file__).resolve().parents[2]))
BUILD_DIR = setting('BUILD_DIR', os.path.join(SOURCE_DIR, 'build', 'default'))
BIN_DIR = setting('BIN_DIR', os.path.join(BUILD_DIR, 'bin'))
EMULATOR = shlex.split(setting('EMULATOR'))
SANDBOX_RUN = setting('SANDBOX_RUN', os.path.join(BIN_DIR, 'sandbox-run'))
HOST_SLOGGER = setting('HOST_SLOGGER', os.path.join(BIN_DIR, 'host-slogger'))
HOST_LAYER = setting('HOST_LAYER', os.path.join(BUILD_DIR, 'platform', 'libslog_host.a'))
COVERAGE_BUILD_DIR = setting('COVERAGE_BUILD_DIR', BUILD_DIR if cached('COVERAGE') == 'ON' else '')
FULL_LOAD = setting('RELIABILITY_LOAD', 'reduced' if EMULATOR or cached('SANITIZE')
                    else 'full') == 'full'
NM = setting('NM', cached('CMAKE_NM') or 'nm')
# The harness's own logger client: wire.py run as a program.
SEND = [sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), 'wire.py')]


def program(name):
    """The command list that starts a built program, under the emulator if any."""
    return EMULATOR + [os.path.join(BIN_DIR, name)]


def shell_variables():
    """What lets a shell script in the sandbox start the build's programs,
    $EMU $LOGGER and $EMU $PROBE, and send a record, $SEND."""
    return {'EMU': shlex.join(EMULATOR), 'LOGGER': shlex.quote(HOST_SLOGGER),
            'PROBE': shlex.quote(os.path.join(BIN_DIR, 'log_probe')), 'SEND': shlex.join(SEND)}
