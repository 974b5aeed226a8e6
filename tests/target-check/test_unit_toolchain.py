"""The unit build as the unit's SDK would run it, with stand-in SDK tools.

A QNX_HOST/QNX_TARGET tree made here holds qcc, q++ and ntoarmv7-* scripts
that log each call and hand it on to Debian's armhf cross tools; the stand-in
drivers compile as the unit's compiler does (its macros, not Linux's; the
SDK's header names from tests/target-check/include) and link against the
armhf C library, which lacks exactly what the unit's C library adds. Through
cmake/qnx-armv7le.cmake the product is configured, built and installed into a
staging tree, and the log shows what the SDK would have been asked.
"""

import functools
import os
import re
import shutil
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import build, tools

SOURCE_DIR = build.SOURCE_DIR
TOOLCHAIN = '-DCMAKE_TOOLCHAIN_FILE=' + os.path.join(SOURCE_DIR, 'cmake', 'qnx-armv7le.cmake')
CROSS = 'arm-linux-gnueabihf-'
BINARY_TOOLS = ('ar', 'ranlib', 'strip', 'objcopy', 'nm', 'readelf')

# qcc and q++: -V alone lists the targets (CMake asks so to know the driver),
# -Vgcc_ntoarmv7le and -lang-c++ are the driver's own. The SDK's headers in
# strict mode show POSIX only with _QNX_SOURCE, which the armhf C library
# knows as POSIX.1-2008. A link reports the names the armhf C library lacks
# and goes on, as the unit's C library has them.
DRIVER = r'''#!/bin/bash
{ printf '%s' "$(basename "$0")"; printf ' %s' "$@"; echo; } >>"$SDK_LOG"
if [[ $* == -V ]]; then
    printf 'cc: targets available in %s/etc/qcc:\n\n\t8.3.0,gcc_ntoarmv7le\t(default)\n' "$QNX_HOST" >&2
    exit 0
fi
arguments=() link=1 output=a.out previous=
for argument in "$@"; do
    case $argument in
    -V* | -lang-c++) ;;
    -c | -E | -S) link=0; arguments+=("$argument") ;;
    *) arguments+=("$argument") ;;
    esac
    [[ $previous == -o ]] && output=$(basename "$argument")
    previous=$argument
done
unit=(-D__QNX__ -D__QNXNTO__ -U__linux__ -U__linux -Ulinux -U__gnu_linux__ -U_GNU_SOURCE
      -isystem "$QNX_TARGET/usr/include")
[[ " $* " == *" -D_QNX_SOURCE "* ]] && unit+=(-D_POSIX_C_SOURCE=200809L)
if ((!link)); then
    exec COMPILER "${unit[@]}" "${arguments[@]}"
fi
messages=$(COMPILER "${unit[@]}" "${arguments[@]}" -Wl,--warn-unresolved-symbols 2>&1) &&
    status=0 || status=$?
[[ -z $messages ]] || sed "s|^|ld $output: |" <<<"$messages" >>"$SDK_LOG"
[[ -z $messages ]] || echo "$messages" >&2
exit $status
'''
TOOL = '''#!/bin/sh
{ printf '%s' "$(basename "$0")"; printf ' %s' "$@"; echo; } >>"$SDK_LOG"
exec TOOL "$@"
'''
UNDEFINED = re.compile(r"^ld (\S+): .*undefined reference to `([^']+)'$")


run = functools.partial(tools.step, timeout=600)


def write_script(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    Path(path).write_text(text)
    os.chmod(path, 0o755)


def sections(path):
    return run([CROSS + 'readelf', '-S', '-W', path])


class UnitToolchainTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if shutil.which(CROSS + 'g++') is None:
            raise AssertionError('the stand-in drivers need %sg++: scripts/install-deps armhf'
                                 % CROSS)
        cls.work = tempfile.mkdtemp(prefix='unit-sdk-')
        host = os.path.join(cls.work, 'sdk', 'host')
        target = os.path.join(cls.work, 'sdk', 'target')
        for driver, compiler in (('qcc', 'gcc'), ('q++', 'g++')):
            write_script(os.path.join(host, 'usr', 'bin', driver),
                         DRIVER.replace('COMPILER', CROSS + compiler))
        for tool in BINARY_TOOLS:
            write_script(os.path.join(host, 'usr', 'bin', 'ntoarmv7-' + tool),
                         TOOL.replace('TOOL', CROSS + tool))
        shutil.copytree(os.path.join(SOURCE_DIR, 'tests', 'target-check', 'include'),
                        os.path.join(target, 'usr', 'include'))
        os.makedirs(os.path.join(target, 'armle-v7'))
        cls.log = os.path.join(cls.work, 'sdk.log')
        env = dict(os.environ, QNX_HOST=host, QNX_TARGET=target, SDK_LOG=cls.log)
        # What a developer's environment may hold must not reach the unit build.
        for name in ('CC', 'CXX', 'CFLAGS', 'CXXFLAGS', 'LDFLAGS', 'CMAKE_BUILD_TYPE'):
            env.pop(name, None)
        cls.build = os.path.join(cls.work, 'build')
        cls.staging = os.path.join(cls.work, 'staging')
        cls.example = os.path.join(cls.work, 'example')
        for command in (['cmake', '-S', SOURCE_DIR, '-B', cls.build, TOOLCHAIN],
                        ['cmake', '--build', cls.build, '-j2'],
                        ['cmake', '--install', cls.build, '--prefix', cls.staging],
                        # A C++-only project on the staged library: CMake derives
                        # no binary tools from q++.
                        ['cmake', '-S', os.path.join(SOURCE_DIR, 'examples', 'cpp'),
                         '-B', cls.example, TOOLCHAIN,
                         '-Dslog_DIR=' + os.path.join(cls.staging, 'lib', 'cmake', 'slog')],
                        ['cmake', '--build', cls.example]):
            run(command, env=env)
        cls.calls = Path(cls.log).read_text().splitlines()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def compiles(self):
        """The q++ calls that compile a product source."""
        examples = os.path.join(SOURCE_DIR, 'examples', '')
        return [words for words in map(str.split, self.calls)
                if words[0] == 'q++' and '-c' in words and words[-1].startswith(SOURCE_DIR)
                and not words[-1].startswith(examples)]

    def test_product_compiled_for_the_target_as_a_release_in_cxx17(self):
        compiles = self.compiles()
        sources = sorted(os.path.basename(words[-1]) for words in compiles)
        self.assertEqual(sources, ['dorvane.cpp', 'log.cpp', 'main.cpp', 'main.cpp',
                                   'purge.cpp', 'slog.cpp'])
        for words in compiles:
            with self.subTest(source=words[-1]):
                for flag in ('-Vgcc_ntoarmv7le', '-lang-c++', '-std=c++17', '-D_QNX_SOURCE',
                             '-DNDEBUG'):
                    self.assertIn(flag, words)
                self.assertTrue(any(re.fullmatch(r'-O[23s]', word) for word in words), words)

    def test_programs_linked_statically_by_the_driver(self):
        links = [line.split() for line in self.calls
                 if line.startswith('q++ ') and ' -c ' not in line and '/bin/' in line]
        self.assertEqual(sorted(words[words.index('-o') + 1].rsplit('/', 1)[-1]
                                for words in links), ['dorvane', 'kestrune'])
        for words in links:
            self.assertLessEqual({'-Vgcc_ntoarmv7le', '-static'}, set(words), words)

    def test_archives_and_strip_by_the_targets_binary_tools(self):
        used = {line.split()[0] for line in self.calls if line.startswith('ntoarmv7-')}
        self.assertLessEqual({'ntoarmv7-ar', 'ntoarmv7-ranlib', 'ntoarmv7-strip',
                              'ntoarmv7-objcopy'}, used)
        archives = [line for line in self.calls if line.startswith('ntoarmv7-ar ')]
        self.assertTrue(any(line.endswith('libslog.a') or ' libslog.a ' in line
                            for line in archives), archives)

    def test_cxx_only_project_takes_the_targets_binary_tools(self):
        with open(os.path.join(self.example, 'CMakeCache.txt')) as cache:
            tools = dict(re.findall(r'^CMAKE_(AR|RANLIB|STRIP):FILEPATH=(.*)$', cache.read(), re.M))
        self.assertEqual({tool: os.path.basename(path) for tool, path in tools.items()},
                         {'AR': 'ntoarmv7-ar', 'RANLIB': 'ntoarmv7-ranlib',
                          'STRIP': 'ntoarmv7-strip'})

    def test_programs_leave_exactly_the_platform_names_to_the_c_library(self):
        listing = run([build.NM, '-g', '-P', '--defined-only', build.HOST_LAYER])
        platform = {fields[0] for fields in map(str.split, listing.splitlines())
                    if len(fields) >= 2 and fields[1] not in 'WVw'}
        self.assertEqual(len(platform), 7, platform)
        left = {}
        for match in filter(None, map(UNDEFINED.match, self.calls)):
            left.setdefault(match.group(1), set()).add(match.group(2))
        # The C++ example, linked against the staged library, as a program of the unit.
        self.assertEqual(sorted(left), ['dorvane', 'hello_cpp', 'kestrune'])
        for names in left.values():
            self.assertLessEqual(names, platform)
        self.assertEqual(left['kestrune'] | left['dorvane'], platform)

    def test_staging_holds_stripped_programs_and_the_library(self):
        found = sorted(os.path.relpath(os.path.join(top, name), self.staging)
                       for top, _, names in os.walk(self.staging) for name in names)
        for path in ('bin/kestrune', 'lib/libslog.a', 'include/slog/log.h', 'lib/pkgconfig/slog.pc',
                     'share/man/man1/kestrune.1'):
            self.assertIn(path, found)
        self.assertEqual([name for name in found if 'host' in name or name.endswith('.debug')],
                         [])
        for program in ('kestrune', 'dorvane'):
            with self.subTest(program=program):
                installed = sections(os.path.join(self.staging, 'bin', program))
                self.assertNotIn('.symtab', installed)
                self.assertNotIn('.debug_info', installed)
                self.assertIn('.gnu_debuglink', installed)
                kept = sections(os.path.join(self.build, 'bin', program + '.debug'))
                self.assertIn('.debug_info', kept)


if __name__ == '__main__':
    unittest.main()
