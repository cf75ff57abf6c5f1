#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the stream-player probe and compares it with peer players on the
# local live stream. Peers (gst-play-1.0, mpv, ffplay) and the private
# PulseAudio come from Debian packages needed only for this benchmark:
#   apt-get install gstreamer1.0-plugins-base-apps mpv ffmpeg pulseaudio pulseaudio-utils vlc-bin vlc-plugin-base
# Usage: bench/player/run.sh [build dir] [extra arguments of bench_players.py]
set -eu
"$(dirname "$0")/../../scripts/install-deps" --bench
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build/bench}
[ $# -gt 0 ] && shift
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVO_BUILD_BENCH=ON
fi
cmake --build "$build" -j2 --target orvo_play_probe
exec /usr/bin/python3 "$here/bench_players.py" --probe "$build/bench/orvo_play_probe" "$@"
