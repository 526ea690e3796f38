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
for file in DspCore/Signals.h DspCore/Export.h Toolbox/SignalQueue.h; do
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
    for page in murel murel-process murel-separate murel-info murel-bench murel-make-model murel-make-test-signal; do
        [[ -s "$PREFIX/share/man/man1/$page.1" ]] || murel_fail "the manual page $page.1 is not installed"
    done
    completion="$PREFIX/share/bash-completion/completions/murel"
    [[ -s "$completion" ]] || murel_fail "the bash completion script is not installed"
    bash -n "$completion" || murel_fail "the bash completion script does not parse"
    # The library finds the installed default model relative to itself, from any folder.
    if [[ -f "$PREFIX/share/MurelEngine/models/speech-denoiser.model" ]]; then
        mkdir -p "$WORK/default"
        "$PREFIX/bin/murel" make-test-signal "$WORK/default/noisy.wav" --seconds 0.5 -y -q
        (cd / && "$PREFIX/bin/murel" process "$WORK/default/noisy.wav" "$WORK/default/clean.wav" -y -q) ||
            murel_fail "the installed murel does not find the installed default model"
    fi
fi

# The LV2 bundle, from the installed tree only: lv2info lists it, and lv2apply and ffmpeg (with the
# README's command line) run an identity model through it; the output must be the input, delayed
# by the latency (lv2apply) or aligned (ffmpeg). With the default model installed, ffmpeg runs it
# without being told where it is.
if [[ -f "$BUILD/lv2/murel.lv2/murel.so" && -x "$PREFIX/bin/murel" ]]; then
    murel_log "The installed LV2 bundle in lv2info, lv2apply and ffmpeg"
    BUNDLE="$PREFIX/lib/lv2/murel.lv2"
    for file in manifest.ttl murel.ttl separator.ttl murel.so; do
        [[ -f "$BUNDLE/$file" ]] || murel_fail "lib/lv2/murel.lv2/$file is not installed"
    done
    check_uses_installed_library "$BUNDLE/murel.so"
    export LV2_PATH="$PREFIX/lib/lv2"
    # grep reads everything: an early exit would break lv2info's pipe and fail the pipeline.
    lv2info urn:murel:lv2:stereo | grep "Has latency: *yes" > /dev/null || murel_fail "lv2info does not list the plug-in"

    LV2WORK="$WORK/lv2"
    mkdir -p "$LV2WORK"
    "$PREFIX/bin/murel" make-model "$LV2WORK/identity.model" --kind identity --channels 2 --fft 512 --window 512 \
        --hop 256
    "$PREFIX/bin/murel" make-test-signal "$LV2WORK/noisy.wav" --seconds 1 --format float
    compare="$BUILD/tests/Plugins/Lv2HostTest"
    latency=512
    MUREL_LV2_DEFAULT_MODEL="$LV2WORK/identity.model" lv2apply -i "$LV2WORK/noisy.wav" -o "$LV2WORK/lv2apply.wav" \
        urn:murel:lv2:stereo
    MUREL_LV2_DEFAULT_MODEL="$LV2WORK/identity.model" ffmpeg -nostdin -hide_banner -loglevel error -y \
        -i "$LV2WORK/noisy.wav" -c:a pcm_f32le "$LV2WORK/ffmpeg.wav" -af \
        "apad=pad_len=$latency,lv2=p=urn\\\\:murel\\\\:lv2\\\\:stereo,atrim=start_sample=$latency,asetpts=PTS-STARTPTS"
    if [[ -x "$compare" ]]; then
        "$compare" compare "$LV2WORK/noisy.wav" "$LV2WORK/lv2apply.wav" "$latency" 1e-6 ||
            murel_fail "lv2apply's output is not the input delayed by $latency samples"
        "$compare" compare "$LV2WORK/noisy.wav" "$LV2WORK/ffmpeg.wav" 0 1e-6 ||
            murel_fail "ffmpeg's output is not the input"
    fi
    if [[ -f "$PREFIX/share/MurelEngine/models/speech-denoiser.model" ]]; then
        ffmpeg -nostdin -hide_banner -loglevel error -y -i "$LV2WORK/noisy.wav" -af \
            "lv2=p=urn\\\\:murel\\\\:lv2\\\\:stereo" "$LV2WORK/clean.wav" 2> "$LV2WORK/ffmpeg.log" ||
            murel_fail "ffmpeg fails with the default model: $(cat "$LV2WORK/ffmpeg.log")"
        grep -q "speech-denoiser.model, latency" "$LV2WORK/ffmpeg.log" ||
            murel_fail "the plug-in did not start with the installed default model: $(cat "$LV2WORK/ffmpeg.log")"
    else
        echo "no default model installed: the plug-in's start with it is not checked"
    fi
    unset LV2_PATH

    # The Denoised microphone: configurations that name the installed bundle, and the command that
    # installs one (into a temporary configuration folder here).
    for variant in murel-denoised-microphone murel-denoised-microphone-stereo; do
        conf="$PREFIX/share/MurelEngine/pipewire/$variant.conf"
        grep -qF "Plug-in bundle: $BUNDLE" "$conf" || murel_fail "$variant.conf does not name the installed bundle"
    done
    [[ -x "$PREFIX/bin/murel-microphone" ]] || murel_fail "murel-microphone is not installed"
    XDG_CONFIG_HOME="$LV2WORK/config" "$PREFIX/bin/murel-microphone" install --residual -12 --no-restart
    grep -q '"residual_gain" = -12$' "$LV2WORK/config/pipewire/pipewire.conf.d/murel-denoised-microphone.conf" ||
        murel_fail "murel-microphone did not install the configuration"
    XDG_CONFIG_HOME="$LV2WORK/config" "$PREFIX/bin/murel-microphone" remove --no-restart
    [[ ! -e "$LV2WORK/config/pipewire/pipewire.conf.d/murel-denoised-microphone.conf" ]] ||
        murel_fail "murel-microphone did not remove the configuration"
    if [[ -f "$PREFIX/share/MurelEngine/models/speech-denoiser.model" ]]; then
        murel_log "The installed Denoised microphone in a private PipeWire daemon"
        bash "$ROOT/tests/Plugins/PipeWireMicrophone.sh" "$PREFIX/bin/murel-microphone" "$BUNDLE" "$PREFIX/bin/murel" \
            "$PREFIX/share/MurelEngine/models/speech-denoiser.model" "$ROOT" ||
            murel_fail "the installed Denoised microphone does not work"
    fi
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

murel_log "The Python package finds the installed library and models"
package="$(find "$PREFIX" -path '*/dist-packages/murel/engine.py' -print -quit)"
[[ -n "$package" ]] || murel_fail "the murel Python package is not installed"
(
    cd "$WORK"
    env -u MUREL_LIBRARY PYTHONPATH="$(dirname "$(dirname "$package")")" "${PYTHON:-/usr/bin/python3}" - "$LIBDIR" << 'PY'
import os, sys
import numpy as np
import murel.engine as engine
from murel import _install
lib = os.path.realpath(engine.library()._name)
assert lib.startswith(os.path.realpath(sys.argv[1])), f"the package loaded {lib}"
models = os.path.join(os.path.dirname(engine.__file__), _install.MODELS)
default = os.path.join(models, "speech-denoiser.model")
if os.path.exists(default):
    with engine.Processor(default, channels=2, rate=44100) as p:
        out = p.process(np.zeros((2, 4410), np.float32))
        assert out.shape == (2, 4410) and p.buses == ["Speech", "Noise"], (out.shape, p.buses)
print("python package:", os.path.dirname(engine.__file__), "library:", lib)
PY
) || murel_fail "the installed Python package does not work"

[[ -x "$PREFIX/bin/murel-batch" ]] || murel_fail "murel-batch is not installed"
env -u MUREL_LIBRARY "$PREFIX/bin/murel-batch" --help > /dev/null || murel_fail "the installed murel-batch does not start"

murel_log "Install check passed: $numOfHeaders headers, $numOfExamples examples through CMake and pkg-config"
