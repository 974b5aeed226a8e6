"""What the kestrune tests share: the paths it works on, its media tree, and
its log lines as Result.records holds them."""

import subprocess

ERROR = 'error'  # severity 2
INFO = 'info'  # severity 5
TEXT_CODE = 20001

MM = '/mnt/quota/mm'
TRIGGER = MM + '/STARTUP_KERNELTRACE'
BACKUP_MARKER = MM + '/backupWritten'
MEDIA_FS = '/opt/share/bin/io-fs-media'
QDB_LINK = '/opt/share/bin/io-fs-media-qdb'
READY_MARKER = '/dev/shmem/kestruneFinished'
FALLBACK_DIRS = ['/var/opt/mm/backup', '/var/opt/mm/backup2']
MEDIA_DIRS = [MM + '/' + d for d in (
    'PVCache', 'PVCache/hu', 'PVCache/rse', 'backup', 'backup2', 'EntServer', 'Voicenotes',
    'Voicenotes/tmp', 'A4A', 'ODLCoverart', 'gracenote', 'gracenote/mldb',
    'gracenote/mldb_backup', 'gracenote/odlcache', 'gracenote/odlcache_backup', 'sdars',
    'sdars/art', 'sdars/art/baseline', 'OnlineEntertainment', 'OnlineEntertainment/Content',
    'OnlineEntertainment/Coverart', 'OnlineEntertainment/Channeldata',
    'OnlineEntertainment/App', 'OnlineEntertainment/Fingerprint')]
# The four lookup directories, purged in this order.
LOOKUP_DIRS = MEDIA_DIRS[11:15]
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


def removed(path):
    return line(INFO, 'File %s is removed' % path)


def not_removed(path):
    return line(ERROR, 'Can not remove file %s' % path)


def not_opened(path):
    return line(ERROR, 'Can not open %s' % path)


def too_long(directory):
    return line(ERROR, 'Can not remove file %s/...: name too long' % directory)


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
