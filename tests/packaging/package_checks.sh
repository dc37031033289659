#!/bin/bash
# Builds the Debian package and the Windows zip as the README says, from two copies of
# this tree in two folders, one after the other, and checks them:
#   package_checks.sh <check> <source directory> <scratch directory>
# build_twice makes both builds; the other checks read them. CTest passes the version,
# the CMake tools, the configure's SOURCE_DATE_EPOCH and whether the Windows cross
# compiler is there (VORLENT_WINDOWS) in the environment.
set -euo pipefail
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2' ERR

check=$1
source_dir=$2
mkdir -p "$3"
work=$(realpath "$3")
cd "$work"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

release=src/build/release
windows=src/build/windows
deb=$release/vorlent_${VORLENT_VERSION}_$(dpkg --print-architecture).deb
zip=$windows/Vorlent-${VORLENT_VERSION}-win32.zip

# Runs one preset's configure, build and package steps in the sources' copy. Only the
# configure sees SOURCE_DATE_EPOCH: the packages must keep its time without being told
# again.
build_preset() {
    local configure=$1 package=$2
    SOURCE_DATE_EPOCH=$VORLENT_SOURCE_DATE_EPOCH "$VORLENT_CMAKE" --preset "$configure" &&
        "$VORLENT_CMAKE" --build --preset "$configure" -j 2 &&
        "$VORLENT_CPACK" --preset "$package"
}

build_in() {
    local folder=$1
    rm -rf "$folder"
    mkdir -p "$folder/src"
    (cd "$source_dir" && cp -r CMakeLists.txt CMakePresets.json LICENSE cmake packaging src \
        "$work/$folder/src")
    cd "$folder/src"
    build_preset release package >../release.log 2>&1 ||
        fail "$folder: $(tail -n 30 ../release.log)"
    if [[ $VORLENT_WINDOWS == ON ]]; then
        build_preset windows windows >../windows.log 2>&1 ||
            fail "$folder: $(tail -n 30 ../windows.log)"
    fi
    cd "$work"
}

build_twice() {
    unset SOURCE_DATE_EPOCH
    VORLENT_SOURCE_DATE_EPOCH=${VORLENT_SOURCE_DATE_EPOCH:-1767225600}
    # The second build runs later, in a longer path, in a time zone a day away and with a
    # looser umask: none of these may reach the packages.
    (umask 022 && export TZ=AAA+12 && build_in first)
    (umask 002 && export TZ=BBB-14 && build_in second-build)
}

identical_builds() {
    local file differ=()
    for file in "$deb" $release/vorlent $release/vorlent-drives; do
        cmp -s "first/$file" "second-build/$file" || differ+=("$file")
    done
    if [[ $VORLENT_WINDOWS == ON ]]; then
        for file in "$zip" $windows/Vorlent.exe; do
            cmp -s "first/$file" "second-build/$file" || differ+=("$file")
        done
    fi
    ((${#differ[@]} == 0)) || fail "the two builds differ in: ${differ[*]}"
}

# What the package holds, and that its programs run from its files.
debian_package() {
    cd first
    [[ $(dpkg-deb -f "$deb" Package) == vorlent ]] || fail "the package is not called vorlent"
    # The programs are linked statically: they need no other package.
    depends=$(dpkg-deb -f "$deb" Depends)
    [[ -z $depends ]] || fail "the package depends on: $depends"

    # The two programs and their pages, the licence and changelog, lintian's exception for
    # the static link, and nothing else.
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | LC_ALL=C sort >contents
    expected='./usr/bin/vorlent
./usr/bin/vorlent-drives
./usr/share/doc/vorlent/changelog.gz
./usr/share/doc/vorlent/copyright
./usr/share/lintian/overrides/vorlent
./usr/share/man/man1/vorlent-drives.1.gz
./usr/share/man/man1/vorlent.1.gz'
    [[ $(cat contents) == "$expected" ]] || fail "the package holds:
$(cat contents)
expected:
$expected"

    rm -rf root
    dpkg-deb -x "$deb" root
    for page in root/usr/share/man/man1/*.1.gz; do
        zcat "$page" >page
        grep -q "^\.TH .*\"Vorlent $VORLENT_VERSION\"" page ||
            fail "$page does not carry the version"
        warnings=$(groff -man -ww -z page 2>&1) || fail "groff cannot format $page: $warnings"
        [[ -z $warnings ]] || fail "$page: $warnings"
        wide=$(groff -man -Tascii -P-cbou page | awk 'length > 80')
        [[ -z $wide ]] || fail "$page is wider than 80 columns in: $wide"
    done
    # The copyright file ends with the licence's notice, word for word.
    diff <(sed -n '/^Permission /,$p' "$source_dir/LICENSE" | sed 's/^$/./; s/^/ /') \
        <(sed '1,/^License: Expat$/d' root/usr/share/doc/vorlent/copyright) ||
        fail "the copyright file does not end with the licence's notice"

    # The packaged programs start from their own files: vorlent shows its usage screen and
    # ends at the end of its input; vorlent-drives lists this machine's drives, or none.
    root/usr/bin/vorlent </dev/null >usage || fail "vorlent ended with status $?"
    [[ $(head -n 1 usage) == "Vorlent allows Read/Write Disk sectors To/From file" ]] ||
        fail "vorlent showed: $(cat usage)"
    root/usr/bin/vorlent-drives </dev/null >drives || fail "vorlent-drives ended with status $?"
    grep -Eq '^(Drive 0: /dev/[^ ]+|No drives found\.)$' <(head -n 1 drives) ||
        fail "vorlent-drives showed: $(cat drives)"
}

lintian_package() {
    if ! command -v lintian >/dev/null; then
        echo "SKIP: lintian is not installed (sh tools/install-deps --tests installs it)"
        exit 77
    fi
    lintian --fail-on error,warning "first/$deb" || fail "lintian found errors or warnings"
}

case $check in
build_twice | identical_builds | debian_package) "$check" ;;
lintian) lintian_package ;;
*) fail "no check named $check" ;;
esac
echo "PASS: $check"
