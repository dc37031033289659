# shellcheck shell=bash
# The slow-save mode: where the kernel lets this script throttle a loop device, a Save of
# slow_size bytes from a loop device at full speed, like a card in a reader, into a file on
# an ext4 file system over a loop device limited to 20 MB/s, like a USB disk, from Vorlent
# and from dd in turns:
#   Vorlent -S 0 fs/saved 0 SIZE   against  dd if=drive of=fs/saved bs=1024000 count=N conv=fsync status=progress
# Reported as the slow Load is. The file system is made with its tables and journal written
# at once, so that nothing of its own writes to the slow device behind the copies, and
# mounted before the limit is set; each Save starts with the last one's file deleted and
# the deletion stored, and with the fast device's cache dropped.

# Targets for Vorlent: its count follows the file's device, it ends right after the last
# one, and no more than a few chunks wait in memory.
slow_save_half_shown_target=0.9
slow_save_silence_target=0.2
slow_save_cache_target_mb=8
# The file system's size: room for one saved file, with its journal and tables.
slow_fs_size=$((2 * slow_size + 32 * 1048576))
# The fast device's image, and the file system's.
slow_save_scratch=$((slow_size + slow_fs_size))
# Where the file system is mounted while it is; the cleanup unmounts it.
slow_mount=""
# The fast device the Saves read, while the mode runs.
fast_loop=""

# One Save into the slow file system: $1 vorlent or dd.
slow_save() {
    local saved=$slow_mount/saved
    rm -f "$saved"
    sync -f "$slow_mount"
    drop_cache "$fast_loop"
    point_drive_at "$fast_loop"
    if [[ $1 == vorlent ]]; then
        slow_copy vorlent "$program" -S 0 "$saved" 0 "$slow_size"
    else
        slow_copy dd dd if="$fast_loop" of="$saved" bs=$block count=$((slow_size / block)) \
            conv=fsync status=progress
    fi
    expect_same "$saved" "$work/slow-source" "the file $1 saved on the slow device differs from the drive"
}

run_slow_save() {
    local fs_loop
    if ! command -v mkfs.ext4 >/dev/null; then
        skipped+=("slow-save: no mkfs.ext4 (apt-get install e2fsprogs)")
        return
    fi
    head -c "$slow_size" /dev/urandom >"$work/slow-source"
    truncate -s "$slow_fs_size" "$work/slow-fs.img"
    attach_loop "$work/slow-source"
    fast_loop=$loop
    attach_loop "$work/slow-fs.img"
    fs_loop=$loop
    if [[ -z $fast_loop || -z $fs_loop ]]; then
        skipped+=("slow-save: no loop devices (this needs root and losetup)")
    else
        mkfs.ext4 -q -F -b 4096 -E lazy_itable_init=0,lazy_journal_init=0,nodiscard "$fs_loop" ||
            die "could not make a file system on $fs_loop"
        mkdir -p "$work/slow-fs"
        mount -t ext4 "$fs_loop" "$work/slow-fs" || die "could not mount $fs_loop"
        slow_mount=$work/slow-fs
        if throttle "$fs_loop"; then
            watch_cache "$fs_loop"
            say "slow-save: $slow_rounds Saves per program at $slow_bytes_per_second bytes/s"
            measure_slow "$slow_rounds" slow_save \
                "Save of $slow_size bytes into a file on ext4 over a device limited to $slow_bytes_per_second bytes/s" \
                "$slow_save_half_shown_target" "$slow_save_silence_target" \
                "$slow_save_cache_target_mb" "slow Save"
            unwatch_cache
            unthrottle "$fs_loop"
        else
            skipped+=("slow-save: no way to throttle a loop device here (cgroup v1 blkio or v2 io)")
        fi
        umount "$slow_mount"
        slow_mount=""
    fi
    detach_loops
    rm -f "$work/slow-source" "$work/slow-fs.img"
}
