#!/usr/bin/env bash
# Installs the library into a temporary prefix and checks the package as a consumer sees it:
# the files and SONAME links, that every installed header compiles on its own with nothing but
# the installed include folder, and that each example under examples/ builds out of tree and runs,
# once through CMake (find_package) and once through its Makefile (pkg-config).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

murel_setup

BUILD="$ROOT/build"
if [[ ! -f "$BUILD/CMakeCache.txt" ]]; then
    murel_log "Configuring $BUILD (Release)"
    murel_configure "$BUILD" -DCMAKE_BUILD_TYPE=Release
fi
murel_log "Building $BUILD"
cmake --build "$BUILD" -j"$JOBS"

WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
PREFIX="$WORK/prefix"

murel_log "Installing into a temporary prefix"
cmake --install "$BUILD" --prefix "$PREFIX"

murel_log "Checking the installed files"
library="$(find "$PREFIX" -name libMurelEngine.so -print -quit)"
[[ -n "$library" ]] || murel_fail "libMurelEngine.so is not installed"
LIBDIR="$(dirname "$library")"
[[ -L "$library" ]] || murel_fail "libMurelEngine.so is not a link"
soname="$(readelf -d "$library" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')"
[[ "$soname" =~ ^libMurelEngine\.so\.[0-9]+$ ]] || murel_fail "unexpected SONAME '$soname'"
[[ -L "$LIBDIR/$soname" ]] || murel_fail "the SONAME link $soname is not installed"
[[ "$(readlink -f "$library")" == "$(readlink -f "$LIBDIR/$soname")" ]] ||
    murel_fail "libMurelEngine.so and $soname point to different files"
echo "library: $(readlink -f "$library" | sed "s|$PREFIX/||"), SONAME $soname"

INCLUDEDIR="$PREFIX/include/MurelEngine"
for file in DspCore/Signals.h DspCore/Export.h Interface/SignalQueue.h; do
    [[ -f "$INCLUDEDIR/$file" ]] || murel_fail "header $file is not installed"
done
[[ ! -e "$INCLUDEDIR/DspCore/VectorOps.h" ]] || murel_fail "the internal VectorOps.h is installed"
for file in MurelEngineConfig.cmake MurelEngineConfigVersion.cmake MurelEngineTargets.cmake; do
    [[ -f "$LIBDIR/cmake/MurelEngine/$file" ]] || murel_fail "$file is not installed"
done
PCDIR="$LIBDIR/pkgconfig"
[[ -f "$PCDIR/MurelEngine.pc" ]] || murel_fail "MurelEngine.pc is not installed"
if grep -rlF -e "$ROOT" -e "$BUILD" "$PREFIX" --include='*.cmake' --include='*.pc' --include='*.h'; then
    murel_fail "installed files above refer to the source or build tree"
fi

# check_uses_installed_library <program>: the program must load the installed library.
check_uses_installed_library()
{
    local loaded
    loaded="$(ldd "$1" | sed -n 's/.*libMurelEngine[^ ]* => \([^ ]*\).*/\1/p')"
    [[ "$(readlink -f "$loaded")" == "$(readlink -f "$LIBDIR/$soname")" ]] ||
        murel_fail "$1 loads '$loaded', not the installed library"
}

if [[ -x "$BUILD/tools/murel/murel" ]]; then
    [[ -x "$PREFIX/bin/murel" ]] || murel_fail "the murel tool is not installed"
    # Its run path must lead to the installed library, without help from the environment.
    check_uses_installed_library "$PREFIX/bin/murel"
    "$PREFIX/bin/murel" --version
    for page in murel murel-process murel-info murel-bench murel-make-model murel-make-test-signal; do
        [[ -s "$PREFIX/share/man/man1/$page.1" ]] || murel_fail "the manual page $page.1 is not installed"
    done
    completion="$PREFIX/share/bash-completion/completions/murel"
    [[ -s "$completion" ]] || murel_fail "the bash completion script is not installed"
    bash -n "$completion" || murel_fail "the bash completion script does not parse"
fi

murel_log "Compiling every installed header on its own"
numOfHeaders=0
while IFS= read -r header; do
    relative="${header#"$INCLUDEDIR"/}"
    printf '#include <%s>\n' "$relative" |
        c++ -std=c++17 -fsyntax-only -Wall -Wextra -Werror -I"$INCLUDEDIR" -x c++ - ||
        murel_fail "installed header $relative does not compile on its own"
    numOfHeaders=$((numOfHeaders + 1))
done < <(find "$INCLUDEDIR" -name '*.h' | sort)
echo "$numOfHeaders headers compile with only the installed include folder"

export PKG_CONFIG_PATH="$PCDIR"
pkg-config --validate MurelEngine
echo "pkg-config: MurelEngine $(pkg-config --modversion MurelEngine):" \
    "$(pkg-config --cflags --libs MurelEngine | sed "s|$PREFIX|<prefix>|g")"

# The examples are copied out of the repository so that nothing can reach its sources.

numOfExamples=0
for dir in "$ROOT"/examples/*/; do
    [[ -f "$dir/CMakeLists.txt" ]] || continue
    name="$(basename "$dir")"
    numOfExamples=$((numOfExamples + 1))

    murel_log "Example $name through CMake (find_package)"
    cp -r "$dir" "$WORK/cmake-src-$name"
    cmake -S "$WORK/cmake-src-$name" -B "$WORK/cmake-build-$name" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_PREFIX_PATH="$PREFIX" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >/dev/null
    grep -q "^MurelEngine_DIR:PATH=$PREFIX/" "$WORK/cmake-build-$name/CMakeCache.txt" ||
        murel_fail "find_package did not find the installed package"
    cmake --build "$WORK/cmake-build-$name"
    check_uses_installed_library "$WORK/cmake-build-$name/$name"
    "$WORK/cmake-build-$name/$name"

    if [[ -f "$dir/Makefile" ]]; then
        murel_log "Example $name through make (pkg-config)"
        cp -r "$dir" "$WORK/make-$name"
        make -B -C "$WORK/make-$name" "$name"
        LD_LIBRARY_PATH="$LIBDIR" check_uses_installed_library "$WORK/make-$name/$name"
        LD_LIBRARY_PATH="$LIBDIR" "$WORK/make-$name/$name"
    else
        murel_fail "example $name has no Makefile"
    fi
done
[[ $numOfExamples -gt 0 ]] || murel_fail "no example found"

murel_log "Install check passed: $numOfHeaders headers, $numOfExamples examples through CMake and pkg-config"
