# Shared by the fault-injection tests (source after common.sh): a client-report worker with a
# gateway emulator, optionally against the Samba DC fixture (then netns.sh comes first).

# free_udp_port: a UDP port on 127.0.0.1 free just now.
free_udp_port() {
  python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# fault_dc: the DC at 10.99.0.1 with ann (OU=Sales), who has just logged on; stopped at exit.
fault_dc() {
  DC="$WORK/dc"
  trap '"$FIX/samba/samba-dc" stop "$DC" >/dev/null 2>&1 || true; cleanup' EXIT
  "$FIX/samba/samba-dc" start "$DC" --address 10.99.0.1 --template "$BUILD/samba-dc-template" >/dev/null
  source "$DC/env"
  "$FIX/samba/samba-dc" add-ou "$DC" OU=Sales >/dev/null
  "$FIX/samba/samba-dc" add-user "$DC" ann 'Ann-Pass-1' OU=Sales >/dev/null
  "$FIX/samba/samba-dc" kinit "$DC" ann 'Ann-Pass-1' >/dev/null
}

# client_report_config FOLDER ANSWER [RETRAN_TIMES MESSAGE_TIMEOUT]: client-report mode in
# FOLDER/config.ini with a free listening port (LISTEN_PORT), one gateway emulator "gw" answering
# ANSWER (always/never; its lines in $WORK/gw.jsonl) and, when fault_dc ran, the DC. Keys in
# $WORK/device.key and $WORK/client.key.
client_report_config() {
  local folder=$1 answer=$2
  printf '%s\n' device-share-key >"$WORK/device.key"
  printf '%s\n' client-key-16chr >"$WORK/client.key"
  start_gwemu gw "$WORK/device.key" --encrypt-type 1 --answer "$answer"
  LISTEN_PORT=$(free_udp_port)
  ini_set "$folder/config.ini" ModelType Value 0 EncryptType Value 1 EncodeType Value 1 \
    FirewallShareKey Value "$(protect device-share-key)" ClientShareKey Value "$(protect client-key-16chr)" \
    ListenPort Value "$LISTEN_PORT" AntiReplayTime Value 1800 RetranTimes Value "${3:-2}" \
    MessageTimeout Value "${4:-1}" FirewallNum Value 1 Firewall0 Ip 127.0.0.1 Firewall0 Port "$EMU_PORT"
  if [ -n "${DC:-}" ]; then
    ini_set "$folder/config.ini" AdServerNum Value 1 AdServer0 Ip 10.99.0.1 \
      AdServer0 UserName 'CORP\Administrator' AdServer0 Password "$(protect "$SAMBA_DC_ADMIN_PASSWORD")" \
      AdServer0 FilterGroups ''
  else
    ini_set "$folder/config.ini" AdServerNum Value 0
  fi
}

# start_worker FOLDER PORT: starts FOLDER's client-report worker and waits until it listens on
# PORT; sets WPID.
start_worker() {
  "$1/Orvane" . 0 &
  WPID=$!
  PIDS+=("$WPID")
  wait_for 10 bash -c "ss -uln | grep -q ':$2 '" || fail "worker $WPID not listening on $2"
}

# second_folder: a copy of PROG in PROG_B whose worker listens on PORT_B (free just now).
second_folder() {
  PROG_B="$WORK/progb"
  cp -a "$PROG" "$PROG_B"
  PORT_B=$(free_udp_port)
  ini_set "$PROG_B/config.ini" ListenPort Value "$PORT_B"
}

# worker_log FOLDER PID: the decoded log of that worker (all its files, in order).
worker_log() {
  local f
  for f in $(ls "$1"/log/LOG_"$2"_*.txt 2>/dev/null | sort -t_ -k4n); do log_text "$f"; done
}
# worker_log_count FOLDER PID TEXT: how many lines of that worker's log hold TEXT.
worker_log_count() { worker_log "$1" "$2" | grep -cF -- "$3" || true; }

# send_report KIND [USER]: one report to LISTEN_PORT, repeated until acknowledged (5 s).
send_report() {
  "$PROG/orvane-reportsend" --to "127.0.0.1:$LISTEN_PORT" --kind "$1" --user "${2:-ann}" \
    --domain dc=corp,dc=example,dc=com --computer PC01 --key-file "$WORK/client.key" --wait-ack 5 >/dev/null
}

# metric NAME [LABELS]: a counter of the client-report worker from `orvanectl metrics`.
metric() { "$PROG/orvanectl" metrics | sed -n "s/^$1{worker=\"client-report\"${2:-}} //p"; }
metric_is() { [ "$(metric "$1" "${3:-}")" = "$2" ]; }

# start_floods FLOOD_ARGS...: two flood.py senders to LISTEN_PORT in the background (their PIDs
# in FLOODS); wait_floods waits for them and sets FLOODED to how many datagrams they sent.
start_floods() {
  local i
  FLOODS=()
  for i in 1 2; do
    python3 "$SRC/tests/integration/lib/flood.py" "$LISTEN_PORT" "$@" >"$WORK/flood$i" &
    PIDS+=("$!")
    FLOODS+=("$!")
  done
}
wait_floods() {
  local p
  for p in "${FLOODS[@]}"; do wait "$p"; done
  FLOODED=$(( $(sed 's/sent=//' "$WORK/flood1") + $(sed 's/sent=//' "$WORK/flood2") ))
}

# rss_kib PID: the resident set of the process from /proc.
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

# fault_road ANSWER [RETRAN_TIMES MESSAGE_TIMEOUT]: the DC, the configuration of
# client_report_config and the worker started (WPID).
fault_road() {
  fault_dc
  client_report_config "$PROG" "$@"
  start_worker "$PROG" "$LISTEN_PORT"
}
