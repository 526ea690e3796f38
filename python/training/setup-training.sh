#!/bin/sh
# Debian packages the denoiser's training corpus is made from (training only; CI never needs them).
# The MBROLA voices live in non-free: this adds contrib and non-free for bookworm if missing.
set -e
if ! grep -rqs "non-free" /etc/apt/sources.list /etc/apt/sources.list.d/; then
    cat > /etc/apt/sources.list.d/training-contrib.sources <<SOURCES
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: contrib non-free
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
fi
apt-get update
# Speech: every MBROLA voice but the Dutch ones (nl is held out for evaluation), festival's voices
# but the slt talker's, the asterisk prompts in every language and encoding, game voice packs.
mbrola=$(apt-cache search --names-only '^mbrola-' | awk '{print $1}' | grep -v -- '-nl[0-9]' | sort)
festvox="festvox-hi-nsk festvox-italp16k festvox-itapc16k festvox-mr-nsk festvox-te-nsk festvox-ca-ona-hts
    festvox-czech-dita festvox-czech-krb festvox-czech-machac festvox-czech-ph festvox-kallpc16k festvox-kdlpc16k
    festvox-ru festvox-suopuhe-lj festvox-suopuhe-mv festvox-don festvox-en1 festvox-us1 festvox-us2 festvox-us3
    festvox-rablpc16k festvox-ellpc11k"
asterisk=""
for lang in en es fr it ru; do
    for enc in "" -g722 -gsm -wav; do asterisk="$asterisk asterisk-core-sounds-$lang$enc"; done
done
# Noise: game music and desktop and game sound effects. The separator also takes music and
# effects from supertux-data, neverball-data, xmoto-data, pingus-data and supertuxkart-data (the
# denoiser does not use them).
music="wesnoth-1.16-music warzone2100-music frozen-bubble-data fb-music-high lincity-ng-data
    supertux-data neverball-data xmoto-data pingus-data supertuxkart-data"
sounds="oxygen-sounds yaru-theme-sound deepin-sound-theme heroes-sound-effects psi-plus-sounds"
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y --no-install-recommends \
    espeak-ng mbrola $mbrola flite festival $festvox $asterisk hedgewars-data $music $sounds \
    fortunes wamerican sox ffmpeg python3-torch python3-scipy python3-numpy
