#!/usr/bin/env bash
# Two processes teleoperating two emulated arms over DDS on one machine: the emulator's hand pushes
# the leader's arm back and forth (examples/hands/teleoperation.csv), the follower's arm meets a
# stiff wall at x = 10 mm, and each side prints its figures as a line of JSON when it ends.
#   examples/dds_teleoperation_pair.sh [ROUND_TRIP_DELAY_S] [SECONDS]
# A delay is emulated in the channel (each side holds what it receives for half of it, +-50 %
# jitter, 10 % loss); across two machines, run dds_teleoperation.py on each instead (see
# docs/teleoperation.md).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
emulator=${ORVEX_EMULATOR:-orvex-emulator}
delay=${1:-0}
seconds=${2:-5}

coproc arms { exec "$emulator" --corvane --hand "$here/hands/teleoperation.csv" --hand-loop --corvane; }
read -r _ leader_port <&"${arms[0]}"
read -r _ follower_port <&"${arms[0]}"

channel=(--namespace /pair --seconds "$seconds")
if [[ $delay != 0 ]]; then
  one_way=$(python3 -c "print($delay / 2)")
  channel+=(--delay "$one_way" --jitter "$(python3 -c "print($one_way / 2)")" --loss 0.1)
fi
python3 "$here/dds_teleoperation.py" leader "$leader_port" "${channel[@]}" </dev/null &
python3 "$here/dds_teleoperation.py" follower "$follower_port" --wall 0.01 "${channel[@]}" </dev/null
wait %1 2>/dev/null || true
# The emulator ends when its input closes.
exec {arms[1]}>&-
wait
