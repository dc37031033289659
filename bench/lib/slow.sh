# shellcheck shell=bash
# The slow device that the slow Load and the slow Save share: a loop device throttled to
# slow_bytes_per_second, like a USB stick, and what a user sees of a copy onto it: when the
# progress showed half the bytes, how long it was silent before the completion message,
# and how many bytes waited in memory for the device.

# The device's limit. At the limit half the bytes take their share of a second, so a
# progress line that shows them much sooner counts bytes the device does not have yet.
slow_bytes_per_second=20000000

# Limits writes to the loop device $1 to slow_bytes_per_second: through cgroup v1's blkio
# throttle, which holds for every process here, the kernel's writeback included, or else
# through a cgroup v2 group of this script's that the slow runs join. Sets `throttled`
# (and `slow_group` for v2); returns 1 where the kernel offers neither.
throttled=""
slow_group=""
v1_throttle=/sys/fs/cgroup/blkio/blkio.throttle.write_bps_device
throttle() {
    local number root
    number=$(cat "/sys/block/${1#/dev/}/dev")
    if [[ -w $v1_throttle ]] &&
        echo "$number $slow_bytes_per_second" 2>/dev/null >"$v1_throttle"; then
        throttled=$1
        return 0
    fi
    root=$(awk '$3 == "cgroup2" { print $2; exit }' /proc/mounts)
    [[ -n $root ]] && grep -qw io "$root/cgroup.controllers" 2>/dev/null || return 1
    slow_group=$root/vorlent-bench-$$
    if mkdir "$slow_group" 2>/dev/null &&
        echo +io 2>/dev/null >"$root/cgroup.subtree_control" &&
        echo "$number wbps=$slow_bytes_per_second" 2>/dev/null >"$slow_group/io.max"; then
        throttled=$1
        return 0
    fi
    rmdir "$slow_group" 2>/dev/null
    slow_group=""
    return 1
}
unthrottle() {
    if [[ -n $slow_group ]]; then
        rmdir "$slow_group" || say "bench: could not remove $slow_group"
        slow_group=""
    else
        echo "$(cat "/sys/block/${1#/dev/}/dev") 0" >"$v1_throttle" ||
            say "bench: could not lift the limit on $1"
    fi
    throttled=""
}
# Runs a command inside the slow group, where there is one.
in_slow_group() {
    [[ -z $slow_group ]] || echo "$BASHPID" >"$slow_group/cgroup.procs"
    exec "$@"
}

# The bytes waiting in memory for the slow device, in KiB, into `cache_kib`: its own
# dirty and writeback pages where debugfs shows the device's counters, so that what other
# programs on a shared machine write does not count; else Dirty + Writeback of the whole
# system from /proc/meminfo. `watch_cache` picks the source for a device, and mounts
# debugfs in the scratch folder where it is not mounted yet; `unwatch_cache` unmounts it.
cache_kib=0
cache_source=/proc/meminfo
debugfs_here=""
watch_cache() {
    local debugfs
    debugfs=$(awk '$3 == "debugfs" { print $2; exit }' /proc/mounts)
    if [[ -z $debugfs ]] && mkdir -p "$work/debugfs" &&
        mount -t debugfs debugfs "$work/debugfs" 2>/dev/null; then
        debugfs_here=$work/debugfs
        debugfs=$debugfs_here
    fi
    cache_source=$debugfs/bdi/$(cat "/sys/block/${1#/dev/}/dev")/stats
    [[ -n $debugfs && -r $cache_source ]] || cache_source=/proc/meminfo
}
unwatch_cache() {
    [[ -z $debugfs_here ]] || umount "$debugfs_here" || say "bench: could not unmount $debugfs_here"
    debugfs_here=""
}
read_cache() {
    local key value rest
    cache_kib=0
    while read -r key value rest; do
        case $key in
            Dirty: | Writeback: | BdiReclaimable: | BdiWriteback:)
                cache_kib=$((cache_kib + value)) ;;
        esac
    done <"$cache_source"
}
cache_note() {
    if [[ $cache_source == /proc/meminfo ]]; then
        echo "cache: peak rise of Dirty + Writeback in /proc/meminfo."
    else
        echo "cache: peak rise of the device's own dirty and writeback pages (debugfs)."
    fi
}

# Until killed, samples the cache about every 5 ms and writes the highest value seen into
# $1 each time it rises. The wait is a read from a FIFO nothing writes, so the sampling
# starts no process of its own.
sample_cache() {
    local peak=0 tick
    [[ -p $work/tick ]] || mkfifo "$work/tick"
    exec {tick}<>"$work/tick"
    echo 0 >"$1"
    while :; do
        read_cache
        if ((cache_kib > peak)); then
            peak=$cache_kib
            echo "$peak" >"$1"
        fi
        read -r -t 0.005 -u "$tick" || true
    done
}

# Writes each piece of its input that ends in a carriage return, or at the end of the
# input, as a line: the microseconds since $1 when it arrived, then the piece with its
# line breaks as spaces.
stamp() {
    local start=$1 piece
    while IFS= read -r -d $'\r' piece || [[ -n $piece ]]; do
        printf '%s %s\n' "$((${EPOCHREALTIME/./} - start))" "${piece//$'\n'/ }"
    done
}

# The sampler running now, if any; the cleanup stops it too.
sampler=""

# Runs one copy that involves the slow device and appends to $work/slow what a user saw of
# it: $1 vorlent or dd, then the command, run in the slow group with its screen stamped.
# The line holds who ran, the seconds until half of `slow_size` was shown as copied, the
# seconds from the last progress line (or the start) to the completion message, and the
# peak rise of the cache in MB. Vorlent shows "Write N bytes" or "Read N bytes" and then
# its completion message; dd shows "N bytes ... copied" lines and then its record counts
# and a last such line.
slow_copy() {
    local who=$1 start baseline peak
    shift
    read_cache
    baseline=$cache_kib
    sample_cache "$work/peak" &
    sampler=$!
    start=${EPOCHREALTIME/./}
    (in_slow_group "$@") </dev/null 2>&1 | stamp "$start" >"$work/stamps" || true
    kill "$sampler"
    wait "$sampler" 2>/dev/null || true
    sampler=""
    if [[ $who == vorlent ]]; then
        grep -q "The operation completed successfully" "$work/stamps" ||
            die "Vorlent did not complete on the slow device: $(tail -2 "$work/stamps")"
    else
        grep -q "records out" "$work/stamps" ||
            die "dd failed on the slow device: $(tail -2 "$work/stamps")"
    fi
    read -r peak <"$work/peak"
    awk -v half=$((slow_size / 2)) -v rise=$((peak - baseline)) -v who="$who" '
        { t = $1 / 1e6; sub(/^[0-9]+ /, "") }
        /The operation completed successfully|records out/ {
            done_at = t
            if (!shown_half) shown_half = t
            next
        }
        /^((Write|Read) )?[0-9]+ bytes/ {
            n = $0; sub(/^(Write|Read) /, "", n); sub(/ .*/, "", n)
            if (n + 0 >= half && !shown_half) shown_half = t
            last = t
        }
        END { printf "%s %.3f %.3f %.1f\n", who, shown_half, done_at - last, rise * 1024 / 1e6 }
    ' "$work/stamps" >>"$work/slow"
}

# Runs $1 copies of each program in turns, each starting every other round: $2 the function
# that makes one, given vorlent or dd and the round. Then adds a table of the medians of
# each program to `slow_tables` under the title $3, and checks Vorlent's against the
# targets: $4 the earliest half may be shown, $5 the longest silence, $6 the most MB in
# the cache. Missed targets are named after $7.
slow_tables=()
measure_slow() {
    local rounds=$1 copy=$2 title=$3 half_target=$4 silence_target=$5 cache_target=$6
    local name=$7 round who line half silence rise table
    : >"$work/slow"
    for ((round = 1; round <= rounds; round++)); do
        if ((round % 2)); then
            "$copy" vorlent "$round"; "$copy" dd "$round"
        else
            "$copy" dd "$round"; "$copy" vorlent "$round"
        fi
        say "  round $round: $(tail -2 "$work/slow" | tr '\n' ' ')"
    done
    table="$title, medians of $rounds"$'\n'
    table+=$(printf '%-36s %12s %12s %12s' program "half shown s" "silent s" "cache MB")$'\n'
    for who in vorlent dd; do
        line=$(awk -v who="$who" "$awk_median"'
            $1 == who { n++; h[n] = $2; s[n] = $3; r[n] = $4 }
            END { printf "%.2f %.2f %.1f\n", median(h, n), median(s, n), median(r, n) }
        ' "$work/slow")
        read -r half silence rise <<<"$line"
        if [[ $who == vorlent ]]; then
            above "$half_target" "$half" &&
                missed+=("$name: half the bytes shown after $half s, before $half_target s")
            above "$silence" "$silence_target" &&
                missed+=("$name: $silence s silent before the completion message")
            above "$rise" "$cache_target" && missed+=("$name: $rise MB waited in the cache")
        fi
        table+=$(printf '%-36s %12s %12s %12s' \
            "$([[ $who == vorlent ]] && echo Vorlent || echo "dd conv=fsync status=progress")" \
            "$half" "$silence" "$rise")$'\n'
    done
    table+="half shown: when the progress showed half the bytes copied (the device needs"$'\n'
    table+="$(awk -v b=$((slow_size / 2)) -v r=$slow_bytes_per_second \
        'BEGIN { printf "%.2f", b / r }') s for them); silent: from the last progress line"
    table+=" to the completion message;"$'\n'"$(cache_note)"
    slow_tables+=("$table")
    targets+=("$name: half shown >= $half_target s, silent <= $silence_target s, cache <= $cache_target MB")
}
