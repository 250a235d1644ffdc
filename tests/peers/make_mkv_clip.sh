#!/usr/bin/env bash
# Makes a Matroska test clip (libx264 test pattern + AAC tone) once and caches it.
#
#   make_mkv_clip.sh OUTPUT.mkv [WIDTHxHEIGHT] [FPS] [SECONDS] [KEY FRAME INTERVAL] [ENCODER OPTIONS]
#
# Defaults: 320x240, 25 frames/s, 10 seconds, a key frame every 50 frames, no B-frames, AAC
# at 48 kHz mono. ENCODER OPTIONS are further ffmpeg video encoder arguments, one word each,
# that override the defaults ("-bf 2"). The clip is written next to OUTPUT and renamed into
# place, so a clip that exists is complete; a second caller waits on the lock and then finds
# it. Prints OUTPUT.
set -euo pipefail

out=${1:?usage: make_mkv_clip.sh OUTPUT.mkv [WxH] [FPS] [SECONDS] [KEYINT] [ENCODER OPTIONS]}
size=${2:-320x240}
fps=${3:-25}
seconds=${4:-10}
keyint=${5:-50}
read -r -a extra <<< "${6:-}"

mkdir -p "$(dirname "$out")"
exec 9>"$out.lock"
flock 9
if [ ! -s "$out" ]; then
  tmp="$out.tmp.$$.mkv"
  ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc2=size=${size}:rate=${fps}" \
    -f lavfi -i "sine=frequency=440:beep_factor=4:sample_rate=48000" \
    -map 0:v -map 1:a -t "$seconds" \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 0 -g "$keyint" -keyint_min "$keyint" \
    -sc_threshold 0 "${extra[@]}" \
    -c:a aac -b:a 64k -ac 1 "$tmp"
  mv -f "$tmp" "$out"
fi
rm -f "$out.lock"
echo "$out"
