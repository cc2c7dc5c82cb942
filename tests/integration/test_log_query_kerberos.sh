#!/usr/bin/env bash
# Log-query mode against a hardened remote Windows DC: Kerberos inside Negotiate to WinRM, with
# channel bindings, and NTLM only as an allowed fallback. The agent, the DC (Samba as KDC and
# LDAP, the WS-Management peer on 5986 with a keytab exported from the DC) and a client PC are
# separate network namespaces; the agent knows the DC by address only. Checks: with NTLM refused
# by the peer the worker authenticates with Kerberos and reports ann's logon; with the keytab
# removed it falls back to NTLM and logs why; with AllowNtlm=0 it does not and says why; with
# Strict channel binding both mechanisms succeed and curl's NTLM (no bindings) is refused; the
# failures (wrong password, unknown account, KDC unreachable, clock skew) each have their own
# log line. Ticket renewal: test_log_query_kerberos_renewal.sh.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/netns.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
install_program_folder
source "$(dirname "${BASH_SOURCE[0]}")/lib/wsman_dc.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/kerberos_dc.sh"

# 1. A DC that denies incoming NTLM: Kerberos or nothing.
start_peer --refuse-ntlm
start_worker
wait_for 30 log_has "$WPID" "[INF]WS-Management $URL: authenticated with Kerberos as Administrator@CORP.EXAMPLE.COM." \
  || fail "no Kerberos authentication: $(LOG "$WPID"; cat "$WORK/peer.err")"
wait_for 20 log_has "$WPID" "[INF]Start query ADServer:$DC_ADDR." || fail "polling did not start: $(LOG "$WPID")"
peer_has "wsman-peer: Kerberos accepted Administrator@CORP.EXAMPLE.COM" || fail "the peer saw no Kerberos: $(cat "$WORK/peer.err")"
# SPNEGO offering the Kerberos mechanism alone (RFC 4178 mechTypes), whatever else GSS-API knows.
grep -qx "wsman-peer: SPNEGO offers 1.2.840.113554.1.2.2" "$WORK/peer.err" || fail "SPNEGO offer: $(grep SPNEGO "$WORK/peer.err")"
! grep "SPNEGO offers" "$WORK/peer.err" | grep -vqx "wsman-peer: SPNEGO offers 1.2.840.113554.1.2.2" \
  || fail "SPNEGO offered more than Kerberos: $(grep SPNEGO "$WORK/peer.err")"
! log_has "$WPID" "with NTLM" || fail "NTLM used against a DC that refuses it: $(LOG "$WPID")"
client_kinit ann 'Ann-Pass-1' || fail "kinit ann failed"
reported ann 1
expect_online "$WORK/gw.jsonl" ann "$CLIENT_ADDR" "OU=Sales,DC=corp,DC=example,DC=com"
pass "NTLM refused by the DC: the worker authenticated with Kerberos for $SPN and reported ann@$CLIENT_ADDR with her AD path"
stop_worker

# 2. Kerberos impossible (the listener has no keys): the worker falls back to NTLM and says so.
rm -f "$WORK/http.keytab"
stop_peer
start_peer
start_worker
wait_for 30 log_has "$WPID" "[INF]WS-Management $URL: Kerberos cannot be used (the server refused the Kerberos ticket for $SPN@CORP.EXAMPLE.COM); falling back to NTLM." \
  || fail "no fallback line: $(LOG "$WPID")"
wait_for 10 log_has "$WPID" "[INF]WS-Management $URL: authenticated with NTLM as CORP\\Administrator." \
  || fail "no NTLM authentication: $(LOG "$WPID")"
wait_for 20 log_has "$WPID" "[INF]Start query ADServer:$DC_ADDR." || fail "polling did not start: $(LOG "$WPID")"
client_kinit bob 'Bob-Pass-1' || fail "kinit bob failed"
reported bob 2
pass "keytab removed: fell back to NTLM, logged why, and reported bob"
stop_worker

# 3. NTLM forbidden by the setting: no fallback, and the log says why the poll cannot authenticate.
ini_set "$C" AllowNtlm Value 0
start_worker
wait_for 30 log_has "$WPID" "[ERR]WS-Management $URL: cannot authenticate: Kerberos cannot be used (the server refused the Kerberos ticket for $SPN@CORP.EXAMPLE.COM) and NTLM is forbidden (AllowNtlm=0)" \
  || fail "no reason logged with NTLM forbidden: $(LOG "$WPID")"
wait_for 10 log_has "$WPID" "[ERR]Connect remote AD server failed. errno = 0x80070005." || fail "connect not refused: $(LOG "$WPID")"
! log_has "$WPID" "with NTLM" || fail "NTLM used although AllowNtlm=0: $(LOG "$WPID")"
pass "AllowNtlm=0: no fallback; the log names Kerberos' failure and the setting"
stop_worker

# 4. Strict channel binding: both mechanisms bind to the TLS channel; a client that does not
# (curl's NTLM) is refused, where it was let in without Strict.
curl_ntlm() {
  curl -sS -o /dev/null -w '%{http_code}' --cacert "$TLS/ca.pem" --ntlm -u "CORP\\Administrator:$(cat "$WORK/admin.pw")" \
    -H 'Content-Type: application/soap+xml;charset=UTF-8' --data-binary '' "$URL"
}
[ "$(curl_ntlm)" = 200 ] || fail "curl with NTLM refused without Strict binding: $(cat "$WORK/peer.err")"
export_keytab
stop_peer
start_peer --strict-channel-binding
[ "$(curl_ntlm)" = 401 ] || fail "curl with NTLM and no channel bindings let in under Strict"
peer_has "NTLM refused for Administrator: channel bindings missing or wrong (Strict)" || fail "peer: $(cat "$WORK/peer.err")"
out=$(wmiquery --auth ntlm 2>&1) || fail "NTLM with bindings refused under Strict: $out"
grep -q "authenticated with NTLM" <<<"$out" || fail "not NTLM: $out"
out=$(wmiquery --auth kerberos 2>&1) || fail "Kerberos with bindings refused under Strict: $out"
grep -q "orvane-wmiquery: authenticated with Kerberos" <<<"$out" || fail "not Kerberos: $out"
! peer_has "no channel bindings (Strict)" || fail "Kerberos came without bindings: $(cat "$WORK/peer.err")"
ini_set "$C" AllowNtlm Value 1
start_worker
wait_for 30 log_has "$WPID" "[INF]WS-Management $URL: authenticated with Kerberos" || fail "worker: $(LOG "$WPID")"
client_kinit carl 'Carl-Pass-1' || fail "kinit carl failed"
reported carl 3
pass "Strict channel binding: Kerberos and NTLM with bindings accepted, curl's NTLM without them refused"
stop_worker

# 5. Each failure of the account has its own line, and refused credentials are never retried
# with NTLM; an unreachable KDC is no reason to give up while NTLM is allowed.
printf 'not-the-password\n' >"$WORK/wrong.pw"
out=$("$PROG/orvane-wmiquery" --server "$DC_ADDR" --user 'CORP\Administrator' --password-file "$WORK/wrong.pw" 2>&1) \
  && fail "a wrong password was let in: $out"
grep -qF "the KDC refused the password (pre-authentication failed)" <<<"$out" || fail "wrong password: $out"
! grep -q "falling back to NTLM" <<<"$out" || fail "a refused password was tried with NTLM: $out"
out=$("$PROG/orvane-wmiquery" --server "$DC_ADDR" --user 'CORP\nobody' --password-file "$WORK/wrong.pw" --auth kerberos 2>&1) \
  && fail "an unknown account was let in: $out"
grep -qF "the KDC does not know the account (unknown client principal)" <<<"$out" || fail "unknown account: $out"
sed "s/kdc = $DC_ADDR/kdc = 10.99.2.9/" "$KRB5_CONFIG" >"$WORK/krb5-nokdc.conf"
out=$(KRB5_CONFIG="$WORK/krb5-nokdc.conf" wmiquery 2>&1) || fail "no NTLM fallback with the KDC unreachable: $out"
grep -qF "no KDC of the realm could be reached" <<<"$out" || fail "KDC unreachable: $out"
grep -q "authenticated with NTLM" <<<"$out" || fail "KDC unreachable, not NTLM: $out"
pass "wrong password, unknown account and KDC unreachable each logged as such; only the last falls back to NTLM"

# 6. The agent's clock 10 minutes off (faketime for the worker alone). MIT krb5 makes up for it
# with the KDC's time; where krb5.conf turns that off, the log names the clock skew.
sed 's/^\[libdefaults\]$/&\n\tkdc_timesync = 0/' "$KRB5_CONFIG" >"$WORK/krb5-strict-time.conf"
out=$(faketime -f '+10m' "$PROG/orvane-wmiquery" --server "$DC_ADDR" --user 'CORP\Administrator' \
  --password-file "$WORK/admin.pw" --auth kerberos 2>&1) || fail "a clock 10 minutes off, made up for, was refused: $out"
# libfaketime itself, not the faketime program, which would run the worker as a child of its own.
LIBFAKETIME=$(dpkg -L libfaketime | grep -m1 '/libfaketimeMT\.so\.1$') || fail "no libfaketime"
KRB5_CONFIG="$WORK/krb5-strict-time.conf" LD_PRELOAD="$LIBFAKETIME" FAKETIME='+10m' start_worker
wait_for 30 log_has "$WPID" "clock skew: this machine's time and the KDC's differ by more than the KDC allows (synchronise the clocks)" \
  || fail "no clock skew named: $(LOG "$WPID")"
wait_for 10 log_has "$WPID" "[INF]WS-Management $URL: Kerberos cannot be used (clock skew" || fail "$(LOG "$WPID")"
wait_for 10 log_has "$WPID" "[INF]WS-Management $URL: authenticated with NTLM" || fail "no NTLM fallback: $(LOG "$WPID")"
pass "clock 10 minutes off: made up for by default; with kdc_timesync = 0 the log names clock skew and NTLM takes over"
stop_worker
echo "PASS: log-query mode against a remote DC with Kerberos, channel bindings and NTLM as an allowed fallback"
