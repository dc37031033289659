# shellcheck shell=bash
# What every mode shares: messages, the drive the benchmark's program sees, loop devices,
# timing one command, and measuring one mode in pairs into the results table.

say() { printf '%s\n' "$*" >&2; }
die() { say "bench: $*"; exit 2; }

# Dies unless the scratch folder has $1 bytes free, for $2.
need_space() {
    local available
    available=$(df --output=avail -B1 "$scratch" | tail -1)
    ((available >= $1)) || die "$2 needs $1 bytes free in $scratch, which has $available"
}

# The median of the first n entries of an array, for awk programs.
awk_median='
    function median(a, n,   i, j, t) {
        for (i = 2; i <= n; i++)
            for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
        return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }'

# Whether awk finds $1 above $2, for decimal numbers the shell cannot compare.
above() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a > b) }'; }

# --- The drive ---------------------------------------------------------------------------
# The drive tree of the copy: one disk, bench0, whose /sys folder and device node are links.
# An image's folder is a made one; a loop device's is its real one, so the program looks
# into it as it would into a real disk's.
make_drive_tree() {
    rm -rf "$roots" "$bench_dir/image-disk"
    mkdir -p "$roots/sys/block" "$roots/dev" "$bench_dir/image-disk"
    echo $((size / sector)) >"$bench_dir/image-disk/size"
    ln -sfn "$bench_dir" "$bench_dir/image-disk/device"
}

# Drive 0 of the copy may only ever be one of this script's images or loop devices.
drive_0=""
point_drive_at() {
    [[ $1 == "$drive_0" ]] && return 0
    if [[ $1 == "$work"/* ]]; then
        ln -sfn "$bench_dir/image-disk" "$roots/sys/block/bench0"
    elif is_own_loop "$1"; then
        ln -sfn "/sys/block/${1#/dev/}" "$roots/sys/block/bench0"
    else
        die "refusing to make $1 drive 0"
    fi
    ln -sfn "$1" "$roots/dev/bench0"
    drive_0=$1
}
forget_drive() { rm -f "$roots/dev/bench0" "$roots/sys/block/bench0"; drive_0=""; }

# --- Loop devices ------------------------------------------------------------------------
# Loop devices are numbered machine-wide, and so are the drives of the tests that others run
# on this machine: whoever attaches one holds this lock for as long as any of theirs is
# attached, so that no drive number moves under another. Each mode attaches its devices,
# uses them and detaches them, and holds the lock only for that long.
loop_lock_path=${TMPDIR:-/tmp}/vorlent-loop-devices.lock
# The lock's descriptor while this script holds it.
loop_lock=""
# The loop devices this script has attached now.
loops=()

is_own_loop() {
    local device
    for device in "${loops[@]}"; do [[ $1 == "$device" ]] && return 0; done
    return 1
}

# Attaches a loop device to `image` and sets `loop`, or sets it empty where none can be had.
# The device counts as this script's only once its backing file is seen to be ours.
attach_loop() {
    local image=$1 device backing
    loop=""
    (($(id -u) == 0)) && command -v losetup >/dev/null || return 0
    if [[ -z $loop_lock ]]; then
        exec {loop_lock}>>"$loop_lock_path"
        flock "$loop_lock"
    fi
    if ! device=$(losetup -f --show "$image" 2>/dev/null); then
        ((${#loops[@]})) || release_loop_lock
        return 0
    fi
    backing=$(cat "/sys/block/${device#/dev/}/loop/backing_file")
    [[ $backing == "$(realpath "$image")" ]] ||
        die "$device is backed by $backing, not by the benchmark's image"
    loops+=("$device")
    loop=$device
}

# Detaches every loop device this script attached, and lets the lock go.
detach_loops() {
    local device
    [[ -z $drive_0 ]] || ! is_own_loop "$drive_0" || forget_drive
    for device in "${loops[@]}"; do
        losetup -d "$device" || say "bench: could not detach $device"
    done
    loops=()
    release_loop_lock
}
release_loop_lock() {
    [[ -z $loop_lock ]] || exec {loop_lock}>&-
    loop_lock=""
}

# Drops the cache of a device, as the first read of a real disk finds it; an image's stays.
drop_cache() { [[ ! -b $1 ]] || blockdev --flushbufs "$1"; }

# Gives a Load's target the drive's starting state: zeros, with the space in place.
fresh_target() {
    if [[ -b $1 ]]; then
        blkdiscard -f "$1" 2>/dev/null ||
            dd if=/dev/zero of="$1" bs=$block conv=notrunc,fsync status=none
    else
        rm -f "$1"
        fallocate -l "$size" "$1" 2>/dev/null || truncate -s "$size" "$1"
    fi
}

# --- Timing ------------------------------------------------------------------------------
# Runs a command with standard input at its end and its output in the log, and sets
# `micros` to its wall-clock time. The shell's own clock costs no process of its own, so
# the time is the command's start, run and end as a user at a prompt sees it.
micros=0
timed() {
    local start end
    start=$EPOCHREALTIME
    "$@" </dev/null >"$work/log" 2>&1 || failed "$1"
    end=$EPOCHREALTIME
    micros=$((${end/./} - ${start/./}))
}

# Runs a command under GNU time instead, and sets `rss_kib` to its peak resident size.
rss_kib=0
measured() {
    /usr/bin/time -f "%M" -o "$work/usage" "$@" </dev/null >"$work/log" 2>&1 || failed "$1"
    read -r rss_kib <"$work/usage"
}

failed() { die "$1 failed: $(tr '\r' '\n' <"$work/log" | tail -3)"; }

expect_completed() {
    local output=""
    read -r -d '' output <"$work/log" || true
    [[ $output == *"The operation completed successfully"* ]] ||
        die "Vorlent did not complete: ${output//$'\r'/$'\n'}"
}
expect_same() { cmp "$1" "$2" >/dev/null || die "$3"; }

# --- Measuring a mode --------------------------------------------------------------------
# The table's lines, the targets missed, the targets of each mode that ran, and the modes
# that could not run here with the reason, for the report.
results=()
missed=()
targets=()
skipped=()

# Runs one mode: untimed pairs under GNU time (which also warm the caches), then timed
# pairs, each pair in the other order from the one before, each side a function
# `vorlent_$2` or `dd_$2` that takes `timed` or `measured` and the drive, does what that
# sets and checks its copy. Adds a line to the results, sets `vorlent_peak` to Vorlent's
# peak resident size and raises `highest_vorlent_peak` to it. $1 label, $2 mode, $3 drive,
# $4 timed pairs, $5 ratio target, $6 untimed pairs (memory_rounds).
vorlent_peak=0
highest_vorlent_peak=0
kept_chunk_kib=1000
measure() {
    local label=$1 mode=$2 drive=$3 pairs=$4 target=$5 untimed=${6:-$memory_rounds}
    local round first second
    : >"$work/rss"
    : >"$work/pairs"
    for ((round = 1; round <= untimed + pairs; round++)); do
        if ((round % 2)); then first=vorlent second=dd; else first=dd second=vorlent; fi
        if ((round <= untimed)); then
            "${first}_$mode" measured "$drive"; echo "$first $rss_kib" >>"$work/rss"
            "${second}_$mode" measured "$drive"; echo "$second $rss_kib" >>"$work/rss"
            continue
        fi
        "${first}_$mode" timed "$drive"; local first_micros=$micros
        "${second}_$mode" timed "$drive"
        if [[ $first == vorlent ]]; then
            echo "$first_micros $micros" >>"$work/pairs"
        else
            echo "$micros $first_micros" >>"$work/pairs"
        fi
        if ((pairs <= 50 || (round - untimed) % 50 == 0)); then
            say "  $label, pair $((round - untimed)): $(tail -1 "$work/pairs" |
                awk '{ printf "Vorlent %d us, dd %d us, ratio %.3f", $1, $2, $1 / $2 }')"
        fi
    done
    # Each pair: Vorlent's and dd's microseconds.
    local line count ratio v_ms d_ms d_peak
    line=$(awk "$awk_median"'
        FILENAME ~ /rss$/ { if ($2 > peak[$1]) peak[$1] = $2; next }
        { n++; r[n] = $1 / $2; v[n] = $1; d[n] = $2 }
        END {
            printf "%d %.3f %.2f %.2f %d %d\n", n, median(r, n), median(v, n) / 1000,
                median(d, n) / 1000, peak["vorlent"], peak["dd"]
        }' "$work/rss" "$work/pairs")
    read -r count ratio v_ms d_ms vorlent_peak d_peak <<<"$line"
    ((vorlent_peak <= highest_vorlent_peak)) || highest_vorlent_peak=$vorlent_peak
    ! above "$ratio" "$target" || missed+=("$label: time ratio $ratio above $target")
    # A Load of more than one chunk keeps its first chunk, to write it last: one chunk more.
    local allowed=$d_peak
    [[ $mode != *load || $mode == sector_load ]] || allowed=$((d_peak + kept_chunk_kib))
    ((vorlent_peak <= allowed)) ||
        missed+=("$label: peak RSS $vorlent_peak KiB above dd's $d_peak KiB by more than it keeps")
    results+=("$(printf '%-36s %5d %6s %9s %9s %8d %8d' "$label" "$count" "$ratio" "$v_ms" \
        "$d_ms" "$vorlent_peak" "$d_peak")")
}
