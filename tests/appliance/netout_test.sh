#!/usr/bin/env bash
# netout_probe in the booted appliance sends to a UDP receiver there on
# loopback; the capture comes back through the shared folder and the host's
# ffprobe and ffmpeg must find and decode its H.264 stream.
#   netout_test.sh APPLIANCE_VM
set -euo pipefail
vm=$1
fail() { echo "appliance netout test: $*" >&2; exit 1; }
work=$(mktemp -d /tmp/lumaset-appliance-netout.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"

# A small picture keeps the emulated encoder near its frame rate. The receiver
# writes to the guest's tmpfs: a slow shared folder would let its socket overflow.
LUMASET_OPTIONS="enc0.width=320 enc0.height=240" "$vm" '
  udp_sink 3458 /tmp/capture.ts &
  receiver=$!
  sleep 1
  netout_probe -s 3 -i 127.0.0.1 -p 3458 -m 1316 > probe.out 2> probe.log
  status=$?
  sleep 1
  kill $receiver
  cp /tmp/capture.ts capture.ts
  exit $status' || fail "netout_probe in the appliance: status $?; $(cat probe.log 2>/dev/null)"

[ "$(tail -n 1 probe.out)" = Success ] || fail "the probe did not succeed: $(cat probe.out probe.log)"
[ -s capture.ts ] || fail "nothing arrived at the receiver in the appliance"
# A TS program lists its stream once more: one line for each distinct entry.
stream=$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height -of csv=p=0 \
         capture.ts 2>ffprobe.log | sort -u | sed '/^$/d' || true)
[ "$stream" = "h264,320,240" ] ||
  fail "ffprobe finds \"$stream\" in $(stat -c %s capture.ts) bytes that arrived, not h264 at 320x240:
$(cat ffprobe.log probe.out probe.log)"
errors=$(ffmpeg -v error -xerror -i capture.ts -map 0:v:0 -f null - 2>&1 >/dev/null | wc -l)
[ "$errors" -eq 0 ] || fail "ffmpeg reports errors decoding what arrived"
echo "appliance netout test: $(stat -c %s capture.ts) bytes of decodable H.264 in MPEG-TS arrived"
