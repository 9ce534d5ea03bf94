#!/usr/bin/env bash
# netout_probe in the booted appliance, one row each:
#   pattern  the test pattern to a UDP receiver in the appliance, on loopback;
#   hdmi720  the HDMI input (vivid, 1280x720p60, Rec.709) to a receiver on the
#            host, through QEMU's user network (10.0.2.2 is the host's loopback);
#   hdmi480  the same with the source at 640x480p59 (IT timings: BT.601).
# The host's ffprobe and ffmpeg must find and decode the H.264 stream at its
# size, in the source's colours, and for the HDMI rows vivid's colour bars:
# eight bars whose luma falls from left to right, which the pattern never shows.
#   netout_test.sh APPLIANCE_VM
set -euo pipefail
vm=$1
row=""
fail() { echo "appliance netout test ($row): $*" >&2; exit 1; }
trap 'echo "appliance netout test ($row): line $LINENO failed" >&2' ERR
work=$(mktemp -d /tmp/lumaset-appliance-netout.XXXXXX)
receiver=""
trap '[ -z "$receiver" ] || kill "$receiver" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"

# A receiver on the host's loopback that writes what arrives to FILE; it puts
# its port into FILE.port once it listens.
host_receiver() {
  python3 -c '
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
try:  # forced (root): the plain size is capped at rmem_max
    s.setsockopt(socket.SOL_SOCKET, 33, 8 << 20)  # SO_RCVBUFFORCE
except OSError:
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
s.bind(("127.0.0.1", 0))
with open(sys.argv[1] + ".port", "w") as p: p.write(str(s.getsockname()[1]))
with open(sys.argv[1], "wb") as out:
    while True:
        out.write(s.recv(65536)); out.flush()
' "$1" &
  receiver=$!
  for _ in $(seq 50); do [ -s "$1.port" ] && return; sleep 0.1; done
  fail "the host's receiver did not start"
}

# The guest's part of each row: the input set up, the probe, the capture.
# A small picture at a small rate keeps the emulated encoder near its frame
# rate and the sender's queue short: in a busy appliance the loop comes back
# late, and what the pacing cannot send within a quarter of a second of the
# stop is dropped, cutting the last frame. The guest's receiver writes to its
# tmpfs: a slow shared folder would let its socket overflow.
probe='netout_probe -s 4 -i $DEST -p $PORT -m 1316 > probe.out 2> probe.log'
hdmi='v4l2-ctl -d /dev/v4l/by-name/vivid-000-vid-cap -i 3 > /dev/null || exit 1'
declare -A guest=(
  [pattern]='udp_sink 3458 /tmp/capture.ts & receiver=$!; sleep 1
             '"$probe"'; status=$?
             sleep 1; kill $receiver; cp /tmp/capture.ts capture.ts
             grep -A1 "^Udp:" /proc/net/snmp >> probe.log; exit $status'
  [hdmi720]="$hdmi; $probe"
  [hdmi480]="$hdmi"'
             index=$(v4l2-ctl -d /dev/v4l/by-name/vivid-000-vid-cap --list-ctrls-menus | sed -n "s/^[[:space:]]*\([0-9]*\): 640x480p59$/\1/p" | head -n 1)
             [ -n "$index" ] || { echo "vivid has no 640x480p59 timings" > probe.log; exit 1; }
             v4l2-ctl -d /dev/v4l/by-name/vivid-000-vid-cap -c dv_timings_signal_mode=4,dv_timings=$index || exit 1
             '"$probe"
)
declare -A colours=([pattern]="unknown,unknown" [hdmi720]="tv,bt709" [hdmi480]="tv,smpte170m")

for row in pattern hdmi720 hdmi480; do
  rm -f capture.ts capture.ts.port probe.out probe.log
  options="enc0.width=320 enc0.height=240 enc0.bitrate=500000"
  where="DEST=127.0.0.1 PORT=3458"
  if [ "$row" != pattern ]; then
    host_receiver capture.ts
    options="$options enc0.input=/dev/v4l/by-name/vivid-000-vid-cap"
    where="DEST=10.0.2.2 PORT=$(cat capture.ts.port)"
  fi
  LUMASET_OPTIONS="$options" "$vm" "$where; ${guest[$row]}" ||
    fail "netout_probe in the appliance: status $?; $(cat probe.log 2>/dev/null)"
  if [ -n "$receiver" ]; then
    sleep 0.5
    kill "$receiver" 2>/dev/null || true
    wait "$receiver" 2>/dev/null || true
    receiver=""
  fi

  [ "$(tail -n 1 probe.out)" = Success ] || fail "the probe did not succeed: $(cat probe.out probe.log)"
  [ -s capture.ts ] || fail "nothing arrived at the receiver: $(cat probe.log)"
  # A TS program lists its stream once more: one line for each distinct entry.
  stream=$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height,color_range,color_space \
           -of csv=p=0 capture.ts 2>ffprobe.log | sort -u | sed '/^$/d' || true)
  [ "$stream" = "h264,320,240,${colours[$row]}" ] ||
    fail "ffprobe finds \"$stream\" in $(stat -c %s capture.ts) bytes that arrived, not h264 at 320x240 in ${colours[$row]}:
$(cat ffprobe.log probe.out probe.log)"
  errors=$(ffmpeg -v error -xerror -i capture.ts -map 0:v:0 -f null - 2>&1 >/dev/null || echo "(ffmpeg failed)")
  [ -z "$errors" ] || fail "ffmpeg reports errors decoding the $(stat -c %s capture.ts) bytes that arrived:
$errors
$(cat probe.log)"
  if [ "$row" != pattern ]; then
    # The mean luma of each eighth of the middle rows of the 30th picture.
    bars=$(ffmpeg -v error -i capture.ts -vf "select=eq(n\,30),format=gray" -frames:v 1 -f rawvideo - |
           python3 -c '
import sys
d, w, h = sys.stdin.buffer.read(), 320, 240
print(" ".join(str(sum(d[r * w + int((b + 0.5) * w / 8)] for r in range(h // 3, 2 * h // 3)) // (h // 3))
               for b in range(8)) if len(d) == w * h else "none")')
    python3 -c 'import sys; b = [int(v) for v in sys.argv[1:]]; sys.exit(not (len(b) == 8 and b[0] > 150 and b[7] < 30 and all(x > y for x, y in zip(b, b[1:]))))' $bars ||
      fail "the picture is not vivid's colour bars: luma of the eight bars $bars"
    echo "appliance netout test ($row): colour bars, luma $bars"
  fi
  echo "appliance netout test ($row): $(stat -c %s capture.ts) bytes of decodable H.264 in MPEG-TS arrived, $stream"
done
