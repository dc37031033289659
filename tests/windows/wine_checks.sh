#!/bin/bash
# Checks of the cross-built Vorlent.exe, most of them run under Wine:
#   wine_checks.sh <check> <scratch directory>
# CTest passes the Wine prefix, the executables and the expected publisher address in
# the environment (tests/windows/CMakeLists.txt). Every Wine call has its standard
# streams on pipes and files, never on a console, so each key wait returns at once, and
# a time limit, so nothing hangs.
#
# A "drive" here is an image file that the check makes itself and links into the prefix
# as dosdevices/physicaldriveN; link_drive refuses anything else.
set -euo pipefail
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2' ERR

check=$1
rm -rf "$2"
mkdir -p "$2"
work=$(realpath "$2")
cd "$work"

fail() {
    echo "FAIL: $*" >&2
    if [[ -s wine.log ]]; then
        echo "--- Wine's own output:" >&2
        tail -n 20 wine.log >&2
    fi
    exit 1
}

# Runs Vorlent.exe (the build Wine can start here) with the given arguments, its output
# into the file `stdout`, its input an empty pipe. The program ends with status 0 on every
# path.
run_vorlent() {
    local status=0
    : | timeout -k 5 60 "$VORLENT_WINE" "$VORLENT_RUN_EXE" "$@" >stdout 2>wine.last || status=$?
    wine_ended $status || fail "Vorlent.exe $* ended with status $status"
}

# Returns `status`, the status of a Wine run whose standard error is in wine.last, but
# for one of Wine's: its 64-bit loader of Debian 12 now and then fails in glibc's exit
# handlers after the program has ended, with status 127 and a line of its own: that is 0.
wine_ended() {
    local status=$1
    cat wine.last >>wine.log
    if [[ $status -eq 127 ]] && tail -n 1 wine.last | grep -q '^Inconsistency detected by ld.so: dl-fini.c: '; then
        echo "Wine's loader failed after the program ended: $(tail -n 1 wine.last)" >&2
        return 0
    fi
    return "$status"
}

# Compares the bytes of a file with the expected text.
expect_output() {
    local file=$1 expected=$2
    if ! cmp -s "$file" <(printf '%s' "$expected"); then
        echo "expected:" >&2
        printf '%s' "$expected" | od -c >&2
        echo "got:" >&2
        od -c "$file" >&2
        fail "$file differs from what was expected"
    fi
}

# Makes `image` appear as \\.\physicaldrive<number> in the prefix. Only a regular file
# made by this check may be linked: never a device.
link_drive() {
    local number=$1 image=$2
    local link=$WINEPREFIX/dosdevices/physicaldrive$number
    [[ -f $image && ! -L $image && ! -b $image ]] || fail "$image is not an image file"
    [[ $(realpath "$image") == "$work"/* ]] || fail "$image lies outside $work"
    [[ ! -e $link && ! -L $link ]] || fail "$link is already taken"
    ln -s "$(realpath "$image")" "$link"
    linked_drive=$link
    trap 'rm -f "$linked_drive"' EXIT
}

# Copies `count` bytes of `file` from byte `skip` into the file `into`.


create_prefix() {
    rm -rf "$WINEPREFIX"
    timeout -k 10 240 "$VORLENT_WINE" wineboot -i </dev/null >wineboot.log 2>&1 || fail "wineboot -i failed"
    timeout -k 5 60 wineserver -w || fail "the Wine prefix did not settle"
    [[ -f $WINEPREFIX/system.reg ]] || fail "wineboot made no prefix"
}

stop_prefix() {
    if [[ -d $WINEPREFIX ]]; then
        timeout -k 5 30 wineserver -k >/dev/null 2>&1 || true
        timeout -k 5 30 wineserver -w >/dev/null 2>&1 || true
    fi
}

# A program that needs a DLL a stock Windows lacks (the MinGW or Visual C++ runtimes)
# does not start there, so only system DLLs may be imported.
imports_only_stock_dlls() {
    local headers dlls dll
    headers=$("$VORLENT_OBJDUMP" -p "$VORLENT_EXE")
    grep -q 'file format pei-i386' <<<"$headers" || fail "Vorlent.exe is not a 32-bit Windows program"
    grep -q 'Subsystem.*(Windows CUI)' <<<"$headers" || fail "Vorlent.exe is not a console program"
    dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr '[:upper:]' '[:lower:]' | sort -u)
    grep -qx kernel32.dll <<<"$dlls" || fail "no import of kernel32.dll found: $dlls"
    for dll in $dlls; do
        case $dll in
        kernel32.dll | msvcrt.dll | ntdll.dll | advapi32.dll | user32.dll) ;;
        *) fail "Vorlent.exe imports $dll, which a stock Windows lacks" ;;
        esac
    done
}

# The zip holds the program, its README and the licence, and nothing else, in name order
# whatever order the file system lists them in.
package_zip() {
    "$VORLENT_CPACK" --config "$VORLENT_CPACK_CONFIG" -B "$work" >cpack.log 2>&1 ||
        fail "cpack failed: $(cat cpack.log)"
    local zip=$work/Vorlent-1.2.0.2-win32.zip
    [[ -f $zip ]] || fail "no $zip: $(ls "$work")"
    "$VORLENT_CMAKE" -E tar tf "$zip" | grep -v '/$' >contents
    expect_output contents \
        "$(printf 'Vorlent-1.2.0.2-win32/%s\n' LICENSE.txt README.txt Vorlent.exe)"$'\n'
    "$VORLENT_CMAKE" -E tar xf "$zip"
    cmp "$VORLENT_EXE" Vorlent-1.2.0.2-win32/Vorlent.exe || fail "the zip holds another Vorlent.exe"
    grep -q $'^Vorlent 1.2.0.2\r$' Vorlent-1.2.0.2-win32/README.txt || fail "README.txt lacks Windows line ends"
    cmp <(sed 's/$/\r/' "$VORLENT_SOURCE_DIR/LICENSE") Vorlent-1.2.0.2-win32/LICENSE.txt ||
        fail "LICENSE.txt is not the licence with Windows line ends"
    # Every path to the program that README.txt gives leads to it from the README's folder.
    local named
    for named in $(grep -o '[^[:space:]]*Vorlent\.exe' Vorlent-1.2.0.2-win32/README.txt | sort -u); do
        [[ -f Vorlent-1.2.0.2-win32/${named//\\//} ]] || fail "README.txt names $named, which is not in the zip"
    done
}

# Read back through GetFileVersionInfoA and VerQueryValueA, as Windows shows them.
version_record() {
    local status=0
    timeout -k 5 60 "$VORLENT_WINE" "$VORLENT_VERSION_READER" "$VORLENT_EXE" </dev/null \
        >record.raw 2>wine.last || status=$?
    wine_ended $status || fail "the version record or the manifest could not be read"
    tr -d '\r' <record.raw >record
    sed '/^Manifest:$/,$d' record >fields
    expect_output fields "FixedFileVersion=1.2.0.2
FixedProductVersion=1.2.0.2
FileType=1
Translation=040904b0
CompanyName=$VORLENT_PUBLISHER_URL
FileDescription=Vorlent allows direct access to disk sectors
FileVersion=1, 2, 0, 2
InternalName=Vorlent
LegalCopyright=$VORLENT_PUBLISHER_URL
OriginalFilename=Vorlent.exe
ProductName=Vorlent
ProductVersion=1, 2, 0, 2
Manifests=1
"
    sed '1,/^Manifest:$/d' record >manifest
    local levels
    levels=$(grep -o '<requestedExecutionLevel[^>]*>' manifest || true)
    [[ $(grep -c . <<<"$levels") -eq 1 ]] || fail "the manifest must ask for one execution level: $levels"
    grep -q 'level="asInvoker"' <<<"$levels" || fail "the manifest asks for $levels"
    grep -q 'uiAccess="false"' <<<"$levels" || fail "the manifest asks for UI access: $levels"
    if grep -Eq 'requireAdministrator|highestAvailable' manifest; then
        fail "the manifest asks for elevation"
    fi
}

usage_screen() {
    local usage=$'Vorlent allows Read/Write Disk sectors To/From file\r\nUsage:\r\n'
    usage+=$'Vorlent [Key] [Drive] [File] [Sector] [Length] \r\n'
    usage+=$'Example:\r\n Vorlent -S 0 boot.bin 0 512 \r\n   Save sector 0 of Drive 0 -> to file boot.bin\r\n\r\n'
    usage+=$' Vorlent -L 0 boot.bin 0 512\r\n   Load sector 0 of drive0 <- from file boot.bin\r\n'
    usage+=$'Defaults:\r\n Length: for Save=512, for Load=[File Size]\r\n'
    usage+=$'Sector=0\r\nPress any key to exit'

    run_vorlent
    expect_output stdout "$usage"
    # An unknown key opens nothing, not even the file.
    run_vorlent -x 0 boot.bin
    expect_output stdout "$usage"
    [[ ! -e boot.bin ]] || fail "an unknown key created the file"
}

# The File argument is taken as typed: the runtime must not expand it as a wildcard into
# the name of an existing file. (The transfers themselves run in the end-to-end cases.)
wildcard_name_is_not_expanded() {
    head -c 65536 /dev/urandom >drive.img
    cp drive.img drive.orig
    link_drive 7 drive.img
    printf 'keep' >kept.bin
    run_vorlent -S 7 'kep*.bin'
    grep -q '^Error ' stdout || fail "a wildcard name was not refused: $(cat stdout)"
    expect_output kept.bin 'keep'
    cmp drive.img drive.orig || fail "Save changed the drive"
}

case $check in
create_prefix | stop_prefix | imports_only_stock_dlls | package_zip | version_record | usage_screen | \
    wildcard_name_is_not_expanded)
    "$check"
    ;;
*)
    fail "no check named $check"
    ;;
esac
echo "PASS: $check"
