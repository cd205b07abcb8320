#!/bin/sh
# Stand-in for the mount command of a removable drive, for the tests.
# Usage: mount.sh STATE MOUNTPOINT
# STATE/drive names the directory of the volume "in the drive" (empty: no
# volume); mounting makes MOUNTPOINT a symbolic link to it. Every call is
# recorded in STATE/log. Shell built-ins except one ln keep it quick.
state=$1
mp=$2
echo "mount $mp" >> "$state/log"
vol=
[ -f "$state/drive" ] && read -r vol < "$state/drive"
if [ -z "$vol" ]; then
    echo "mount.sh: no volume in the drive" >&2
    exit 32
fi
if [ -e "$mp" ] && [ ! -L "$mp" ]; then
    echo "mount.sh: $mp is busy" >&2
    exit 32
fi
exec ln -sfn "$vol" "$mp"
