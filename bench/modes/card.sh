# shellcheck shell=bash
# The card mode: a whole card past 4 GiB, put back and backed up, on a loop device of
# card_size bytes over a sparse image on the tmpfs:
#   Load:  Vorlent -L 0 card.img         against  dd if=card.img of=drive bs=1024000
#                                                    oflag=direct conv=notrunc,fsync
#   Save:  Vorlent -S 0 out 0 CARD_SIZE  against  dd if=drive of=out bs=1024000 conv=fsync
#                                        and      dd if=drive of=out bs=1024000 iflag=direct
#                                                    conv=fsync
# dd reads to the end of the card, as a user saving a whole card has it do; every Save
# starts with the device's cache dropped. Where the loop mode ran, Vorlent's peak resident
# size here is held to its peak in that mode's large copies: a copy's size should not
# change what it holds in memory.
#
# Memory: the Loads keep the image and the card (2 × card_size on the tmpfs); the image goes
# before the Saves, which keep the card and the saved file, and those through the cache fill
# the device's cache with up to card_size more, which each Save drops first. Each copy is
# checked against the card's backing file rather than read through the device, so that the
# checks put no copy of their own into the cache.

# Targets: a Load as quick as dd's past the cache, and a Save as quick as the quicker of
# dd's two.
card_ratio_target=1.00
# How far above the loop mode's peak resident size Vorlent's may be here: a few pages of
# difference in what the runtime maps, not the megabytes a size-bound buffer would cost.
card_rss_slack_kib=64
# Untimed pairs per card mode, for the peak resident sizes: each copy takes seconds.
card_memory_rounds=1
# The most the mode keeps on the tmpfs at once: two of the image, the card and a saved file.
card_scratch=$((2 * card_size))

# Dies unless memory holds the two files on the tmpfs and the device's cache besides.
check_card_memory() {
    local available
    available=$(($(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo) * 1024))
    ((available >= 3 * card_size)) ||
        die "the card mode needs $((3 * card_size)) bytes of memory available, there are $available (leave card out of MODES)"
}

expect_card_holds() { expect_same "$1" "$work/card" "$2"; }

vorlent_card_load() {
    fresh_target "$2"
    point_drive_at "$2"
    "$1" "$program" -L 0 "$work/card.img"
    expect_completed
    expect_card_holds "$work/card.img" "the loaded card differs from the file"
}
dd_card_load() {
    fresh_target "$2"
    "$1" dd if="$work/card.img" of="$2" bs=$block oflag=direct conv=notrunc,fsync
    expect_card_holds "$work/card.img" "the loaded card differs from the file"
}
vorlent_card_save() {
    rm -f "$work/saved"
    point_drive_at "$2"
    drop_cache "$2"
    "$1" "$program" -S 0 "$work/saved" 0 "$card_size"
    expect_completed
    expect_card_holds "$work/saved" "the saved file differs from the card"
}
dd_card_save() {
    rm -f "$work/saved"
    drop_cache "$2"
    "$1" dd if="$2" of="$work/saved" bs=$block conv=fsync
    expect_card_holds "$work/saved" "the saved file differs from the card"
}
dd_card_direct_save() {
    rm -f "$work/saved"
    drop_cache "$2"
    "$1" dd if="$2" of="$work/saved" bs=$block iflag=direct conv=fsync
    expect_card_holds "$work/saved" "the saved file differs from the card"
}
vorlent_card_direct_save() { vorlent_card_save "$@"; }

# Measures one card mode, and holds its Vorlent to the loop mode's peak resident size.
measure_card() {
    measure "$1" "$2" "$3" "$card_rounds" "$card_ratio_target" "$card_memory_rounds"
    [[ -z $loop_large_peak ]] || ((vorlent_peak <= loop_large_peak + card_rss_slack_kib)) ||
        missed+=("$1: peak RSS $vorlent_peak KiB, over $card_rss_slack_kib KiB above the $loop_large_peak KiB of the loop mode")
}

run_card() {
    local card_loop label="$((card_size / 1000000)) MB, card"
    check_card_memory
    say "card: making a $card_size-byte image of random bytes"
    head -c "$card_size" /dev/urandom >"$work/card.img"
    truncate -s "$card_size" "$work/card"
    attach_loop "$work/card"
    card_loop=$loop
    if [[ -z $card_loop ]]; then
        skipped+=("card: no loop device (this needs root and losetup)")
        rm -f "$work/card.img" "$work/card"
        return
    fi
    say "card: $card_rounds pairs per mode"
    measure_card "Load $label, dd oflag=direct" card_load "$card_loop"
    rm -f "$work/card.img"
    measure_card "Save $label" card_save "$card_loop"
    measure_card "Save $label, dd iflag=direct" card_direct_save "$card_loop"
    drop_cache "$card_loop"
    detach_loops
    rm -f "$work/card" "$work/saved"
    targets+=("card: time ratio <= $card_ratio_target; peak RSS <= dd's and <= the loop mode's + $card_rss_slack_kib KiB")
}
