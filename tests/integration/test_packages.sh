#!/usr/bin/env bash
# The Debian packages orvane and orvane-reporter, made by CPack from this build, under a real
# systemd (booted in namespaces over a root of its own, so dpkg never touches the machine):
# lintian, install (service registered, enabled and running; the PAM hook in place), a settings
# change, an upgrade to a higher version that keeps the administrator's config.ini and runs the
# service again, and a purge that leaves no unit, program folder, process or hook behind.
source "$(dirname "$0")/lib/common.sh"
source "$(dirname "$0")/lib/systemd.sh"
require_systemd_fixture
command -v cpack >/dev/null && command -v dpkg-shlibdeps >/dev/null || { echo "SKIP: cpack or dpkg-dev missing"; exit 0; }
[ -f "$BUILD/CPackConfig.cmake" ] || fail "no CPackConfig.cmake in $BUILD"

# Both versions from this build's programs; the second only differs in its package version.
make_packages() {  # OUTDIR [VERSION]
  local extra=()
  [ -n "${2:-}" ] && extra=(-D "CPACK_PACKAGE_VERSION=$2")
  (cd "$BUILD" && cpack -G DEB -B "$1" "${extra[@]}" >"$1.log" 2>&1) || fail "cpack: $(tail -20 "$1.log")"
  rm -rf "$1/_CPack_Packages"
}
t0=$SECONDS
make_packages "$WORK/v1"
A1=$(ls "$WORK"/v1/orvane_*.deb) R1=$(ls "$WORK"/v1/orvane-reporter_*.deb)
v1=$(dpkg-deb -f "$A1" Version)
v2="$v1.1"
dpkg --compare-versions "$v2" gt "$v1" || fail "$v2 is not above $v1"
make_packages "$WORK/v2" "$v2"
A2=$(ls "$WORK"/v2/orvane_*.deb) R2=$(ls "$WORK"/v2/orvane-reporter_*.deb)
[ "$(dpkg-deb -f "$A2" Version)" = "$v2" ] || fail "second build's version: $(dpkg-deb -f "$A2" Version)"
pass "packages $v1 and $v2 built in $((SECONDS - t0)) s"

# What the packages hold, before anything is installed.
contents=$(dpkg-deb -c "$A1")
for f in Orvane OrvaneSRV orvanectl orvane-gwemu orvane-reportsend orvane-wmiquery language.ini; do
  grep -q " ./opt/Orvane/Orvane/$f\$" <<<"$contents" || fail "orvane lacks $f"
done
grep -q " ./opt/Orvane/Orvane/config.ini -> /etc/orvane/config.ini\$" <<<"$contents" || fail "config.ini is no link to /etc"
grep -q " ./opt/Orvane/Orvane/log/\$" <<<"$contents" || fail "no log folder"
grep -Eq "^drwxr-x--- root/root .* \./opt/Orvane/Orvane/log/\$" <<<"$contents" || fail "log folder not 0750 root"
grep -Eq "^-rw-r----- root/root .* \./etc/orvane/config.ini\$" <<<"$contents" || fail "config.ini not 0640 root"
grep -q "Quenby" <<<"$contents" && fail "the reporter is in the agent's package"
[ -x "$BUILD/bin/OrvaneAgent" ] && { grep -q " ./usr/share/applications/OrvaneAgent.desktop\$" <<<"$contents" || fail "no desktop entry"; }
if [ -x "$BUILD/bin/OrvaneAgent" ]; then
  # The menu entry runs the console as root through pkexec, under an action that allows a window.
  dpkg-deb --fsys-tarfile "$A1" | tar -xO ./usr/share/applications/OrvaneAgent.desktop | grep -qx "Exec=pkexec /opt/Orvane/Orvane/OrvaneAgent" \
    || fail "the menu entry does not run the console through pkexec"
  policy=$(dpkg-deb --fsys-tarfile "$A1" | tar -xO ./usr/share/polkit-1/actions/org.orvane.console.policy) || fail "no polkit action"
  grep -q 'key="org.freedesktop.policykit.exec.path">/opt/Orvane/Orvane/OrvaneAgent<' <<<"$policy" || fail "policy: exec.path"
  grep -q 'key="org.freedesktop.policykit.exec.allow_gui">true<' <<<"$policy" || fail "policy: allow_gui"
  dpkg-deb -f "$A1" Recommends | grep -q pkexec || fail "pkexec not recommended"
fi
[ "$(dpkg-deb -I "$A1" conffiles)" = /etc/orvane/config.ini ] || fail "conffiles: $(dpkg-deb -I "$A1" conffiles)"
dpkg-deb -f "$A1" Depends | grep -q libldap || fail "no library dependency from the binaries: $(dpkg-deb -f "$A1" Depends)"
grep -q "^-rwx--x--x .* ./usr/libexec/orvane-reporter/Quenby\$" <<<"$(dpkg-deb -c "$R1")" \
  || fail "orvane-reporter lacks an execute-only Quenby: $(dpkg-deb -c "$R1" | grep Quenby)"
pass "contents, conffile and dependencies"

if command -v lintian >/dev/null; then
  t0=$SECONDS
  out=$(lintian "$A1" "$R1" 2>&1) || fail "lintian reports errors:
$out"
  echo "lintian ($((SECONDS - t0)) s):"
  echo "${out:-(nothing)}"
  pass "lintian: no error"
fi

cp "$A1" "$R1" "$A2" "$R2" "$WORK/"
boot_systemd
P=/opt/Orvane/Orvane
CLIENT_KEY=k7Qp2Lx9Vw4Rt6Zm
dpkg_in() { inside env DEBIAN_FRONTEND=noninteractive dpkg "$@" </dev/null >>"$WORK/dpkg.log" 2>&1 || fail "dpkg $*: $(tail -20 "$WORK/dpkg.log")"; }
service_runs() { active_is active && status_is RUNNING; }
# Installed unconfigured: active, but saying that it runs nothing and why.
service_idle() { active_is active && status_is "idle: no directory server configured"; }
worker_runs() { [ "$(cmdline_of "$(inside pgrep -x Orvane)")" = "$P/Orvane . 0" ]; }
conf_value() { inside sed -n "/^\[$1\]/,/^\[/s/^Value=//p" /etc/orvane/config.ini; }

# Without a running systemd (a chroot, a container): installed and removed cleanly, no unit, a hint.
# A private mount namespace hides /run/systemd from dpkg alone.
no_systemd() { inside unshare --mount sh -c 'mount -t tmpfs none /run/systemd && exec "$@"' _ "$@"; }
no_systemd dpkg -i "$INNER/$(basename "$A1")" </dev/null >"$WORK/nosd.log" 2>&1 || fail "install without systemd: $(cat "$WORK/nosd.log")"
grep -q "systemd is not running here" "$WORK/nosd.log" || fail "no hint without systemd: $(cat "$WORK/nosd.log")"
inside test -e /etc/systemd/system/OrvaneSRV.service && fail "a unit was written without systemd"
no_systemd dpkg --purge orvane </dev/null >>"$WORK/nosd.log" 2>&1 || fail "purge without systemd: $(cat "$WORK/nosd.log")"
inside test -e /opt/Orvane && fail "program folder left after a purge without systemd"
pass "without systemd: installs with a hint, no unit; purges cleanly"

# Where policy-rc.d forbids starting services (image builds), the unit is registered, not started.
inside sh -c 'printf "#!/bin/sh\nexit 101\n" >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d'
dpkg_in -i "$INNER/$(basename "$A1")" "$INNER/$(basename "$R1")"
[ "$(sctl is-enabled OrvaneSRV)" = enabled ] || fail "service not enabled after install"
active_is inactive || fail "started against policy-rc.d"
grep -q "policy-rc.d returned 101" "$WORK/dpkg.log" || fail "policy-rc.d not asked"
pass "install under policy-rc.d 101: service enabled, not started"
inside rm /usr/sbin/policy-rc.d
inside env DEBIAN_FRONTEND=noninteractive dpkg-reconfigure orvane </dev/null >>"$WORK/dpkg.log" 2>&1 \
  || fail "dpkg-reconfigure: $(tail -20 "$WORK/dpkg.log")"
wait_for 20 service_idle || fail "service not active and idle after install: $(unit_prop ActiveState) $(unit_prop StatusText)"
grep -qx "ExecStart=\"$P/OrvaneSRV\"" <<<"$(inside cat /etc/systemd/system/OrvaneSRV.service)" || fail "unit's ExecStart"
[ "$(inside readlink $P/config.ini)" = /etc/orvane/config.ini ] || fail "program folder's config.ini"
inside grep -q "pam_exec.so /usr/libexec/orvane-reporter/orvane-session" /etc/pam.d/common-session \
  || fail "session hook not in common-session"
[ "$(inside stat -c %a /etc/orvane/reporter.conf)" = 600 ] || fail "reporter.conf readable by others"
[ "$(inside stat -c '%a %U %G' /etc/orvane/config.ini $P/log)" = "640 root root
750 root root" ] || fail "modes of config.ini and log/: $(inside stat -c '%a %U %G %n' /etc/orvane/config.ini $P/log)"
# Unconfigured, the hook does nothing and never fails a logon.
inside env PAM_TYPE=open_session PAM_USER=nobody /usr/libexec/orvane-reporter/orvane-session || fail "hook failed"
pass "install: service enabled and running (idle until configured), hook in common-session"

# The administrator configures (through the link; settings are locked while the service runs):
# a directory server, so the service has a worker to start, and another port.
sctl stop OrvaneSRV
printf 'pw\npw\n' | inside $P/orvanectl server add --ip 127.0.0.2 --user 'CORP\svc' >/dev/null || fail "server add"
inside $P/orvanectl set port 9123 >/dev/null || fail "orvanectl set port"
printf '%s\n%s\n' "$CLIENT_KEY" "$CLIENT_KEY" | inside $P/orvanectl set client-key >/dev/null || fail "set client-key"
[ "$(conf_value ListenPort)" = 9123 ] && [ "$(conf_value AdServerNum)" = 1 ] \
  || fail "the change did not reach /etc/orvane/config.ini"
[ "$(inside readlink $P/config.ini)" = /etc/orvane/config.ini ] || fail "the write replaced the link"
pass "settings written through the program folder's link"

# The reporter on the same machine, set up to report to this worker; a domain for its reports.
inside sh -c "printf 'WORKER=127.0.0.1\nPORT=9123\nKEY=$CLIENT_KEY\nREPETITIONS=3\n' >/etc/orvane/reporter.conf"
inside sh -c 'printf "[libdefaults]\n default_realm = CORP.EXAMPLE.COM\n" >/etc/krb5.conf'

# The unit as a version without the sandbox wrote it, and an administrator's drop-in.
UNIT=/etc/systemd/system/OrvaneSRV.service
inside sed -i '/^# Sandbox\./,/^UMask=/d' $UNIT
inside grep -q '^ProtectSystem=' $UNIT && fail "the old unit still has its sandbox"
inside mkdir -p $UNIT.d
inside sh -c "printf '[Service]\nEnvironment=ORVANE_ADMIN_SETTING=kept\n' >$UNIT.d/override.conf"
sctl daemon-reload

# As an earlier version left them: settings and logs readable by all; the settings given to a group.
inside chmod 0644 /etc/orvane/config.ini
inside chgrp adm /etc/orvane/config.ini
inside chmod 0755 $P/log
inside sh -c "chmod 0644 $P/log/*"
# Upgrade: dpkg keeps the changed conffiles silently, the enabled service runs again with them.
dpkg_in -i "$INNER/$(basename "$A2")" "$INNER/$(basename "$R2")"
[ "$(inside stat -c '%a %G' /etc/orvane/config.ini $P/log)" = "640 adm
750 root" ] || fail "upgrade left the modes: $(inside stat -c '%a %G %n' /etc/orvane/config.ini $P/log)"
inside find $P/log -perm /o=r | grep -q . && fail "log files readable by all after the upgrade"
[ "$(inside dpkg-query -W -f='${Version}' orvane)" = "$v2" ] || fail "orvane not upgraded"
[ "$(conf_value ListenPort)" = 9123 ] || fail "upgrade lost the administrator's config.ini"
grep -q "Configuration file" "$WORK/dpkg.log" && fail "dpkg asked about config.ini: $(cat "$WORK/dpkg.log")"
[ "$(sctl is-enabled OrvaneSRV)" = enabled ] || fail "service not enabled after upgrade"
wait_for 20 service_runs || fail "service not running after upgrade"
wait_for 20 worker_runs || fail "no worker '$P/Orvane . 0' after upgrade"
wait_for 10 bash -c "$SDNS run $SD ss -Hlun sport = :9123 | grep -q ." || fail "worker not listening on the kept port"
inside grep -qx "PORT=9123" /etc/orvane/reporter.conf || fail "upgrade lost reporter.conf"
inside grep -qx 'ProtectSystem=strict' $UNIT || fail "upgraded unit without the sandbox: $(inside cat $UNIT)"
inside test -f $UNIT.dpkg-old || fail "the previous unit was not kept"
[ "$(unit_prop Environment)" = ORVANE_ADMIN_SETTING=kept ] || fail "the drop-in is lost: $(unit_prop Environment)"
inside grep -qx $'NoNewPrivs:\t1' "/proc/$(inside pgrep -x -n Orvane)/status" || fail "the worker runs without the sandbox"
pass "upgrade to $v2: config.ini kept (group kept, no longer readable by all), service running in its sandbox, its worker '$P/Orvane . 0' on port 9123"
inside rm -r $UNIT.d

# A session of a user opens and closes: the PAM hook runs Quenby as the user, the worker hears it.
worker_log() { inside sh -c "for f in $P/log/LOG*.txt; do iconv -f UTF-16LE -t UTF-8 \"\$f\"; done" 2>/dev/null || true; }
worker_heard() { worker_log | grep -q 'Received user o[nf]*line request from client script'; }
inside useradd -m ann
inside su ann -c true </dev/null || fail "su ann"
wait_for 20 worker_heard || fail "the worker heard no report from the session hook: $(worker_log | tail -5)
$(inside ls -la /home/ann/.local/share/Orvane 2>&1)"
inside test -d /home/ann/.local/share/Orvane || fail "Quenby did not run as ann"
inside grep -rqF "$CLIENT_KEY" /home/ann && fail "the client key is in a file of ann's: $(inside grep -rlF "$CLIENT_KEY" /home/ann)"
pass "a session of ann: the PAM hook ran Quenby as ann and the worker received the report"

# The worker keeps what it acknowledged in its state store, root's alone, from inside its sandbox.
# Nobody answers at the directory server, so ann's reports wait there undecided.
STORE=/var/lib/orvane/state-reports.db
wait_for 20 inside test -s $STORE || fail "no state store: $(inside ls -la /var/lib/orvane)"
[ "$(inside stat -c '%a %U' /var/lib/orvane $STORE)" = "700 root
600 root" ] || fail "state store not root's alone: $(inside stat -c '%a %U %n' /var/lib/orvane $STORE)"

# A program folder's config.ini that a tool turned into a file of its own survives the next
# upgrade (it is moved to the conffile, not overwritten by the link).
sctl stop OrvaneSRV
inside sh -c "sed 's/^Value=9123\$/Value=9124/' /etc/orvane/config.ini >$P/config.ini.new && mv $P/config.ini.new $P/config.ini"
dpkg_in -i "$INNER/$(basename "$A2")"
[ "$(inside readlink $P/config.ini)" = /etc/orvane/config.ini ] || fail "link not back after reinstall"
[ "$(conf_value ListenPort)" = 9124 ] || fail "settings of a replaced link lost"
wait_for 20 worker_runs || fail "no worker after reinstall"
pass "a config.ini file in place of the link is kept in /etc/orvane"
# The reinstall kept the store: the new worker takes ann's undecided reports back.
took_back() { worker_log | grep -q 'acknowledged reports not yet decided are taken back'; }
wait_for 20 took_back || fail "the reinstalled worker took nothing back: $(worker_log | grep -i 'state store' | tail -3)"
pass "a reinstall keeps the state store; the new worker takes the undecided reports back"

# Purge: unit, program folder, settings, hook and every process gone.
inside test -f /var/lib/orvane/machine.key || fail "no machine key made"
inside pgrep -x 'Orvane(SRV)?' >/dev/null || fail "nothing runs before the purge"
dpkg_in --purge orvane orvane-reporter
inside test -e /etc/systemd/system/OrvaneSRV.service && fail "unit file left"
inside test -e /etc/systemd/system/multi-user.target.wants/OrvaneSRV.service && fail "enablement link left"
[ "$(unit_prop LoadState)" = not-found ] || fail "systemd still knows the unit: $(unit_prop LoadState)"
inside test -e /opt/Orvane && fail "program folder left: $(inside find /opt/Orvane)"
inside test -e /etc/orvane && fail "/etc/orvane left: $(inside find /etc/orvane)"
inside test -e /var/lib/orvane && fail "machine key or state store left"
inside pgrep -x 'Orvane(SRV)?' && fail "processes left: $(inside pgrep -a -x 'Orvane(SRV)?')"
inside grep -q orvane-session /etc/pam.d/common-session && fail "session hook left in common-session"
pass "purge: no unit, program folder, settings, key, process or hook left"
