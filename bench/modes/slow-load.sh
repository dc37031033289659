# shellcheck shell=bash
# The slow-load mode: where the kernel lets this script throttle a loop device (cgroup v1
# blkio.throttle.write_bps_device, or v2 io.max), a loop device limited to 20 MB/s, like a
# USB stick, takes a Load of slow_size bytes from Vorlent and from dd in turns:
#   Vorlent -L 0 file   against  dd if=file of=drive bs=1024000 conv=notrunc,fsync status=progress
# For each it reports when half the bytes were shown as written, the silence between the
# last progress line and the completion message, and the peak rise of the bytes waiting in
# memory for the device.

# Targets for Vorlent: its count follows the device, it ends right after the last one,
# and almost nothing waits in memory.
slow_load_half_shown_target=0.9
slow_load_silence_target=0.2
slow_load_cache_target_mb=4
# The two files the Loads write in turns, and the device's image.
slow_load_scratch=$((3 * slow_size))
# The slow device while the mode runs.
slow_loop=""

# One Load onto the slow device: $1 vorlent or dd, $2 the round. The first of each round
# loads one file and the second the other, so each Load changes every byte and the check
# after it shows it was made.
slow_load() {
    local first=dd source=$work/slow-b
    (($2 % 2 == 0)) || first=vorlent
    [[ $1 != "$first" ]] || source=$work/slow-a
    point_drive_at "$slow_loop"
    if [[ $1 == vorlent ]]; then
        slow_copy vorlent "$program" -L 0 "$source"
    else
        slow_copy dd dd if="$source" of="$slow_loop" bs=$block conv=notrunc,fsync status=progress
    fi
    cmp -n "$slow_size" "$source" "$slow_loop" >/dev/null ||
        die "the slow device differs from the file $1 loaded"
}

run_slow_load() {
    head -c "$slow_size" /dev/urandom >"$work/slow-a"
    head -c "$slow_size" /dev/urandom >"$work/slow-b"
    truncate -s "$slow_size" "$work/slow-image"
    attach_loop "$work/slow-image"
    slow_loop=$loop
    if [[ -z $slow_loop ]]; then
        skipped+=("slow-load: no loop device (this needs root and losetup)")
    elif ! throttle "$slow_loop"; then
        skipped+=("slow-load: no way to throttle a loop device here (cgroup v1 blkio or v2 io)")
    else
        watch_cache "$slow_loop"
        say "slow-load: $slow_rounds Loads per program at $slow_bytes_per_second bytes/s"
        measure_slow "$slow_rounds" slow_load \
            "Load of $slow_size bytes onto a loop device limited to $slow_bytes_per_second bytes/s" \
            "$slow_load_half_shown_target" "$slow_load_silence_target" \
            "$slow_load_cache_target_mb" "slow Load"
        unwatch_cache
        unthrottle "$slow_loop"
    fi
    detach_loops
    rm -f "$work/slow-a" "$work/slow-b" "$work/slow-image"
}
