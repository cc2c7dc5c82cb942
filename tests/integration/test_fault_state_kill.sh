#!/usr/bin/env bash
# The worker SIGKILLed five times at random moments while 1,000 users' logon reports (10,000 in
# all, retried as the reporter does) come in, and started again each time by the service under a
# real systemd: every acknowledged report is decided (its notification reaches the answering
# gateway; twice only when it was in flight at a kill), and the logoffs that follow, one for each
# acknowledged logon, are decided and reach both gateways, none refused as not online.
# ORVANE_KILL_SEED=N replays the kill moments of an earlier run (the seed is printed).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/netns.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/fault.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/systemd.sh"
require_systemd_fixture
install_program_folder

USERS=1000 ROUNDS=10 RATE=150 LOGOFF_RATE=200 KILLS=5
DOMAIN=dc=corp,dc=example,dc=com
SEED=${ORVANE_KILL_SEED:-$(( $(date +%s%N) % 32768 ))}
echo "kill seed $SEED (ORVANE_KILL_SEED=$SEED replays these kill moments)"
RANDOM=$SEED

DC="$WORK/dc"
kill_cleanup() {
  "$FIX/samba/samba-dc" stop "$DC" >/dev/null 2>&1 || true
  [ -n "${SD:-}" ] && "$SDNS" cleanup "$SD" >/dev/null 2>&1 || true
  cleanup
}
trap kill_cleanup EXIT
"$FIX/samba/samba-dc" start "$DC" --address 10.99.0.1 --template "$BUILD/samba-dc-template" >/dev/null
source "$DC/env"
t0=$SECONDS
"$FIX/samba/samba-dc" add-users "$DC" u "$USERS"
echo "$USERS users added to the DC in $((SECONDS - t0)) s"

printf '%s\n' device-share-key >"$WORK/device.key"
printf '%s\n' client-key-16chr >"$WORK/client.key"
start_gwemu gwa "$WORK/device.key" --encrypt-type 1 --answer always
PORT_A=$EMU_PORT
GWEMU_ADDRESS=127.0.0.2 start_gwemu gwb "$WORK/device.key" --encrypt-type 1 --answer never
PORT_B=$EMU_PORT
LISTEN_PORT=$(free_udp_port)
# The accounts have never logged on, so the logon-time window is off (AntiReplayTime 0); replayed
# report bodies are still refused within the default window.
ini_set "$PROG/config.ini" ModelType Value 0 EncryptType Value 1 EncodeType Value 1 \
  FirewallShareKey Value "$(protect device-share-key)" ClientShareKey Value "$(protect client-key-16chr)" \
  ListenPort Value "$LISTEN_PORT" AntiReplayTime Value 0 RetranTimes Value 1 MessageTimeout Value 5 \
  AdServerNum Value 1 AdServer0 Ip 10.99.0.1 AdServer0 UserName 'CORP\Administrator' \
  AdServer0 Password "$(protect "$SAMBA_DC_ADMIN_PASSWORD")" AdServer0 FilterGroups '' \
  FirewallNum Value 2 Firewall0 Ip 127.0.0.1 Firewall0 Port "$PORT_A" Firewall1 Ip 127.0.0.2 Firewall1 Port "$PORT_B"

boot_systemd --same-net
trap kill_cleanup EXIT
start_service
MAIN=$(unit_prop MainPID)

# The service's worker, once it runs and listens (WPID); not the one given as $1.
new_worker() {
  local p
  p=$(inside pgrep -P "$MAIN" -x Orvane) || return 1
  [ -n "$p" ] && [ "$p" != "${1:-}" ] && ss -uln | grep -q ":$LISTEN_PORT " || return 1
  WPID=$p
}
wait_for 20 new_worker || fail "the service started no listening worker"

CHECK="$SRC/tests/integration/lib/kill_check.py"
ACKS="$WORK/acks"
: >"$ACKS"
LOAD="$BUILD/bin/orvane_report_retry_load"
"$LOAD" "$LISTEN_PORT" "$WORK/client.key" "$DOMAIN" logon "$USERS" "$ROUNDS" "$RATE" "$ACKS" >"$WORK/load.out" &
LOAD_PID=$!
PIDS+=("$LOAD_PID")

# Reports the running worker acknowledged and has not decided yet (below 0 once it decides
# reports taken back from before its start); fails when the worker does not answer.
undecided() {
  local m
  m=$("$PROG/orvanectl" metrics 2>/dev/null) || return 1
  awk '{ name = $1; sub(/\{.*/, "", name) }
    name == "orvane_reports_received_total" { n += $NF }
    name == "orvane_logons_total" || name == "orvane_logoffs_total" || name == "orvane_refused_total" { n -= $NF }
    END { print n + 0 }' <<<"$m"
}

# Kill k comes after a random number of acknowledgements in the k-th sixth of the load, so
# each restart has load before and after it. The worker keeps up with the load, so at the odd
# kills the DC hangs first until reports wait undecided: those must outlive the kill.
total=$((USERS * ROUNDS))
step=$((total / (KILLS + 1)))
for k in $(seq 1 $KILLS); do
  at=$((k * step + RANDOM % (step / 2)))
  wait_for 120 at_least "$at" "$ACKS" '^logon ' || fail "kill $k: fewer than $at acknowledgements"
  if [ $((k % 2)) = 1 ]; then
    # Once it has hung, the worker acknowledges reports it cannot decide.
    "$FIX/samba/samba-dc" freeze "$DC"
    base=$(count_lines "$ACKS" '^logon ')
    wait_for 20 at_least $((base + 100)) "$ACKS" '^logon ' || fail "kill $k: no acknowledgements with the DC hung"
  fi
  old=$WPID held=
  [ $((k % 2)) = 0 ] || held=", $(( $(count_lines "$ACKS" '^logon ') - base )) reports acknowledged with the DC hung"
  inside kill -KILL "$old"
  [ $((k % 2)) = 0 ] || "$FIX/samba/samba-dc" thaw "$DC"
  t0=$SECONDS
  wait_for 20 new_worker "$old" || fail "kill $k: no new worker within 20 s of the kill"
  echo "kill $k after $at acknowledgements (worker $old$held):" \
    "worker $WPID listens $((SECONDS - t0)) s later"
done
wait "$LOAD_PID" || fail "the logon load failed: $(cat "$WORK/load.out")"
echo "logons: $(cat "$WORK/load.out")"

# Decided: every acknowledged logon at the gateway. A lost one never comes, so the wait also
# ends once the worker has decided every report it holds and the gateway has read everything.
idle() {
  local u
  u=$(undecided) && [ "$u" -le 0 ] && [ "$(ss -Hun state all "sport = :$PORT_A" | awk '{print $2}')" = 0 ]
}
# all_seen KIND ACKS: every report of KIND in ACKS reached the answering gateway.
all_seen() { python3 "$CHECK" missing "$2" "$WORK/gwa.jsonl" "$1"; }
drained() { all_seen "$@" || idle; }
wait_for 60 drained logon "$ACKS" || fail "the worker is still busy after the load"
problems=()
python3 "$CHECK" logons "$ACKS" "$WORK/gwa.jsonl" "$KILLS" || problems+=("acknowledged logons lost or decided more than once")

# A logoff for each acknowledged logon, from its address, to the worker that runs now (started
# after the fifth kill): none refused as not online, each at both gateways, nobody left online.
"$LOAD" "$LISTEN_PORT" "$WORK/client.key" "$DOMAIN" logoff "$ACKS" "$LOGOFF_RATE" "$WORK/logoff-acks" >"$WORK/load.out" \
  || fail "the logoff load failed: $(cat "$WORK/load.out")"
echo "logoffs: $(cat "$WORK/load.out")"
wait_for 60 drained logoff "$WORK/logoff-acks" || fail "the worker is still busy after the logoffs"
python3 "$CHECK" offlines "$WORK/logoff-acks" "$WORK/gwa.jsonl" "$ACKS" || problems+=("logoffs lost")
python3 "$CHECK" offlines "$WORK/logoff-acks" "$WORK/gwb.jsonl" >/dev/null || problems+=("logoffs missing at the silent gateway")
refused=$("$PROG/orvanectl" metrics | sed -n 's/^orvane_refused_total{worker="client-report",reason="not_online"} //p')
echo "logoffs refused as not online: ${refused:-?}"
[ "${refused:-}" = 0 ] || problems+=("${refused:-?} logoffs refused as not online")
online=$("$PROG/orvanectl" metrics | sed -n 's/^orvane_users{worker="client-report",state="online"} //p')
[ "${online:-}" = 0 ] || problems+=("${online:-?} records still online after every logoff")
inside kill -0 "$WPID" || problems+=("the worker died")

if [ ${#problems[@]} != 0 ]; then
  # What the workers said about it: their errors, warnings and refusals, one line per kind.
  for f in "$PROG"/log/LOG_[0-9]*.txt; do
    echo "== $(basename "$f")"
    log_text "$f" | grep -E '\[(ERR|WRN)\]|not pass|refus|not online' | sed 's/^\[[^]]*\]//; s/u[0-9]\{4\}/uNNNN/g; s/[0-9][0-9.:]*/N/g' \
      | sort | uniq -c | sort -rn | head -12
  done
  fail "$(IFS=';'; echo "${problems[*]}") (kill seed $SEED)"
fi
echo "run time $SECONDS s"
pass "five worker kills under load: every acknowledged report decided, every logoff reaches the gateways"
echo "1 passed, 0 failed"
