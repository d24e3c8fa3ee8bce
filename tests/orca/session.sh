#!/bin/bash
# A desktop of the test's own for a screen reader, all under DIR: an X server
# on a free display, a session bus (which starts the accessibility bus), a
# small window manager, speech-dispatcher whose one voice writes each
# utterance to DIR/spoken.log, and Orca. Then runs COMMAND in it and ends
# everything it started.  Usage: session.sh DIR COMMAND...
# Exits 77, saying why, where a part cannot be had or started.
set -u
here=$(cd "$(dirname "$0")" && pwd)
dir=$1
shift
skip() { echo "SKIP: $*"; exit 77; }

for tool in Xvfb dbus-daemon dbus-send openbox speech-dispatcher xdotool; do
  command -v "$tool" >/dev/null || skip "no $tool: scripts/install-deps.sh installs it"
done
[ -x /usr/bin/orca ] || skip "no orca: scripts/install-deps.sh installs it"
[ -x /usr/lib/speech-dispatcher-modules/sd_generic ] || skip "no speech-dispatcher generic module"

rm -rf "$dir"
mkdir -p "$dir"/{home,config,data,cache,runtime,speechd/modules,logs}
chmod 700 "$dir/runtime"
export HOME=$dir/home XDG_CONFIG_HOME=$dir/config XDG_DATA_HOME=$dir/data XDG_CACHE_HOME=$dir/cache
export XDG_RUNTIME_DIR=$dir/runtime
unset SESSION_MANAGER DBUS_SESSION_BUS_ADDRESS AT_SPI_BUS_ADDRESS NO_AT_BRIDGE GTK_MODULES QT_ACCESSIBILITY

pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; done
  sleep 0.3
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null; done
  # What the session bus started (the accessibility bus and its registry)
  # belongs to this session alone: it ends with the bus's own children.
  [ -n "${bus_pid:-}" ] && pkill -P "$bus_pid" 2>/dev/null
  true
}
trap cleanup EXIT

exec 3> "$dir/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -auth /dev/null >"$dir/logs/xvfb.log" 2>&1 &
pids+=($!)
exec 3>&-
for _ in $(seq 100); do [ -s "$dir/display" ] && break; sleep 0.05; done
[ -s "$dir/display" ] || skip "the X server did not start"
export DISPLAY=:$(head -1 "$dir/display")

dbus-daemon --session --nofork --print-address=4 --print-pid=5 4>"$dir/bus-address" 5>"$dir/bus-pid" \
  >"$dir/logs/dbus.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$dir/bus-address" ] && break; sleep 0.05; done
[ -s "$dir/bus-address" ] || skip "no session bus"
export DBUS_SESSION_BUS_ADDRESS=$(head -1 "$dir/bus-address")
bus_pid=$(head -1 "$dir/bus-pid")
dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress \
  >"$dir/logs/a11y-bus.log" 2>&1 || skip "the accessibility bus did not start: $(cat "$dir/logs/a11y-bus.log")"

openbox --sm-disable >"$dir/logs/openbox.log" 2>&1 &
pids+=($!)

export DUPLON_SPOKEN_LOG=$dir/spoken.log
: > "$DUPLON_SPOKEN_LOG"
cat > "$dir/speechd/speechd.conf" <<CONF
LogLevel 2
AudioOutputMethod "libao"
AddModule "log" "sd_generic" "log.conf"
DefaultModule log
DefaultLanguage "en"
CONF
cat > "$dir/speechd/modules/log.conf" <<CONF
GenericExecuteSynth "printf %s \'\$DATA\' | DUPLON_SPOKEN_LOG='$DUPLON_SPOKEN_LOG' '$here/speak.sh'"
GenericStripPunctChars ""
AddVoice "en" "MALE1" "en"
CONF
export SPEECHD_ADDRESS=unix_socket:$dir/speechd.sock
speech-dispatcher -s -t 0 -c unix_socket -S "$dir/speechd.sock" -C "$dir/speechd" -L "$dir/logs" \
  -P "$dir/speechd.pid" >"$dir/logs/speechd.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -S "$dir/speechd.sock" ] && break; sleep 0.05; done
[ -S "$dir/speechd.sock" ] || skip "speech-dispatcher did not start: $(tail -3 "$dir/logs/speechd.out")"

/usr/bin/python3 "$here/own-orca.py" --disable braille --disable braille-monitor --debug-file="$dir/logs/orca-debug.log" ${DUPLON_ORCA_DEBUG:+--debug} \
  >"$dir/logs/orca.log" 2>&1 &
pids+=($!)
# Orca is up once it has said so.
for _ in $(seq 200); do [ -s "$DUPLON_SPOKEN_LOG" ] && break; sleep 0.05; done
[ -s "$DUPLON_SPOKEN_LOG" ] || skip "Orca said nothing on starting: $(tail -5 "$dir/logs/orca.log")"

"$@"
