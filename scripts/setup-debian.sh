#!/usr/bin/env bash
# Installs every package needed to build, test, cross-build and check the library on Debian 12.
# Run as root (or with sudo available). Safe to run again: when everything is installed it only
# checks and returns.
set -euo pipefail

NATIVE_PACKAGES=(
    build-essential cmake ninja-build pkg-config
    libgtest-dev libbenchmark-dev
    libsimde-dev
    libfftw3-dev libopenblas-dev libsoxr-dev libsamplerate0-dev
    libsndfile1-dev libcli11-dev
    clang clang-format libclang-rt-14-dev
    qemu-user crossbuild-essential-arm64
    python3 python3-numpy python3-torch python3-dask python3-distributed
    # The LV2 plug-in: its headers, lilv for the test host, and the hosts it is checked in.
    lv2-dev liblilv-dev lilv-utils sordi ffmpeg
    # The plug-in in a private PipeWire daemon with its session manager (which needs a session
    # bus: dbus-run-session), and in GStreamer's LV2 bridge.
    pipewire pipewire-bin wireplumber dbus-daemon
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
    # Quality benchmark and its regression test (bench/quality): baseline denoisers, evaluation
    # speech and sounds, the Python scores and pictures.
    libspeexdsp-dev libwebrtc-audio-processing-dev
    espeak-ng flite sox alsa-utils gnome-audio sound-theme-freedesktop sound-icons
    python3-scipy python3-matplotlib
    # Its music noise: a game soundtrack and game tunes rendered with a General MIDI sound font.
    funnyboat kobodeluxe-data fluidsynth timgm6mb-soundfont
)

# Target libraries for the arm64 cross build, installed side by side through Debian multiarch.
# pkgconf:arm64 brings aarch64-linux-gnu-pkg-config.
ARM64_PACKAGES=(
    libgtest-dev libbenchmark-dev
    libfftw3-dev libopenblas-dev libsoxr-dev libsamplerate0-dev
    libsndfile1-dev
    pkgconf
)

NATIVE_ARCH="$(dpkg --print-architecture)"

wanted=("${NATIVE_PACKAGES[@]}")
if [[ "$NATIVE_ARCH" != arm64 ]]; then
    for package in "${ARM64_PACKAGES[@]}"; do
        wanted+=("$package:arm64")
    done
fi

declare -A installed=()
while read -r name status; do
    [[ "$status" == installed ]] && installed["$name"]=1
done < <(dpkg-query -W -f='${binary:Package} ${db:Status-Status}\n' 2>/dev/null)

# node and npm run the benchmark's neural baseline (fetched from the npm registry when it runs);
# a node that came from elsewhere is kept.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    wanted+=(nodejs npm)
fi

missing=()
for package in "${wanted[@]}"; do
    if [[ -z "${installed[$package]:-}" && -z "${installed[$package:$NATIVE_ARCH]:-}" ]]; then
        missing+=("$package")
    fi
done

needArm64=0
if [[ "$NATIVE_ARCH" != arm64 ]] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    needArm64=1
fi

if [[ ${#missing[@]} -eq 0 && $needArm64 -eq 0 ]]; then
    echo "setup: all ${#wanted[@]} packages are installed"
    exit 0
fi

SUDO=()
if [[ $EUID -ne 0 ]]; then
    if command -v sudo >/dev/null; then
        SUDO=(sudo)
    else
        echo "setup: missing packages: ${missing[*]}" >&2
        echo "setup: run this script as root to install them" >&2
        exit 1
    fi
fi

export DEBIAN_FRONTEND=noninteractive
if [[ $needArm64 -eq 1 ]]; then
    echo "setup: enabling the arm64 architecture"
    "${SUDO[@]}" dpkg --add-architecture arm64
fi

echo "setup: installing ${missing[*]}"
"${SUDO[@]}" apt-get update -q
"${SUDO[@]}" apt-get install -y -q -o Dpkg::Use-Pty=0 --no-install-recommends "${missing[@]}"
