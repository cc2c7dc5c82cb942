# Sourced (after netns.sh and common.sh, once install_program_folder ran) by the log-query tests
# against a remote Windows DC: this namespace is the agent's host; a DC host (a real Samba DC,
# KDC and LDAP, at DC_ADDR, where the WS-Management peer runs) and a client PC host are network
# namespaces of their own, joined by veth pairs. Sets DC, DC_NS, CLIENT_NS, TLS (the peer's
# certificate, trusted through LDAPTLS_CACERT) and the DC's env (SAMBA_DC_*, KRB5_CONFIG).
DC="$WORK/dc"
DC_ADDR=10.99.2.1
AGENT_ADDR=10.99.2.5
CLIENT_ADDR=10.99.3.7
trap 'on_dc "$FIX/samba/samba-dc" stop "$DC" >/dev/null 2>&1 || true; cleanup' EXIT

# new_host: a network namespace held by a sleeping process; sets HOST_PID.
new_host() {
  unshare --net sleep 3600 &
  local pid=$!
  PIDS+=("$pid")
  wait_for 5 bash -c '[ "$(readlink "/proc/$1/ns/net")" != "$(readlink /proc/self/ns/net)" ]' _ "$pid" \
    || fail "namespace not created"
  HOST_PID=$pid
}
new_host; DC_NS=$HOST_PID
new_host; CLIENT_NS=$HOST_PID
# The DC host is a private namespace of this test's own: the fixture may run there.
on_dc() { nsenter --net="/proc/$DC_NS/ns/net" env ORVANE_NETNS="$(readlink "/proc/$DC_NS/ns/net")" "$@"; }
on_client() { nsenter --net="/proc/$CLIENT_NS/ns/net" "$@"; }

# This host (the agent) <-> DC host, and client host <-> DC host.
ip link add agent0 type veth peer name dcA
ip link set dcA netns "/proc/$DC_NS/ns/net"
ip addr add "$AGENT_ADDR/24" dev agent0
ip link set agent0 up
on_dc ip link set lo up
on_dc ip addr add "$DC_ADDR/24" dev dcA
on_dc ip link set dcA up
on_dc ip link add dcC type veth peer name client0
on_dc ip link set client0 netns "/proc/$CLIENT_NS/ns/net"
on_dc ip addr add 10.99.3.1/24 dev dcC
on_dc ip link set dcC up
on_client ip link set lo up
on_client ip addr add "$CLIENT_ADDR/24" dev client0
on_client ip link set client0 up
on_client ip route add 10.99.2.0/24 via 10.99.3.1

on_dc "$FIX/samba/samba-dc" start "$DC" --address "$DC_ADDR" --template "$BUILD/samba-dc-template" >/dev/null
source "$DC/env"
on_dc "$FIX/samba/samba-dc" add-ou "$DC" OU=Sales >/dev/null
on_dc "$FIX/samba/samba-dc" add-user "$DC" ann 'Ann-Pass-1' OU=Sales >/dev/null
on_dc "$FIX/samba/samba-dc" add-user "$DC" bob 'Bob-Pass-1' >/dev/null
on_dc "$FIX/samba/samba-dc" add-user "$DC" carl 'Carl-Pass-1' >/dev/null

# The DC's WinRM certificate, from a CA of its own; the agent trusts it beside the DC's LDAP CA.
TLS="$WORK/wsman-tls"
mkdir -p "$TLS"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$TLS/ca.key" -out "$TLS/ca.pem" -days 2 -subj "/CN=WinRM test CA" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout "$TLS/dc.key" -out "$TLS/dc.csr" -subj "/CN=dc1" 2>/dev/null
printf 'subjectAltName=IP:%s\n' "$DC_ADDR" >"$TLS/ext"
openssl x509 -req -in "$TLS/dc.csr" -CA "$TLS/ca.pem" -CAkey "$TLS/ca.key" -CAcreateserial -out "$TLS/dc.pem" \
  -days 2 -extfile "$TLS/ext" 2>/dev/null
cat "$LDAPTLS_CACERT" "$TLS/ca.pem" >"$TLS/trust.pem"
export LDAPTLS_CACERT="$TLS/trust.pem"
printf 'CORP\\Administrator:%s\n' "$SAMBA_DC_ADMIN_PASSWORD" >"$TLS/accounts"

# start_worker: the worker the service would start for the DC (no Samba configuration here:
# the remote branch must not fall back to a local audit log).
start_worker() {
  ORVANE_SMB_CONF="$WORK/no-smb.conf" "$PROG/Orvane" "$DC_ADDR" 0 &
  WPID=$!; PIDS+=("$WPID")
}
LOG() { local f; f=$(ls "$PROG"/log/LOG*_"$1"_*.txt 2>/dev/null | head -1); [ -n "$f" ] && log_text "$f"; }
log_has() { LOG "$1" 2>/dev/null | grep -qF -- "$2"; }
