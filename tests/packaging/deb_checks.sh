#!/bin/bash
# Builds the Debian package the way the package preset does, in a scratch directory,
# and checks what it holds and that its programs run from its files:
#   deb_checks.sh <source directory> <scratch directory>
# CTest passes the version and the CMake tools in the environment.
set -euo pipefail
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2' ERR

source_dir=$1
rm -rf "$2"
mkdir -p "$2"
work=$(realpath "$2")
cd "$work"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The release preset's settings, in a build directory of this check's own.
(cd "$source_dir" && "$VORLENT_CMAKE" --preset release -B "$work/build") >configure.log 2>&1 ||
    fail "configure failed: $(cat configure.log)"
"$VORLENT_CMAKE" --build build -j 2 >build.log 2>&1 || fail "build failed: $(cat build.log)"
"$VORLENT_CPACK" --config build/CPackConfig.cmake -G DEB -B "$work/out" >cpack.log 2>&1 ||
    fail "cpack failed: $(cat cpack.log)"

arch=$(dpkg --print-architecture)
deb=out/vorlent_${VORLENT_VERSION}_$arch.deb
[[ -f $deb ]] || fail "no $deb: $(ls out)"
[[ $(dpkg-deb -f "$deb" Package) == vorlent ]] || fail "the package is not called vorlent"
# The programs are linked statically: they need no other package.
depends=$(dpkg-deb -f "$deb" Depends)
[[ -z $depends ]] || fail "the package depends on: $depends"

# The two programs and their pages, and nothing else.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | LC_ALL=C sort >contents
expected='./usr/bin/vorlent
./usr/bin/vorlent-drives
./usr/share/man/man1/vorlent-drives.1.gz
./usr/share/man/man1/vorlent.1.gz'
[[ $(cat contents) == "$expected" ]] || fail "the package holds:
$(cat contents)
expected:
$expected"

dpkg-deb -x "$deb" root
for page in root/usr/share/man/man1/*.1.gz; do
    zcat "$page" >page
    grep -q "^\.TH .*\"Vorlent $VORLENT_VERSION\"" page || fail "$page does not carry the version"
    warnings=$(groff -man -ww -z page 2>&1) || fail "groff cannot format $page: $warnings"
    [[ -z $warnings ]] || fail "$page: $warnings"
done

# The packaged programs start from their own files: vorlent shows its usage screen and
# ends at the end of its input; vorlent-drives lists this machine's drives, or none.
root/usr/bin/vorlent </dev/null >usage || fail "vorlent ended with status $?"
[[ $(head -n 1 usage) == "Vorlent allows Read/Write Disk sectors To/From file" ]] ||
    fail "vorlent showed: $(cat usage)"
root/usr/bin/vorlent-drives </dev/null >drives || fail "vorlent-drives ended with status $?"
grep -Eq '^(Drive 0: /dev/[^ ]+|No drives found\.)$' <(head -n 1 drives) ||
    fail "vorlent-drives showed: $(cat drives)"
