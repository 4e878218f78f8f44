#!/usr/bin/env bash
# The MQTT part of the benchmark table (bench/run.sh mqtt): tag events from
# the service's event output and publisher (bench/mqtt_events.cc) through
# Debian's mosquitto, started here on a free loopback port with a
# configuration of its own, to a subscriber. Throughput for BENCH_MQTT_SECONDS
# (default 30), latency at 1000 events/s for the same time, and memory with
# no broker for BENCH_MQTT_AWAY_SECONDS (default 60) at 1000 events/s, with
# the default outbox bound and with one of 20000 events.
#
# The broker keeps every message queued and in flight for the subscriber
# (max_queued_messages 0, max_inflight_messages 0): its defaults (1000
# queued, 20 in flight) would drop QoS 1 messages for a subscriber that
# falls behind, and pace it at 20 per round trip.
#
#   bench/mqtt.sh BUILD_DIR
set -euo pipefail
dir=$1
seconds=${BENCH_MQTT_SECONDS:-30}
away=${BENCH_MQTT_AWAY_SECONDS:-60}
bench=$dir/bench/mqtt_events
broker=$(command -v mosquitto || echo /usr/sbin/mosquitto)
work=$(mktemp -d)
broker_pid=
cleanup() {
  if [ -n "$broker_pid" ]; then
    kill "$broker_pid" 2>/dev/null || true
    wait "$broker_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
port=$(free_port)
cat >"$work/mosquitto.conf" <<CONF
listener $port 127.0.0.1
allow_anonymous true
user $(id -un)
max_queued_messages 0
max_inflight_messages 0
log_dest none
CONF
"$broker" -c "$work/mosquitto.conf" &
broker_pid=$!
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

echo "mqtt (mosquitto $("$broker" -h 2>/dev/null | sed -n "s/^mosquitto version //p"), through it to a subscriber in the bench process):"
echo "  load $(cut -d' ' -f1-3 /proc/loadavg)"
# The broker's CPU time in seconds, from /proc.
broker_cpu() {
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f", ($14 + $15) / hz }' "/proc/$broker_pid/stat"
}
before=$(broker_cpu)
start=$(date +%s.%N)
"$bench" "$port" throughput "$seconds" | sed 's/^/  /'
echo "  the broker used $(awk -v a="$before" -v b="$(broker_cpu)" 'BEGIN { printf "%.1f", b - a }') s of CPU in $(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s"
# The same broker with Debian's own clients, as a yardstick: mosquitto_pub
# sends 50000 lines of the size of an event, QoS 1, to mosquitto_sub.
awk 'BEGIN { for (i = 0; i < 50000; i++) printf "{\"id\":\"bench-%d\",\"pad\":\"%0400d\"}\n", i, 0 }' >"$work/lines"
timeout 300 mosquitto_sub -p "$port" -q 1 -t yardstick -C 50000 >/dev/null &
sub_pid=$!
sleep 1
start=$(date +%s.%N)
timeout 300 mosquitto_pub -p "$port" -q 1 -t yardstick -l <"$work/lines"
wait "$sub_pid"
echo "  yardstick: mosquitto_pub -q 1 -l to mosquitto_sub -q 1, 50000 messages of $(head -1 "$work/lines" | wc -c) bytes: $(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.0f", 50000 / (b - a) }') messages/s"
echo "  load $(cut -d' ' -f1-3 /proc/loadavg)"
"$bench" "$port" latency "$seconds" 1000 | sed 's/^/  /'
kill "$broker_pid"
wait "$broker_pid" 2>/dev/null || true
broker_pid=
for bound in 100000 20000; do
  echo "  load $(cut -d' ' -f1-3 /proc/loadavg); broker away, outbox bound $bound events:"
  "$bench" "$port" away "$away" 1000 "$bound" | sed 's/^/    /'
done
echo
