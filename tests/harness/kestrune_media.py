"""What the kestrune tests share: the paths it works on, read from its own
table, its log lines as Result.records holds them, and a sandbox with the
media component in place."""

import os
import pathlib
import re
import subprocess
import unittest

from harness import build
from harness.sandbox import Sandbox
from harness.wire import TEXT_CODE

ERROR = 'error'  # severity 2
INFO = 'info'  # severity 5


def _program_table():
    """kestrune's own fixed names, read from its header: the tests check the
    program against the one table it is built from."""
    text = (pathlib.Path(build.SOURCE_DIR) / 'tools/kestrune/media_paths.h').read_text()
    names = dict(re.findall(r'constexpr char (\w+)\[\] = "([^"]*)";', text))
    arrays = {name: re.findall(r'"([^"]*)"', body) for name, body in
              re.findall(r'std::array<const char\*, \d+> (\w+) = \{(.*?)\};', text, re.S)}
    first = int(re.search(r'LOOKUP_CACHE_FIRST = (\d+);', text).group(1))
    return names, arrays, first


_NAMES, _ARRAYS, _LOOKUP_FIRST = _program_table()
MM = _NAMES['MEDIA_ROOT']
TRIGGER = _NAMES['KERNELTRACE_TRIGGER']
BACKUP_MARKER = _NAMES['BACKUP_MARKER']
MEDIA_FS = _NAMES['MEDIA_FS_PATH']
QDB_LINK = _NAMES['MEDIA_FS_QDB_LINK']
READY_MARKER = _NAMES['READY_MARKER']
FALLBACK_DIRS = _ARRAYS['FALLBACK_DIRS']
MEDIA_DIRS = _ARRAYS['MEDIA_DIRS']
# The four lookup directories, purged in this order.
LOOKUP_DIRS = MEDIA_DIRS[_LOOKUP_FIRST:_LOOKUP_FIRST + 4]
MLDB, MLDB_BACKUP, ODLCACHE, ODLCACHE_BACKUP = LOOKUP_DIRS
PATH_SIZE = 256
ENTRY_LIMIT = 10


def line(severity, text):
    return (severity, TEXT_CODE, 'kestrune: ' + text)


HDD = line(INFO, 'HDD Detected')
MOUNT_MISSING = line(INFO, 'HDD Media Mount not found !')
STALE = line(ERROR, 'Backup was not written in last live cycle, remove mldb files')
LINK_FAILED = line(
    ERROR, 'Failed to Create io-fs-media-qdb Symlink, io-fs-media-qdb could not be started')
MARKER_FAILED = line(ERROR, ' Failed to Create MEDIAREADY marker file , Media will not come up ')


def _said(severity, form):
    return lambda path: line(severity, form % path)


# The line of each outcome of a purge, for an entry's path or a directory's.
removed = _said(INFO, 'File %s is removed')
not_removed = _said(ERROR, 'Can not remove file %s')
not_opened = _said(ERROR, 'Can not open %s')
too_long = _said(ERROR, 'Can not remove file %s/...: name too long')  # the directory


def read_order(host_dir):
    """The directory's entries as readdir returns them, "." and ".." included."""
    listing = subprocess.run(['ls', '-f', host_dir], capture_output=True, text=True,
                             check=True, timeout=60)
    return listing.stdout.splitlines()


def purge_lines(directory, order, removable=lambda name: True):
    """The lines of one purge: the first ten entries as read, "." and ".."
    among them, a line for each other one."""
    lines = []
    for name in order[:ENTRY_LIMIT]:
        path = directory + '/' + name
        if len(path) >= PATH_SIZE:
            lines.append(too_long(directory))
        elif name not in ('.', '..'):
            lines.append((removed if removable(name) else not_removed)(path))
    return lines


class MediaCase(unittest.TestCase):
    """A fresh sandbox with the media file-system component in place; paths
    are given as kestrune sees them, inside."""

    def setUp(self):
        self.fresh()

    def fresh(self):
        """A new sandbox, for each sub-test that needs its own."""
        self.sb = Sandbox.for_test(self)
        self.make_file(MEDIA_FS)

    def host(self, inside):
        return self.sb.path(inside)

    def exists(self, inside):
        return os.path.lexists(self.host(inside))

    def make_dirs(self, *paths):
        for inside in paths:
            os.makedirs(self.host(inside), exist_ok=True)

    def make_file(self, inside, content=''):
        self.make_dirs(os.path.dirname(inside))
        pathlib.Path(self.host(inside)).write_text(content)

    def make_link(self, inside, target):
        self.make_dirs(os.path.dirname(inside))
        os.symlink(target, self.host(inside))
