#!/bin/sh
# Stand-in for the mount command of a removable drive, for the tests.
# Usage: mount.sh STATE MOUNTPOINT
# STATE/drive names the directory of the volume "in the drive" (empty: no
# volume); mounting makes MOUNTPOINT a symbolic link to it. Every call is
# recorded in STATE/log. Shell built-ins except one ln keep it quick.
echo "mount $2" >> "$1/log"
vol=
[ -f "$1/drive" ] && read -r vol < "$1/drive"
[ -n "$vol" ] || { echo "mount.sh: no volume in the drive" >&2; exit 32; }
[ ! -e "$2" ] || [ -L "$2" ] || { echo "mount.sh: $2 is busy" >&2; exit 32; }
exec ln -sfn "$vol" "$2"
