#!/usr/bin/env bash
# Makes an H.264 test clip (MP4, libx264, test pattern, no B-frames) once and caches it.
#
#   make_clip.sh OUTPUT.mp4 [WIDTHxHEIGHT] [FPS] [SECONDS] [BITRATE] [ENCODER OPTIONS]
#
# Defaults: 320x240, 25 frames/s, 2 seconds, 400k. One key frame per second. ENCODER OPTIONS
# are further ffmpeg encoder arguments, one word each, that override the defaults, e.g.
# "-bf 2", "-bf 3 -b-pyramid normal" or "-slices 4". The clip is
# written next to OUTPUT and renamed into place, so a clip that exists is complete; a
# second caller waits on the lock and then finds it. Prints OUTPUT.
set -euo pipefail

out=${1:?usage: make_clip.sh OUTPUT.mp4 [WxH] [FPS] [SECONDS] [BITRATE] [ENCODER OPTIONS]}
size=${2:-320x240}
fps=${3:-25}
seconds=${4:-2}
bitrate=${5:-400k}
read -r -a extra <<< "${6:-}"

mkdir -p "$(dirname "$out")"
exec 9>"$out.lock"
flock 9
if [ ! -s "$out" ]; then
  tmp="$out.tmp.$$.mp4"
  ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc2=size=${size}:rate=${fps}" -t "$seconds" \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 0 -g "$fps" -keyint_min "$fps" \
    -sc_threshold 0 -b:v "$bitrate" -maxrate "$bitrate" -bufsize "$bitrate" \
    "${extra[@]}" -an "$tmp"
  mv -f "$tmp" "$out"
fi
rm -f "$out.lock"
echo "$out"
