#!/bin/sh
# Stand-in for the unmount command of a removable drive, for the tests.
# Usage: umount.sh STATE MOUNTPOINT
# Removes the symbolic link that mount.sh made; records the call in STATE/log.
state=$1
mp=$2
echo "umount $mp" >> "$state/log"
if [ ! -L "$mp" ]; then
    echo "umount.sh: $mp is not mounted" >&2
    exit 1
fi
exec rm -f "$mp"
