"""The library as another program sees it: installed into a temporary prefix,
the examples and a C program calling every public function built against that
prefix alone (C with pkg-config, C++ with find_package), then run in the
sandbox; every record must arrive as sent. INSTALLED_PREFIX names an installed
copy to check instead (scripts/check-packages: the packages' one); pkg-config
and CMake search /usr by themselves, so it is given to neither.
"""

import glob
import itertools
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import build
from harness.logger import unescape
from harness.sandbox import Sandbox
from harness.tools import step as run

SOURCE_DIR = build.SOURCE_DIR
EXAMPLES = os.path.join(SOURCE_DIR, 'examples', 'c')
HERE = os.path.dirname(os.path.abspath(__file__))
LIBDIR = build.setting('LIBDIR', build.cached('CMAKE_INSTALL_LIBDIR'))
CC = build.setting('CC', build.cached('CMAKE_C_COMPILER') or 'cc')
CXX = build.setting('CXX', build.cached('CMAKE_CXX_COMPILER') or 'c++')
TOOLCHAIN_FILE = build.setting('TOOLCHAIN_FILE', build.cached('CMAKE_TOOLCHAIN_FILE'))
C_FLAGS = ['-std=c11', '-Wall', '-Wextra', '-Werror', '-pedantic']

# Every dialect a program may be written in, with the host's two compilers;
# gcc alone knows -Wuseless-cast.
DIALECTS = {'c': ['c89', 'c90', 'c99', 'c11', 'c17'],
            'c++': ['c++11', 'c++14', 'c++17', 'c++20']}
COMPILERS = [({'c': 'gcc', 'c++': 'g++'}, ['-Wold-style-cast', '-Wuseless-cast']),
             ({'c': 'clang', 'c++': 'clang++'}, ['-Wold-style-cast'])]
HEADER_FLAGS = ['-Wall', '-Wextra', '-Wpedantic', '-Wundef', '-Werror']
# What the headers include themselves: any other macro they leave behind must
# carry their prefix.
STANDARD_HEADERS = {'c': ['stdarg.h', 'stddef.h', 'stdint.h'],
                    'c++': ['stdarg.h', 'stddef.h', 'stdint.h', 'cstdarg', 'cstddef', 'cstdint']}
OWN_MACRO = re.compile(r'^#define (SLOG|LOG)_\w+[ (]')

# The global names a program linking the archives meets: the documented calls,
# the threshold, and the platform names the host layer stands in for. A weak
# definition in namespace std is the standard library's own template, the
# same wherever it is instantiated, so it is allowed too; nothing else is.
PUBLIC_NAMES = {'slogf', 'vslogf', 'slogi', 'slogb', 'log_vprintf', 'log_printf_code',
                'log_error', 'log_warning', 'log_info', 'log_debug', 'log_started',
                'log_terminated', 'log_binary', 'log_ints', 'log_threshold'}
HOST_NAMES = {'MsgSendv', 'devctl', 'pathmgr_symlink', '__stackavail',
              '_slogfd', '__slog_mux', '__slog_once'}
# nm -P: "name type value size", the name demangled and perhaps with blanks.
NM_LINE = re.compile(r'^(.+) ([A-Za-z]) [0-9a-f]+(?: [0-9a-f]+)?$')


class InstalledLibraryTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix='slog-install-')
        if os.environ.get('INSTALLED_PREFIX'):
            cls.prefix = os.environ['INSTALLED_PREFIX']
            return
        # Installed, then moved: the CMake package and slog.pc find the
        # prefix from where they lie, not from where they were installed.
        cls.prefix = os.path.join(cls.work, 'prefix')
        installed = os.path.join(cls.work, 'installed')
        run(['cmake', '--install', build.BUILD_DIR, '--prefix', installed])
        os.rename(installed, cls.prefix)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def build_c(self, source, name, extra=()):
        """Compiles one C file with the flags pkg-config gives for the prefix."""
        pc_dir = os.path.join(self.prefix, LIBDIR, 'pkgconfig')
        env = dict(os.environ)
        if self.prefix != '/usr':
            env.update(PKG_CONFIG_LIBDIR=pc_dir, PKG_CONFIG_PATH='')
        flags = run(['pkg-config', '--cflags', '--libs', 'slog'], env=env).split()
        program = os.path.join(self.work, name)
        run([CC] + C_FLAGS + list(extra) + [source] + flags + ['-o', program])
        return program

    def run_in_sandbox(self, program, *args):
        """(exit status, stdout, records as (severity, code, text bytes))."""
        command = build.EMULATOR + [program] + list(args)
        with Sandbox() as sandbox:
            result = sandbox.run_command(command)
        records = [(severity, code, unescape(text)) for severity, code, text in result.records]
        self.assertEqual(result.returncode, 0, result)
        return result.stdout, records

    def test_headers_land_under_slog_only(self):
        self.assertEqual(os.listdir(os.path.join(self.prefix, 'include')), ['slog'])
        self.assertEqual(sorted(os.listdir(os.path.join(self.prefix, 'include', 'slog'))),
                         ['log.h', 'slog.h'])

    def test_each_header_alone_in_every_dialect_and_compiler(self):
        # Built with -I, as pkg-config gives it, so the headers' own lines are
        # warned about; run, so that the program's own assert is seen to hold.
        source = os.path.join(HERE, 'header_use.c')
        include = ['-I' + os.path.join(self.prefix, 'include')]
        missing = []
        for names, cxx_flags in COMPILERS:
            if shutil.which(names['c']) is None or shutil.which(names['c++']) is None:
                missing.append(names['c'])
                continue
            for language, dialects in DIALECTS.items():
                extra = cxx_flags if language == 'c++' else []
                for dialect, header in itertools.product(dialects, ('slog.h', 'log.h')):
                    with self.subTest(compiler=names[language], dialect=dialect, header=header):
                        compile = [names[language], '-x', language, '-std=' + dialect] + include
                        program = os.path.join(self.work, 'header_use')
                        run(compile + HEADER_FLAGS + extra +
                            ['-DSLOG_HEADER=<slog/%s>' % header, source, '-o', program])
                        run([program])
                        self.check_own_macros_only(compile, header, language)
        if missing:
            self.skipTest('not installed: %s (scripts/install-deps clang)' % ', '.join(missing))

    def check_own_macros_only(self, compile, header, language):
        def macros(text):
            return set(run(compile + ['-dM', '-E', '-'], input=text).splitlines())
        with_header = macros('#include <slog/%s>\n' % header)
        standard = macros(''.join('#include <%s>\n' % name for name in STANDARD_HEADERS[language]))
        foreign = sorted(line for line in with_header ^ standard if not OWN_MACRO.match(line))
        self.assertEqual(foreign, [])

    def test_only_the_public_names_are_global(self):
        archives = sorted(glob.glob(os.path.join(self.prefix, LIBDIR, 'libslog*.a')))
        self.assertEqual([os.path.basename(a) for a in archives], ['libslog.a', 'libslog_host.a'])
        found = set()
        for archive in archives:
            listing = run([build.NM, '-g', '-C', '-P', '--defined-only', archive])
            for match in filter(None, map(NM_LINE.match, listing.splitlines())):
                name, kind = match.groups()
                if not (kind in 'WV' and name.startswith('std::')):
                    found.add(name)
        self.assertEqual(found, PUBLIC_NAMES | HOST_NAMES)

    def test_manual_pages_are_the_sources(self):
        # test_manual_pages renders the sources within 80 columns.
        man3 = os.path.join(self.prefix, 'share', 'man', 'man3')
        pages = {name: Path(man3, name).read_text() for name in sorted(os.listdir(man3))}
        self.assertEqual([name for name, text in pages.items() if not text.startswith('.so ')],
                         ['log_info.3', 'slogf.3'])
        for name in ('log_info.3', 'slogf.3'):
            self.assertEqual(pages[name], Path(SOURCE_DIR, 'docs', 'man', name).read_text(), name)

    def test_c_example_with_pkg_config(self):
        hello = self.build_c(os.path.join(EXAMPLES, 'hello.c'), 'hello')
        _, records = self.run_in_sandbox(hello)
        self.assertEqual(records, [
            ('info', 20001, b'hello: 100% of the disks ready,\tnone failed'),
            ('info', 20002, b'ints[3]: 1 -2 3'),
            ('warning', 20003, b'bytes[5]: de ad be ef 01'),
            ('error', 20004, b'sent by slogf'),
        ])

    def build_with_plugin(self, loader):
        """The example plugin, built with pkg-config, and loader, a C file that loads it."""
        plugin = self.build_c(os.path.join(EXAMPLES, 'plugin.c'), 'plugin.so', ['-shared', '-fPIC'])
        program = os.path.join(self.work, os.path.basename(loader)[:-len('.c')])
        run([CC] + C_FLAGS + [loader, '-ldl', '-o', program])
        return program, plugin

    def test_shared_object_logs(self):
        loader, plugin = self.build_with_plugin(os.path.join(EXAMPLES, 'load_plugin.c'))
        _, records = self.run_in_sandbox(loader, plugin)
        self.assertEqual(records, [('info', 20001, b'load_plugin: plugin round 1'),
                                   ('info', 20005, b'sent from a shared object')])

    def test_unloaded_plugin_takes_its_connection_along(self):
        # Each copy of the library in a plugin has its own connection: one
        # left open per load would reach the logger's limit of clients.
        cycles, plugin = self.build_with_plugin(os.path.join(HERE, 'plugin_cycles.c'))
        stdout, records = self.run_in_sandbox(cycles, plugin, '20')
        before, after = re.match(r'descriptors before (\d+) after (\d+)$', stdout).groups()
        self.assertEqual(after, before)
        self.assertEqual(records, [record for n in range(1, 21) for record in (
            ('info', 20001, b'plugin_cycles: plugin round %d' % n),
            ('info', 20005, b'sent from a shared object'))])

    def test_every_call_from_c(self):
        program = self.build_c(os.path.join(HERE, 'all_calls.c'), 'all_calls')
        stdout, records = self.run_in_sandbox(program)
        pid = int(stdout)
        # The front end's text records carry the program name; the client's do not.
        front_end = [(severity, code, b'all_calls: ' + text) for severity, code, text in (
            ('info', 0x00104E21, b'process started PID=0x%08X' % pid),
            ('error', 20001, b'error 2'),
            ('warning', 20001, b'warning three'),
            ('info', 20001, b'info 32%'),
            ('debug2', 20001, b'debug'),
            ('info', 20001, b'vprintf v'),
            ('notice', 20002, b'code 20002'))]
        client = [
            ('info', 8, b'bytes[5]: 01 02 03 ff 00'),
            ('info', 9, b'ints[2]: -1 2'),
            ('info', 10, b'slogf 1016'),
            ('warning', 11, b'vslogf /dev/slog'),
            ('critical', 12, b'ints[1]: 42'),
            ('shutdown', 13, b'bytes[5]: 01 02 03 ff 00')]
        terminated = ('info', 0x00204E21, b'all_calls: process terminated PID=0x%08X' % pid)
        self.assertEqual(records, front_end + client + [terminated])

    def configure_cpp(self, build, prefix, package_dir):
        """The cmake command that configures the C++ example against a prefix."""
        configure = ['cmake', '-S', os.path.join(SOURCE_DIR, 'examples', 'cpp'), '-B', build,
                     '-DCMAKE_BUILD_TYPE=RelWithDebInfo']
        if TOOLCHAIN_FILE:
            # A cross toolchain confines package searches to its sysroot.
            return configure + ['-DCMAKE_TOOLCHAIN_FILE=' + TOOLCHAIN_FILE,
                                '-Dslog_DIR:PATH=' + package_dir]
        configure.append('-DCMAKE_CXX_COMPILER=' + CXX)
        return configure + ([] if prefix == '/usr' else ['-DCMAKE_PREFIX_PATH=' + prefix])

    def test_build_tree_is_no_package(self):
        # Only an install lays the headers out as <slog/...>: pointed at the
        # build tree, find_package says it found no package, not half of one.
        build_dir = build.BUILD_DIR
        for way in ('slog_DIR', 'CMAKE_PREFIX_PATH'):
            with self.subTest(way=way):
                configure = self.configure_cpp(os.path.join(self.work, 'cpp-' + way), build_dir,
                                               build_dir)
                if way == 'slog_DIR':
                    configure += ['-Dslog_DIR:PATH=' + build_dir]
                result = subprocess.run(configure, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, encoding='utf-8', timeout=300)
                self.assertNotEqual(result.returncode, 0, result.stdout)
                self.assertIn('Could not find a package configuration file provided by "slog"',
                              ' '.join(result.stdout.split()))

    def test_cpp_example_with_find_package(self):
        build = os.path.join(self.work, 'cpp')
        package_dir = os.path.join(self.prefix, LIBDIR, 'cmake', 'slog')
        run(self.configure_cpp(build, self.prefix, package_dir))
        with open(os.path.join(build, 'CMakeCache.txt')) as cache:
            found = [line.rstrip('\n') for line in cache if line.startswith('slog_DIR:')]
        self.assertEqual(found, ['slog_DIR:PATH=' + package_dir])
        run(['cmake', '--build', build])
        _, records = self.run_in_sandbox(os.path.join(build, 'hello_cpp'), 'car')
        self.assertEqual(records, [
            ('info', 20001, b'hello_cpp: hello, car'),
            ('error', 20001, b'hello_cpp: 3 characters in the name'),
        ])


if __name__ == '__main__':
    unittest.main()
