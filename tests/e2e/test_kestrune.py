"""kestrune end to end: the real program in the sandbox, judged by the tree,
link and marker it leaves and by its lines in the host logger."""

import os
import sys
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import build, tools
from harness.kestrune_media import (
    BACKUP_MARKER, ENTRY_LIMIT, FALLBACK_DIRS, HDD, LINK_FAILED, MARKER_FAILED, MEDIA_DIRS,
    MEDIA_FS, MLDB, MLDB_BACKUP, MM, MOUNT_MISSING, ODLCACHE, ODLCACHE_BACKUP, PATH_SIZE,
    QDB_LINK, READY_MARKER, STALE, TRIGGER, MediaCase, not_opened, not_removed, purge_lines,
    read_order, removed, too_long)


# The media tree as the unit expects it: the one check of kestrune's own table,
# which every other test reads.
MEDIA_TREE = sorted([
    'PVCache', 'PVCache/hu', 'PVCache/rse', 'backup', 'backup2', 'EntServer', 'Voicenotes',
    'Voicenotes/tmp', 'A4A', 'ODLCoverart', 'gracenote', 'gracenote/mldb',
    'gracenote/mldb_backup', 'gracenote/odlcache', 'gracenote/odlcache_backup', 'sdars',
    'sdars/art', 'sdars/art/baseline', 'OnlineEntertainment', 'OnlineEntertainment/Content',
    'OnlineEntertainment/Coverart', 'OnlineEntertainment/Channeldata',
    'OnlineEntertainment/App', 'OnlineEntertainment/Fingerprint'])


class KestruneCase(MediaCase):
    def run_kestrune(self, *args, umask=None, records=None):
        """A run that exits 0 and prints nothing; records: what it must log."""
        if umask is None:
            result = self.sb.run('kestrune', *args)
        else:
            result = self.sb.sh('umask %03o; exec "$@"' % umask, *build.program('kestrune'), *args)
        self.assertEqual((result.returncode, result.stdout), (0, ''), result)
        if records is not None:
            self.assertEqual(result.records, records)
        return result

    def assert_ready(self):
        self.assertEqual(os.readlink(self.host(QDB_LINK)), MEDIA_FS)
        self.assertEqual(os.path.getsize(self.host(READY_MARKER)), 0)

    def expected_lines(self, inside):
        """What one run logs for a directory of plain files, and what it removes."""
        first = read_order(self.host(inside))[:ENTRY_LIMIT]
        gone = [name for name in first
                if name not in ('.', '..') and len(inside + '/' + name) < PATH_SIZE]
        return purge_lines(inside, first), gone

    def make_files(self, inside, names):
        self.make_dirs(inside)
        for name in names:
            self.make_file(inside + '/' + name, 'stale')

    def listing(self, inside):
        return sorted(os.listdir(self.host(inside)))


class StartupTest(KestruneCase):
    def test_without_disk_only_fallback_dirs_link_and_marker(self):
        # An unknown letter is skipped; an operand ends the options, as on
        # the unit, so a later -h is not seen.
        for args in ([], ['-x'], ['start', '-h']):
            with self.subTest(args=args):
                self.fresh()
                self.make_dirs('/var/opt/mm')
                self.make_file(MLDB + '/kept.db')
                self.run_kestrune(*args, records=[])
                for inside in FALLBACK_DIRS:
                    self.assertTrue(os.path.isdir(self.host(inside)), inside)
                self.assertEqual(os.listdir(self.host(MM)), ['gracenote'])
                self.assertTrue(self.exists(MLDB + '/kept.db'))
                self.assertFalse(self.exists('/boot/tracelogger.calls'))
                self.assert_ready()

    def test_fallback_parent_is_never_created(self):
        self.run_kestrune(records=[])
        self.assertFalse(self.exists('/var/opt'))
        self.assert_ready()

    def test_each_h_logs_once_and_the_tree_is_laid_once(self):
        for args in (['-h', '-h'], ['-hh']):
            with self.subTest(args=args):
                self.fresh()
                self.make_dirs(MM, '/var/opt/mm')
                self.run_kestrune(*args, records=[HDD, HDD, STALE])
                top = self.host(MM)
                made = [os.path.relpath(os.path.join(d, n), top)
                        for d, names, _ in os.walk(top) for n in names]
                self.assertEqual(sorted(made), MEDIA_TREE)
                self.assertFalse(self.exists(FALLBACK_DIRS[0]))
                self.assert_ready()

    def test_missing_mount_creates_nothing_but_link_and_marker(self):
        self.make_dirs('/var/opt/mm')
        self.run_kestrune('-h', records=[HDD, MOUNT_MISSING])
        self.assertFalse(self.exists('/mnt/quota'))
        self.assertFalse(self.exists(FALLBACK_DIRS[0]))
        self.assert_ready()

    def test_second_start_with_backup_confirmed_logs_only_the_option(self):
        self.make_dirs(*MEDIA_DIRS)
        self.make_file(BACKUP_MARKER)
        self.make_file(MLDB + '/track.db', 'kept')
        self.run_kestrune('-h')
        self.run_kestrune('-h', records=[HDD])
        self.assertTrue(self.exists(MLDB + '/track.db'))
        self.assert_ready()

    def test_plain_file_where_a_directory_belongs(self):
        self.make_file(MM + '/PVCache', 'not a directory')
        self.make_file(BACKUP_MARKER)
        self.run_kestrune('-h', records=[HDD])
        self.assertTrue(os.path.isfile(self.host(MM + '/PVCache')))
        for inside in MEDIA_DIRS[1:3]:
            self.assertFalse(self.exists(inside), inside)
        for inside in MEDIA_DIRS[3:]:
            self.assertTrue(os.path.isdir(self.host(inside)), inside)
        self.assert_ready()

    def test_modes_are_the_creation_modes_less_the_umask(self):
        for mask, dir_mode in ((0o022, 0o755), (0o077, 0o700), (0o000, 0o777)):
            with self.subTest(umask='%03o' % mask):
                self.fresh()
                self.make_dirs(MM)
                self.run_kestrune('-h', umask=mask)
                for inside in MEDIA_DIRS:
                    mode = os.stat(self.host(inside)).st_mode & 0o7777
                    self.assertEqual(mode, dir_mode, inside)
                mode = os.stat(self.host(READY_MARKER)).st_mode & 0o7777
                self.assertEqual(mode, 0o600 & ~mask)


# A tracer that runs until the test releases it (or 30 s have passed), away
# from the run's output so that nothing waits for it to close them.
LINGERING_TRACER = """#!/bin/sh
exec </dev/null >/dev/null 2>&1
: > /boot/tracer.running
for i in $(seq 600); do
    [ -e /boot/tracer.release ] && break
    sleep 0.05
done
echo "$*" >> /boot/tracelogger.calls
"""


# Runs kestrune ("$@"), then finds its tracer still running, lets it go and
# waits for it to end; 2 when kestrune waited for it, 3 when it never ran.
AFTER_KESTRUNE = """"$@" || exit 1
[ -e /boot/tracelogger.calls ] && exit 2
for i in $(seq 400); do [ -e /boot/tracer.running ] && break; sleep 0.05; done
[ -e /boot/tracer.running ] || exit 3
: > /boot/tracer.release
for i in $(seq 400); do [ -e /boot/tracelogger.calls ] && exit 0; sleep 0.05; done
exit 4
"""


class TracerTest(KestruneCase):
    def wait_for_calls(self):
        """The tracer runs in the background; wait a bounded while for it."""
        calls = Path(self.host('/boot/tracelogger.calls'))
        self.assertTrue(tools.wait_for(lambda: calls.exists() and calls.read_text().endswith('\n'),
                                       20), 'the tracer was not started')
        return calls.read_text()

    def test_start_up_does_not_wait_for_the_tracer(self):
        # The runner stops what a run leaves behind, so the tracer is let go
        # inside the run, once kestrune has returned without it.
        self.make_file(TRIGGER)
        self.make_file('/boot/bin/tracelogger', LINGERING_TRACER)
        os.chmod(self.host('/boot/bin/tracelogger'), 0o755)
        result = self.sb.sh(AFTER_KESTRUNE, *build.program('kestrune'), timeout=60)
        self.assertEqual(result.returncode, 0, result)
        self.assert_ready()
        self.assertEqual(self.wait_for_calls(), '-M -n0 -w -S120M\n')

    def test_trigger_starts_the_tracer_with_or_without_disk(self):
        for args in ([], ['-h']):
            with self.subTest(args=args):
                self.fresh()
                self.make_file(TRIGGER)
                self.make_file(BACKUP_MARKER)
                self.run_kestrune(*args)
                self.assertEqual(self.wait_for_calls(), '-M -n0 -w -S120M\n')
                self.assert_ready()


class ShortStackTest(KestruneCase):
    FATAL = 'Fatal: Could not write slog event: Cannot allocate memory\n'

    def test_short_main_stack_refuses_records_instead_of_crashing(self):
        # 14 KiB of stack, no environment, no address randomisation: the C
        # library's stdio needs more than is left, so the line that reports a
        # refused record must not go through it.
        if build.EMULATOR:
            self.skipTest('qemu-user needs more than 14 KiB of stack itself, and gives '
                          'the program at least 128 KiB whatever the limit')
        self.make_dirs(MM)
        program = os.path.join(build.BIN_DIR, 'kestrune')
        result = self.sb.run_command(
            ['setarch', '-R', 'prlimit', '--stack=14336', 'env', '-i', program, '-h'])
        self.assertEqual(result.returncode, 0, result)
        # Each record arrives whole or is refused with one Fatal line.
        refused = result.stderr.count(self.FATAL)
        self.assertEqual(result.stderr, self.FATAL * refused, result)
        expected = [HDD, STALE]
        self.assertEqual(len(result.records) + refused, len(expected), result)
        for record in result.records:
            self.assertIn(record, expected)
        for inside in MEDIA_DIRS:
            self.assertTrue(os.path.isdir(self.host(inside)), inside)
        self.assert_ready()


class LinkAndMarkerTest(KestruneCase):
    def test_failed_link_means_no_ready_marker(self):
        def directory_missing():
            os.remove(self.host(MEDIA_FS))
            os.rmdir(self.host('/opt/share/bin'))

        def name_taken_by_a_file():
            self.make_file(QDB_LINK, 'other')

        def link_to_elsewhere():
            self.make_link(QDB_LINK, '/opt/other')

        for prepare in (directory_missing, name_taken_by_a_file, link_to_elsewhere):
            with self.subTest(prepare.__name__):
                self.fresh()
                prepare()
                self.run_kestrune(records=[LINK_FAILED])
                self.assertFalse(self.exists(READY_MARKER))
        self.assertEqual(os.readlink(self.host(QDB_LINK)), '/opt/other')

    def test_existing_right_link_counts_as_made(self):
        self.make_link(QDB_LINK, MEDIA_FS)
        self.run_kestrune(records=[])
        self.assert_ready()

    def test_existing_ready_marker_is_left_untouched(self):
        self.make_file(READY_MARKER, 'from an earlier start')
        os.chmod(self.host(READY_MARKER), 0o644)
        os.utime(self.host(READY_MARKER), ns=(946684800_000000000, 946684800_123456789))
        self.run_kestrune(records=[])
        status = os.stat(self.host(READY_MARKER))
        self.assertEqual(status.st_mtime_ns, 946684800_123456789)
        self.assertEqual(status.st_mode & 0o777, 0o644)
        self.assertEqual(Path(self.host(READY_MARKER)).read_text(), 'from an earlier start')

    def test_marker_that_cannot_be_created_is_reported(self):
        # A dangling link reads as missing, and creating through it fails.
        self.make_link(READY_MARKER, '/dev/shmem/gone/kestruneFinished')
        result = self.run_kestrune(records=[MARKER_FAILED])
        self.assertEqual(result.stderr, '')


class PurgeTest(KestruneCase):
    def test_ten_entries_per_directory_and_run(self):
        files = ['track%02d.db' % i for i in range(20)]
        self.make_files(MLDB, files)
        self.make_files(ODLCACHE, ['a.jpg', 'b.jpg', 'c.jpg'])
        left = set(files)
        for start in ('first', 'second'):
            with self.subTest(start=start):
                mldb_lines, gone = self.expected_lines(MLDB)
                self.assertIn(len(gone), (8, 9, 10))
                odl_lines, _ = self.expected_lines(ODLCACHE)
                self.run_kestrune('-h', records=[HDD, STALE] + mldb_lines + odl_lines)
                left -= set(gone)
                self.assertEqual(self.listing(MLDB), sorted(left))
                self.assertEqual(self.listing(ODLCACHE), [])

    def test_subdirectories_are_removed_only_when_empty(self):
        self.make_dirs(MLDB_BACKUP + '/empty', MLDB_BACKUP + '/full')
        self.make_file(MLDB_BACKUP + '/full/keep.db')
        result = self.run_kestrune('-h')
        self.assertEqual(result.records[:2], [HDD, STALE])
        self.assertCountEqual(result.records[2:], [
            removed(MLDB_BACKUP + '/empty'), not_removed(MLDB_BACKUP + '/full')])
        self.assertEqual(self.listing(MLDB_BACKUP), ['full'])
        self.assertTrue(self.exists(MLDB_BACKUP + '/full/keep.db'))

    def test_directory_that_cannot_be_opened_does_not_stop_the_others(self):
        self.make_files(MLDB, ['one.db'])
        self.make_file(MLDB_BACKUP, 'not a directory')
        self.make_files(ODLCACHE_BACKUP, ['two.db'])
        self.run_kestrune('-h', records=[
            HDD, STALE, removed(MLDB + '/one.db'), not_opened(MLDB_BACKUP),
            removed(ODLCACHE_BACKUP + '/two.db')])
        self.assert_ready()

    def test_entry_names_are_logged_as_they_are(self):
        self.make_files(ODLCACHE, ['100%s%n%d.db'])
        self.run_kestrune('-h', records=[HDD, STALE, removed(ODLCACHE + '/100%s%n%d.db')])


class PurgeContainmentTest(KestruneCase):
    def test_lookup_directory_that_is_a_link_is_not_followed(self):
        self.make_files('/var/elsewhere', ['precious.db'])
        self.make_dirs(MM + '/gracenote')
        self.make_link(MLDB, '/var/elsewhere')
        self.run_kestrune('-h', records=[HDD, STALE, not_opened(MLDB)])
        self.assertEqual(self.listing('/var/elsewhere'), ['precious.db'])
        self.assertTrue(os.path.islink(self.host(MLDB)))

    def test_links_inside_are_removed_as_links(self):
        self.make_file('/var/keep.txt', 'target')
        self.make_files('/var/keepdir', ['inner.db'])
        self.make_link(ODLCACHE + '/to-file', '/var/keep.txt')
        self.make_link(ODLCACHE + '/to-dir', '/var/keepdir')
        result = self.run_kestrune('-h')
        self.assertEqual(result.records[:2], [HDD, STALE])
        self.assertCountEqual(result.records[2:], [
            removed(ODLCACHE + '/to-file'), removed(ODLCACHE + '/to-dir')])
        self.assertEqual(self.listing(ODLCACHE), [])
        self.assertTrue(self.exists('/var/keep.txt'))
        self.assertEqual(self.listing('/var/keepdir'), ['inner.db'])

    def test_name_too_long_for_the_path_buffer_is_skipped_and_counted(self):
        # 39 characters of directory, "/" and the terminating zero leave 215.
        longest = 'f' * (PATH_SIZE - len(ODLCACHE_BACKUP) - 2)
        overlong = ['g' * (len(longest) + 1), 'h' * 250, 'i' * 255]
        # Eleven entries with "." and "..": the one left unread shows that a
        # skipped name counts towards the ten.
        names = [longest] + overlong + ['n%d' % i for i in range(5)]
        self.make_files(ODLCACHE_BACKUP, names)
        expected, gone = self.expected_lines(ODLCACHE_BACKUP)
        self.assertIn(too_long(ODLCACHE_BACKUP), expected)
        self.run_kestrune('-h', records=[HDD, STALE] + expected)
        self.assertEqual(self.listing(ODLCACHE_BACKUP), sorted(set(names) - set(gone)))
        for name in overlong:
            self.assertTrue(self.exists(ODLCACHE_BACKUP + '/' + name))


if __name__ == '__main__':
    unittest.main()
