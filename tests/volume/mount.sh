#!/bin/sh
# Stand-in for the mount command of a removable drive, for the tests.
# Usage: mount.sh STATE MOUNTPOINT
# STATE/drive names the directory of the volume "in the drive" (empty: no
# volume); mounting makes MOUNTPOINT a symbolic link to it. Every call is
# recorded in STATE/log.
state=$1
mp=$2
echo "mount $mp" >> "$state/log"
vol=$(cat "$state/drive" 2>/dev/null)
if [ -z "$vol" ]; then
    echo "mount.sh: no volume in the drive" >&2
    exit 32
fi
if [ -L "$mp" ]; then
    rm -f "$mp"
fi
if [ -e "$mp" ]; then
    echo "mount.sh: $mp is busy" >&2
    exit 32
fi
ln -s "$vol" "$mp" || exit 32
exit 0
