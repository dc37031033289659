# shellcheck shell=bash
# The image and loop modes: large copies and one-sector copies, each Save (drive to file)
# and Load (file to drive), on an image file and then, as root, on a loop device this
# script attaches to an image of its own:
#   large:  Vorlent -S 0 out 0 SIZE   against  dd if=drive of=out bs=1024000 count=N conv=fsync
#           Vorlent -L 0 file         against  dd if=file of=drive bs=1024000 conv=notrunc,fsync
#   sector: Vorlent -S 0 out          against  dd if=drive of=out bs=512 count=1 conv=fsync
#           Vorlent -L 0 sector       against  dd if=sector of=drive bs=512 count=1 conv=notrunc,fsync
# On the loop device the large copies are also set against dd past the cache (iflag=direct
# for Save, oflag=direct for Load, still with conv=fsync), and every Save, of either
# program, starts with the device's cache dropped. The images live on tmpfs, so the copies
# run from and into the page cache and a flush costs little on the image; on the loop
# device the flush writes the device's pages back.

# Targets: median time ratios. On the loop device a Load past the cache should beat dd's
# through it clearly and match dd's past it, and a Save should match the quicker of dd's
# two.
large_ratio_target=1.03
sector_ratio_target=0.90
loop_load_cached_target=0.80
loop_direct_target=1.00
# Bytes of the drive the sector copies use; small, so each check reads it all.
sector_drive_size=1048576
# What the two modes keep in the scratch folder: the image, the Save output, the Load
# source and target, the loop image; small drives and their expected contents.
copies_scratch=$((5 * size + 16 * sector_drive_size))
# The highest peak resident size of Vorlent's large copies on the loop device, once that
# mode has run; the whole card is held to it.
loop_large_peak=""

# One side of a pair. $1 `timed` or `measured`, $2 the drive (image or loop device).
# Each sets what $1 sets and checks its copy.
vorlent_save() {
    rm -f "$work/saved"
    point_drive_at "$2"
    drop_cache "$2"
    "$1" "$program" -S 0 "$work/saved" 0 "$size"
    expect_completed
    expect_same "$work/saved" "$work/image" "the saved file differs from the drive"
}
dd_save() {
    rm -f "$work/saved"
    drop_cache "$2"
    "$1" dd if="$2" of="$work/saved" bs=$block count=$((size / block)) conv=fsync
    expect_same "$work/saved" "$work/image" "the saved file differs from the drive"
}
dd_direct_save() {
    rm -f "$work/saved"
    drop_cache "$2"
    "$1" dd if="$2" of="$work/saved" bs=$block count=$((size / block)) iflag=direct conv=fsync
    expect_same "$work/saved" "$work/image" "the saved file differs from the drive"
}
vorlent_direct_save() { vorlent_save "$@"; }
vorlent_load() {
    fresh_target "$2"
    point_drive_at "$2"
    "$1" "$program" -L 0 "$work/source"
    expect_completed
    expect_same "$2" "$work/source" "the loaded drive differs from the file"
}
dd_load() {
    fresh_target "$2"
    "$1" dd if="$work/source" of="$2" bs=$block conv=notrunc,fsync
    expect_same "$2" "$work/source" "the loaded drive differs from the file"
}
dd_direct_load() {
    fresh_target "$2"
    "$1" dd if="$work/source" of="$2" bs=$block oflag=direct conv=notrunc,fsync
    expect_same "$2" "$work/source" "the loaded drive differs from the file"
}
vorlent_direct_load() { vorlent_load "$@"; }

vorlent_sector_save() {
    rm -f "$work/saved"
    point_drive_at "$2"
    drop_cache "$2"
    "$1" "$program" -S 0 "$work/saved"
    expect_completed
    expect_same "$work/saved" "$work/sector-first" "the saved sector differs from the drive's"
}
dd_sector_save() {
    rm -f "$work/saved"
    drop_cache "$2"
    "$1" dd if="$2" of="$work/saved" bs=$sector count=1 conv=fsync
    expect_same "$work/saved" "$work/sector-first" "the saved sector differs from the drive's"
}
# The sector a Load writes: the one not on the drive now.
next_sector=a
turn_sector() { if [[ $next_sector == a ]]; then next_sector=b; else next_sector=a; fi; }
vorlent_sector_load() {
    point_drive_at "$2"
    "$1" "$program" -L 0 "$work/sector-$next_sector"
    expect_completed
    expect_same "$2" "$work/expected-$next_sector" \
        "the loaded drive is not the sector with the rest untouched"
    turn_sector
}
dd_sector_load() {
    "$1" dd if="$work/sector-$next_sector" of="$2" bs=$sector count=1 conv=notrunc,fsync
    expect_same "$2" "$work/expected-$next_sector" \
        "the loaded drive is not the sector with the rest untouched"
    turn_sector
}

# Large copies and sector copies on one kind of drive. $1 the kind, $2 the large drive,
# $3 the sector drive, $4 the large Load's target. A loop device's large copies are also
# set against dd past the cache.
measure_drive() {
    local kind=$1 drive=$2 sector_drive=$3 target=$4 megabytes=$((size / 1000000))
    local save_target=$large_ratio_target load_target=$large_ratio_target
    say "$kind: $rounds pairs per large-copy mode, $sector_rounds per sector mode"
    if [[ -b $drive ]]; then
        save_target=$loop_direct_target
        load_target=$loop_load_cached_target
    fi
    highest_vorlent_peak=0
    measure "Save $megabytes MB, $kind" save "$drive" "$rounds" "$save_target"
    [[ ! -b $drive ]] || measure "Save $megabytes MB, $kind, dd iflag=direct" direct_save \
        "$drive" "$rounds" "$loop_direct_target"
    measure "Load $megabytes MB, $kind" load "$target" "$rounds" "$load_target"
    if [[ -b $target ]]; then
        measure "Load $megabytes MB, $kind, dd oflag=direct" direct_load "$target" "$rounds" \
            "$loop_direct_target"
        loop_large_peak=$highest_vorlent_peak
    fi
    measure "Save 512 B, $kind" sector_save "$sector_drive" "$sector_rounds" "$sector_ratio_target"
    measure "Load 512 B, $kind" sector_load "$sector_drive" "$sector_rounds" "$sector_ratio_target"
}

# The drives both modes start from: random bytes in the large image and the sector drive,
# the two sectors the Loads write in turn, each differing from what lies there before it,
# with the whole drive each is expected to leave, and the loop devices' images, copied
# before any Load changes the originals.
prepare_copies() {
    local name
    say "Making a $size-byte image of random bytes"
    head -c "$size" /dev/urandom >"$work/image"
    cp "$work/image" "$work/source"
    head -c "$sector_drive_size" /dev/urandom >"$work/sector-drive"
    for name in a b; do
        head -c "$sector" /dev/urandom >"$work/sector-$name"
        cat "$work/sector-$name" >"$work/expected-$name"
        tail -c +$((sector + 1)) "$work/sector-drive" >>"$work/expected-$name"
    done
    head -c "$sector" "$work/sector-drive" >"$work/sector-first"
    cp "$work/image" "$work/loop-image"
    cp "$work/sector-drive" "$work/loop-sector-drive"
}
remove_copies() {
    rm -f "$work"/{image,source,saved,target,sector-drive,sector-a,sector-b,sector-first} \
        "$work"/{expected-a,expected-b,loop-image,loop-sector-drive}
}

run_image() {
    next_sector=a
    measure_drive image "$work/image" "$work/sector-drive" "$work/target"
    rm -f "$work/target"
    targets+=("image: time ratio <= $large_ratio_target large, <= $sector_ratio_target per sector; peak RSS <= dd's")
}

# A loop device only where this script can attach one to each of its own images.
run_loop() {
    local large_loop sector_loop
    next_sector=a
    attach_loop "$work/loop-image"
    large_loop=$loop
    attach_loop "$work/loop-sector-drive"
    sector_loop=$loop
    if [[ -n $large_loop && -n $sector_loop ]]; then
        measure_drive loop "$large_loop" "$sector_loop" "$large_loop"
        targets+=("loop: time ratio <= $loop_load_cached_target for a Load through the cache, <= $loop_direct_target for every other large copy, <= $sector_ratio_target per sector; peak RSS <= dd's")
    else
        skipped+=("loop: no loop devices (this needs root and losetup)")
    fi
    detach_loops
}
