# Shared by the service tests (source after common.sh): a real systemd over its own root, with
# this test's work folder visible inside as $INNER, and the installed program folder in it.
SDNS="$SRC/tests/fixtures/systemd/systemd-ns"
INNER=/srv/orvane-test
SD="$WORK/systemd"

require_systemd_fixture() {
  [ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root to boot systemd in namespaces"; exit 0; }
  [ -x /lib/systemd/systemd ] || { echo "SKIP: systemd is not installed"; exit 0; }
}

# boot_systemd [--same-net]: boots it; everything is torn down when the test exits.
boot_systemd() {
  trap '"$SDNS" cleanup "$SD" >/dev/null 2>&1 || true; cleanup' EXIT
  # A test runner's timeout must still tear everything down.
  trap 'exit 143' TERM INT HUP
  "$SDNS" boot "$SD" --share "$WORK" "$@" || fail "systemd did not boot"
  IPROG="$INNER/prog"
}

# Inside, the programs use the defaults of a real machine, as the service started by systemd does.
inside() { env -u ORVANE_LOCK_DIR -u ORVANE_MACHINE_KEY -u ORVANE_PROGRAM_FILES -u ORVANE_STATE_DIR "$SDNS" run "$SD" "$@"; }
sctl() { inside systemctl "$@"; }
# Starts a long-running helper inside as a transient unit: a process started through nsenter
# would have a parent outside the namespaces, and its end would hold up the poweroff.
sctl_run() { inside systemd-run --quiet --collect "$@" >/dev/null || fail "systemd-run $*"; }
# The value of one property of the unit.
unit_prop() { sctl show -P "$1" OrvaneSRV 2>/dev/null; }
status_is() { [ "$(unit_prop StatusText)" = "$1" ]; }
active_is() { [ "$(unit_prop ActiveState)" = "$1" ]; }

# The service's log (emptied at every run of the program).
srv_log() { log_text "$PROG/log/LOG_OrvaneSRV.txt" 2>/dev/null || true; }
srv_log_has() { srv_log | grep -qF -- "$1"; }
# expect_srv_log LINE...: the log holds exactly these messages, in this order (time stamps cut).
expect_srv_log() {
  local want got
  want=$(printf '%s\n' "$@")
  got=$(srv_log | tr -d '\r' | sed 's/^\[[0-9-]* [0-9-]*\]//')
  [ "$got" = "$want" ] || fail "service log: expected
$want
got
$got"
}

# Ids (inside) of the live processes named Orvane (zombies are listed by zombies).
worker_pids() { inside ps -eo pid=,stat=,comm= | awk '$3 == "Orvane" && $2 !~ /^Z/ {printf "%s ", $1}'; }
zombies() { inside ps -eo pid=,stat=,comm= | awk '$2 ~ /^Z/ {printf "%s ", $1}'; }
worker_count() { local p; p=$(worker_pids); set -- $p; echo $#; }
cmdline_of() { inside cat "/proc/$1/cmdline" 2>/dev/null | tr '\0' ' ' | sed 's/ $//'; }

# start_service: installs OrvaneSRV and starts it with what the worker needs from its environment
# given in the unit, as an administrator would (systemctl edit OrvaneSRV).
start_service() {
  inside "$IPROG/OrvaneSRV" -install
  inside mkdir -p /etc/systemd/system/OrvaneSRV.service.d
  printf '[Service]\nEnvironment=ORVANE_MACHINE_KEY=%s LDAPTLS_CACERT=%s LDAPTLS_REQCERT=demand\n' \
    "${ORVANE_MACHINE_KEY/#$WORK/$INNER}" "${LDAPTLS_CACERT/#$WORK/$INNER}" \
    | inside tee /etc/systemd/system/OrvaneSRV.service.d/test.conf >/dev/null
  sctl daemon-reload
  sctl start OrvaneSRV || fail "service did not start"
}
