# Sourced after wsman_dc.sh by the Kerberos tests: the DC's account gets the SPN of its WinRM
# listener and the peer that listener's keys (exported from the DC, the KDC), as on a Windows DC.
SPN=HTTP/dc1.corp.example.com
URL="https://$DC_ADDR:5986/wsman"
on_dc samba-tool spn add "$SPN" 'DC1$' -s "$DC/dc/etc/smb.conf" >/dev/null || fail "cannot add $SPN"
export_keytab() {
  rm -f "$WORK/http.keytab"
  local out
  out=$(on_dc samba-tool domain exportkeytab "$WORK/http.keytab" --principal="$SPN" -s "$DC/dc/etc/smb.conf" 2>&1) \
    || fail "cannot export the keytab of $SPN: $out"
}
export_keytab

# start_peer OPTIONS...: the WS-Management listener of the DC host, Kerberos with the keytab.
start_peer() {
  nsenter --net="/proc/$DC_NS/ns/net" "$BUILD/bin/orvane_wsman_peer" --listen "$DC_ADDR" --cert "$TLS/dc.pem" --key "$TLS/dc.key" \
    --accounts "$TLS/accounts" --domain CORP --dns-domain corp.example.com --audit-log "$DC/log/auth.json" \
    --keytab "$WORK/http.keytab" --verbose "$@" >"$WORK/peer.out" 2>>"$WORK/peer.err" &
  PEER_PID=$!
  PIDS+=("$PEER_PID")
  wait_for 10 grep -q listening "$WORK/peer.out" || fail "peer not listening: $(cat "$WORK/peer.err")"
}
stop_peer() { kill "$PEER_PID"; wait "$PEER_PID" 2>/dev/null || true; : >"$WORK/peer.out"; }
stop_worker() { kill "$WPID"; wait "$WPID" 2>/dev/null || true; }
peer_has() { grep -qF -- "$1" "$WORK/peer.err"; }
# reported USER N: the Nth online notification arrives, and is USER's from the client PC.
reported() {
  wait_for 20 at_least "$2" "$WORK/gw.jsonl" '"type":"online"' || fail "$1 not reported; log: $(LOG "$WPID")"
  last_online "$WORK/gw.jsonl" | python3 -c '
import json, sys
n = json.loads(sys.stdin.read())
assert n["user"] == sys.argv[1] and n["address"] == sys.argv[2], n' "$1" "$CLIENT_ADDR" \
    || fail "last notification is not $1@$CLIENT_ADDR: $(last_online "$WORK/gw.jsonl")"
}
printf '%s\n' "$SAMBA_DC_ADMIN_PASSWORD" >"$WORK/admin.pw"
wmiquery() { "$PROG/orvane-wmiquery" --server "$DC_ADDR" --user 'CORP\Administrator' --password-file "$WORK/admin.pw" "$@"; }

log_query_config "$DC_ADDR"
C="$PROG/config.ini"
