#!/bin/sh
# The steps of `kestrune` as a start-up shell script would do them: the
# baseline the program is measured against. There is no system logger
# client in a shell, so its log lines go to standard error instead.
media_root=/mnt/quota/mm
media_fs=/opt/share/bin/io-fs-media
qdb_link=/opt/share/bin/io-fs-media-qdb
ready_marker=/dev/shmem/kestruneFinished

log() { echo "kestrune: $*" >&2; }

ensure_dir() { [ -e "$1" ] || mkdir "$1" 2>/dev/null; }

# Reads at most ten entries, "." and ".." counted, as the program does.
purge_dir() {
    if [ ! -d "$1" ] || [ -L "$1" ]; then
        log "Can not open $1"
        return
    fi
    count=0
    for entry in "$1"/.* "$1"/*; do
        [ -e "$entry" ] || [ -L "$entry" ] || continue
        case ${entry##*/} in
        . | ..) ;;
        *)
            if rm -f -- "$entry" 2>/dev/null || rmdir -- "$entry" 2>/dev/null; then
                log "File $entry is removed"
            else
                log "Can not remove file $entry"
            fi
            ;;
        esac
        count=$((count + 1))
        [ "$count" -lt 10 ] || break
    done
}

if [ -e "$media_root/STARTUP_KERNELTRACE" ]; then
    /boot/bin/tracelogger -M -n0 -w -S120M &
fi

hdd_present=0
while getopts h option; do
    if [ "$option" = h ]; then
        log "HDD Detected"
        hdd_present=1
    fi
done

if [ "$hdd_present" = 0 ]; then
    ensure_dir /var/opt/mm/backup
    ensure_dir /var/opt/mm/backup2
elif [ ! -e "$media_root" ]; then
    log "HDD Media Mount not found !"
else
    for dir in PVCache PVCache/hu PVCache/rse backup backup2 EntServer Voicenotes \
        Voicenotes/tmp A4A ODLCoverart gracenote gracenote/mldb gracenote/mldb_backup \
        gracenote/odlcache gracenote/odlcache_backup sdars sdars/art sdars/art/baseline \
        OnlineEntertainment OnlineEntertainment/Content OnlineEntertainment/Coverart \
        OnlineEntertainment/Channeldata OnlineEntertainment/App OnlineEntertainment/Fingerprint; do
        ensure_dir "$media_root/$dir"
    done
    if [ ! -e "$media_root/backupWritten" ]; then
        log "Backup was not written in last live cycle, remove mldb files"
        for dir in mldb mldb_backup odlcache odlcache_backup; do
            purge_dir "$media_root/gracenote/$dir"
        done
    fi
fi

if [ ! -L "$qdb_link" ] && ! ln -s "$media_fs" "$qdb_link" 2>/dev/null; then
    log "Failed to Create io-fs-media-qdb Symlink, io-fs-media-qdb could not be started"
    exit 0
fi
if [ ! -e "$ready_marker" ]; then
    umask 077
    if ! true 2>/dev/null >"$ready_marker"; then
        log " Failed to Create MEDIAREADY marker file , Media will not come up "
    fi
fi
exit 0
