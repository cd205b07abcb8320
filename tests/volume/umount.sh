#!/bin/sh
# Stand-in for the unmount command of a removable drive, for the tests.
# Usage: umount.sh STATE MOUNTPOINT
# Removes the symbolic link that mount.sh made; records the call in STATE/log.
echo "umount $2" >> "$1/log"
[ -L "$2" ] || { echo "umount.sh: $2 is not mounted" >&2; exit 1; }
exec rm -f "$2"
