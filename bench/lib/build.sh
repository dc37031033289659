# shellcheck shell=bash
# Builds the release program and the benchmark's copy of it, and checks that the two are
# compiled and linked with the same flags.

# The copy is configured from the same preset in a folder of its own; only the two roots the
# drive names resolve under differ, added to every compile line.
build_programs() {
    say "Building the release program"
    (cd "$repo" && cmake --preset release >/dev/null &&
        cmake --build --preset release --target vorlent -j 2 >/dev/null)

    local root_defines="-DVORLENT_SYS_BLOCK_ROOT='\"$roots/sys/block\"' -DVORLENT_DEV_ROOT='\"$roots/dev\"'"
    say "Building the benchmark copy of the program"
    [[ $roots != *[[:space:]\'\"\\]* ]] || die "the path $roots cannot be passed to the compiler"
    (cd "$repo" && cmake --preset release -B "$build_dir" "-DCMAKE_CXX_FLAGS=$root_defines" \
        >/dev/null && cmake --build "$build_dir" --target vorlent -j 2 >/dev/null)

    # Compares the compile flags and link lines CMake generated for both builds, once the
    # roots are taken out of the copy's and its build folder, which the flags map away from
    # the program, is named as the release build's.
    [[ -n $(build_files "$repo/build/release") ]] ||
        die "no flags.make or link.txt in build/release: check the copy's flags by hand"
    [[ $(build_files "$repo/build/release") == "$(build_files "$build_dir")" ]] ||
        die "the release build and the benchmark copy have different targets"
    local file
    while read -r file; do
        diff <(cat "$repo/build/release/$file") \
            <(sed "s|$root_defines ||; s|$build_dir|$repo/build/release|g" "$build_dir/$file") \
            >/dev/null ||
            die "$file differs between the release build and the benchmark copy"
    done < <(build_files "$repo/build/release")
}
build_files() { (cd "$1" && find CMakeFiles -name flags.make -o -name link.txt | sort); }
