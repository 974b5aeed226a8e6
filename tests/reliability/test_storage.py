"""kestrune against a media partition that refuses: mounted read-only, full
(no blocks, or no inodes left), or with lookup directories of ten thousand
entries. Each run must exit 0, log exactly what happened and touch nothing
outside its own paths."""

import os
import stat
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import build, trace
from harness.kestrune_media import (
    ENTRY_LIMIT, HDD, LOOKUP_DIRS, MEDIA_DIRS, MEDIA_FS, MLDB, MLDB_BACKUP, MM, ODLCACHE,
    ODLCACHE_BACKUP, QDB_LINK, READY_MARKER, STALE, MediaCase, not_opened, purge_lines,
    read_order)


def snapshot(root):
    """What is under root: kind, mode and, for files and links, content."""
    entries = {}
    for parent, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(parent, name)
            info = os.lstat(path)
            if stat.S_ISLNK(info.st_mode):
                what = ('link', os.readlink(path))
            elif stat.S_ISDIR(info.st_mode):
                what = ('dir', info.st_mode)
            else:
                what = ('file', info.st_mode, info.st_size, info.st_mtime_ns)
            entries[os.path.relpath(path, root)] = what
    return entries


READ_ONLY = r'''
mount --bind /mnt/quota/mm /mnt/quota/mm && mount -o remount,bind,ro /mnt/quota/mm || exit 90
exec "$@"
'''

# A small tmpfs on the media partition, a few stale files, then filled up.
# Prints the stale files in the order they are read, runs kestrune, then
# prints the tree it left.
FULL = r'''
mount -t tmpfs -o "$OPTIONS" none /mnt/quota/mm || exit 90
cd /mnt/quota/mm && mkdir -p gracenote/mldb fill || exit 91
for n in 1 2 3 4 5; do true > gracenote/mldb/old$n.db || exit 91; done
cat /dev/zero > fill/zero 2>/dev/null
if [ -n "$NO_INODES" ]; then
    n=0; while { true > fill/$n; } 2>/dev/null; do n=$((n + 1)); done
fi
df /mnt/quota/mm | grep -q ' 100% ' || { echo "the partition is not full" >&2; exit 91; }
ls -f gracenote/mldb | sed 's/^/order /'
cd /
"$@"; echo "status $?"
find /mnt/quota/mm ! -path '/mnt/quota/mm/fill/*' | sed 's/^/tree /'
'''


class StorageCase(MediaCase):
    def setUp(self):
        super().setUp()
        # The runner lays out its own files on the first run; take the
        # picture after that.
        self.assertEqual(self.sb.run_command(['true'], logger=False).returncode, 0)

    def in_own_mounts(self, script, env=None):
        """Runs script with kestrune -h as its arguments, as root of a user
        namespace of its own: its mounts are its own, and nothing needs
        privileges on the host. The run's Result."""
        command = ['unshare', '-Urm', 'sh', '-c', script, 'sh'] + build.program('kestrune')
        result = self.sb.run_command(command + ['-h'], env=env, timeout=120)
        # Exit status 90: the script could not mount.
        if result.returncode == 90 or result.stderr.startswith('unshare: '):
            self.skipTest('the sandbox cannot have mounts of its own here (user namespaces '
                          'disabled?): %s' % result.stderr)
        return result

    def assert_only_link_and_marker_added(self, before):
        after = snapshot(self.sb.root)
        added = {'/' + path: after[path] for path in after.keys() - before.keys()}
        self.assertEqual(sorted(added), sorted([QDB_LINK, READY_MARKER]))
        self.assertEqual(added[QDB_LINK], ('link', MEDIA_FS))
        self.assertEqual(added[READY_MARKER][2], 0)
        self.assertEqual({path: after[path] for path in before}, before, 'changed or removed')


class ReadOnlyMedia(StorageCase):
    def test_read_only_partition_refuses_everything_and_is_logged(self):
        for name in ['%02d.db' % n for n in range(12)]:
            self.make_file(MLDB + '/' + name)
        for name in ('a.db', 'b.db', 'full/c.db'):
            self.make_file(ODLCACHE + '/' + name)
        os.makedirs(self.host('/var/opt/mm'))
        mldb_order, odl_order = read_order(self.host(MLDB)), read_order(self.host(ODLCACHE))
        before = snapshot(self.sb.root)
        result = self.in_own_mounts(READ_ONLY)
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, '', ''))
        refused = lambda name: False
        self.assertEqual(result.records, [HDD, STALE] + purge_lines(MLDB, mldb_order, refused) +
                         [not_opened(MLDB_BACKUP)] + purge_lines(ODLCACHE, odl_order, refused) +
                         [not_opened(ODLCACHE_BACKUP)])
        self.assert_only_link_and_marker_added(before)


class FullMedia(StorageCase):
    def test_full_partition_is_purged_and_nothing_else_is_made(self):
        stale = ['old%d.db' % n for n in range(1, 6)]
        # tmpfs charges data to its size but not directories: with no
        # blocks left the tree is still laid, with no inodes left it is not.
        for case, options, no_inodes in (('no blocks', 'size=256k,mode=755', ''),
                                         ('no inodes', 'size=256k,nr_inodes=64,mode=755', '1')):
            with self.subTest(case=case):
                os.makedirs(self.host(MM), exist_ok=True)
                before = snapshot(self.sb.root)
                result = self.in_own_mounts(FULL, env={'OPTIONS': options,
                                                       'NO_INODES': no_inodes})
                self.assertEqual(result.returncode, 0, result)
                lines = result.stdout.splitlines()
                order = [l[len('order '):] for l in lines if l.startswith('order ')]
                tree = [l[len('tree ' + MM):].lstrip('/') for l in lines if l.startswith('tree ')]
                # kestrune itself printed nothing and exited 0.
                self.assertEqual(len(order) + 1 + len(tree), len(lines), result.stdout)
                self.assertIn('status 0', lines)
                self.assertEqual(sorted(order), sorted(['.', '..'] + stale))

                expected = [HDD, STALE] + purge_lines(MLDB, order)
                made = ['', 'fill', 'gracenote', 'gracenote/mldb']
                if no_inodes:
                    expected += [not_opened(d) for d in LOOKUP_DIRS[1:]]
                else:
                    made = sorted(set(made + [d[len(MM) + 1:] for d in MEDIA_DIRS]))
                self.assertEqual(result.records, expected)
                self.assertEqual(sorted(tree), sorted(made))
                self.assert_only_link_and_marker_added(before)
                for inside in (QDB_LINK, READY_MARKER):
                    os.unlink(self.host(inside))


class HugeLookupDirectory(StorageCase):
    """Four lookup directories of 10,000 entries each: names of one file,
    dangling links, and in the last every 100th a directory holding a file.
    (Links are quick to make: the test stays quick on a slow disk.)"""

    ENTRIES = 10000

    def fill(self):
        full_dirs = set()
        for directory in LOOKUP_DIRS:
            os.makedirs(self.host(directory))
        for number, directory in enumerate(LOOKUP_DIRS):
            # Outside the sandbox's paths, on the same file system.
            seed = self.sb.beside('seed%d' % number)
            open(seed, 'w').close()
            for n in range(self.ENTRIES):
                name = 'entry%05d' % n
                path = os.path.join(self.host(directory), name)
                if directory == MLDB_BACKUP:
                    os.symlink('/nowhere/' + name, path)
                elif directory == ODLCACHE_BACKUP and n % 100 == 0:
                    os.mkdir(path)
                    os.link(seed, os.path.join(path, 'inside'))
                    full_dirs.add(name)
                else:
                    os.link(seed, path)
        return full_dirs

    def test_each_run_reads_at_most_ten_entries_per_directory(self):
        full_dirs = self.fill()
        count_calls = not trace.strace_missing()
        for run in range(2):
            with self.subTest(run=run):
                orders = {d: read_order(self.host(d)) for d in LOOKUP_DIRS}
                command = build.program('kestrune') + ['-h']
                if count_calls:
                    command = trace.traced(command, 'openat,close,getdents64,unlinkat',
                                           '/mnt/trace')
                result = self.sb.run_command(command, env=trace.sanitizer_env())
                self.assertEqual((result.returncode, result.stdout), (0, ''), result)

                expected = [HDD, STALE]
                for directory in LOOKUP_DIRS:
                    removable = lambda name: directory != ODLCACHE_BACKUP or name not in full_dirs
                    expected += purge_lines(directory, orders[directory], removable)
                    read = [n for n in orders[directory][:ENTRY_LIMIT] if n not in ('.', '..')]
                    self.assertIn(len(read), (8, 9, 10))
                    gone = set(filter(removable, read))
                    now = set(read_order(self.host(directory)))
                    self.assertEqual(now, set(orders[directory]) - gone, directory)
                self.assertEqual(result.records, expected)

                if count_calls:
                    reads, removals = lookup_calls(trace.calls(self.host('/mnt/trace')))
                    os.unlink(self.host('/mnt/trace'))
                    # One buffer of entries per directory, however many it holds.
                    self.assertEqual(reads, len(LOOKUP_DIRS))
                    # One removal tried per entry logged.
                    self.assertEqual(removals, len(expected) - 2)


def lookup_calls(calls):
    """Directory reads on the lookup directories (not the emulator's own
    reads elsewhere) and removals, from a trace in call order."""
    reads = removals = 0
    lookup_fds = set()
    for name, args, result in calls:
        fd = args.split(',')[0]
        if name == 'openat' and '/gracenote/' in args and result >= 0:
            lookup_fds.add(str(result))
        elif name == 'close':
            lookup_fds.discard(fd)
        elif name == 'getdents64' and fd in lookup_fds:
            reads += 1
        elif name == 'unlinkat':
            removals += 1
    return reads, removals


if __name__ == '__main__':
    unittest.main()
