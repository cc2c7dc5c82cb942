#!/usr/bin/env bash
# orvanectl as the headless console: a freshly installed program folder configured with nothing
# but orvanectl commands, each check refusing what the window refuses, config.ini as the result.
source "$(dirname "$0")/lib/common.sh"
install_program_folder "$BUILD"
CTL="$PROG/orvanectl"
[ -x "$CTL" ] || fail "no orvanectl in the installed program folder"
[ -f "$PROG/language.ini" ] || fail "no language.ini in the installed program folder"
export ORVANE_AUTOSTART_DIR="$WORK/autostart"
mkdir -p "$ORVANE_AUTOSTART_DIR"
CFG="$PROG/config.ini"

# run NAME CMD...: runs with stdout/stderr captured, sets $rc, $OUT and $ERR.
run() {
  local name=$1; shift
  rc=0
  "$@" >"$WORK/$name.out" 2>"$WORK/$name.err" </dev/null || rc=$?
  OUT=$(cat "$WORK/$name.out")
  ERR=$(cat "$WORK/$name.err")
}
# feed NAME INPUT CMD...: the same with INPUT on standard input.
feed() {
  local name=$1 input=$2; shift 2
  rc=0
  printf "$input" | "$@" >"$WORK/$name.out" 2>"$WORK/$name.err" || rc=$?
  OUT=$(cat "$WORK/$name.out")
  ERR=$(cat "$WORK/$name.err")
}
ini() {  # ini SECTION [KEY]: the value as the programs read it (first match), or <missing>
  python3 - "$CFG" "$1" "${2:-Value}" <<'PY'
import sys
section, key, current = sys.argv[2].lower(), sys.argv[3].lower(), None
for line in open(sys.argv[1], encoding="utf-8"):
    s = line.strip()
    if s.startswith("["):
        current = s[1:s.find("]")].strip().lower()
    elif current == section and "=" in s and s.split("=", 1)[0].strip().lower() == key:
        print(s.split("=", 1)[1].strip()); sys.exit(0)
print("<missing>")
PY
}
expect() {  # expect RC TEXT-IN-STDERR WHAT
  [ "$rc" -eq "$1" ] || fail "$3: exit $rc, expected $1 (stderr: $ERR)"
  [ -z "$2" ] || [[ $ERR == *"$2"* ]] || fail "$3: stderr lacks '$2': $ERR"
}

# Help everywhere, exit statuses documented.
for c in show set server device service autostart protect users status metrics filter explain; do
  run help "$CTL" "$c" --help
  [ $rc -eq 0 ] && [[ $OUT == Usage:* ]] || fail "$c --help: rc $rc"
done
for c in "filter add" "filter move" "server add" "device edit"; do
  run help "$CTL" $c --help
  [ $rc -eq 0 ] && [[ $OUT == Usage:* ]] || fail "$c --help: rc $rc"
done
run help "$CTL" --help
[[ $OUT == *"4 settings locked"* ]] || fail "top-level help lacks the exit statuses"
pass "--help for every command"

# A fresh folder: nothing configured, no keys.
run show "$CTL" show
expect 0 "" "show"
[[ $OUT == *"Client share key: not set"* && $OUT == *"Directory servers: 0"* ]] || fail "show: $OUT"
pass "show on a fresh folder"

# The port: range, then in use by a UDP socket of this machine.
run p "$CTL" set port 1023;   expect 3 "from 1024 to 65535" "port 1023"
run p "$CTL" set port 65536;  expect 3 "from 1024 to 65535" "port 65536"
run p "$CTL" set port 12ab;   expect 3 "digits only" "port 12ab"
[ "$(ini ListenPort)" = 6789 ] || fail "a refused port was written"
exec 7< <(python3 -c '
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0))
print(s.getsockname()[1], flush=True); time.sleep(60)')
PIDS+=($!)
read -r busy <&7
run p "$CTL" set port "$busy"; expect 3 "already in use" "a port bound by UDP"
run p "$CTL" set port 65535;  expect 0 "" "port 65535"
run p "$CTL" set port 7001;   expect 0 "" "port 7001"
[ "$(ini ListenPort)" = 7001 ] || fail "ListenPort $(ini ListenPort)"
pass "port: 1023/65536 refused, a UDP-bound port refused, 7001 written"

# Times.
run t "$CTL" set anti-replay 4;      expect 3 "0 (off) or from 5 to 86400" "anti-replay 4"
run t "$CTL" set anti-replay 86401;  expect 3 "0 (off) or from 5 to 86400" "anti-replay 86401"
run t "$CTL" set anti-replay 0;      expect 0 "" "anti-replay 0"
run t "$CTL" set anti-replay 86400;  expect 0 "" "anti-replay 86400"
run t "$CTL" set query-time 4;       expect 3 "from 5 to 300" "query-time 4"
run t "$CTL" set query-time 301;     expect 3 "from 5 to 300" "query-time 301"
run t "$CTL" set query-time 300;     expect 0 "" "query-time 300"
[ "$(ini AntiReplayTime)" = 86400 ] && [ "$(ini QueryTime)" = 300 ] || fail "times not written"
pass "anti-replay and query interval edges"

# Keys: never from argv, checked, stored protected.
run k "$CTL" set client-key s3cret;                   expect 2 "never taken from the command line" "key on argv"
feed k 'seventeen-chars-x\n' "$CTL" set client-key;  expect 3 "longer than 16" "17-character client key"
feed k 'ab?c\n' "$CTL" set device-key;                expect 3 'must not contain "?"' "device key with ?"
feed k '******\n' "$CTL" set device-key;              expect 3 "enter the device share key" "the key mask as a key"
[ "$(ini FirewallShareKey)" = "<missing>" ] || fail "a refused device key was written"
feed k 'client-key-16chr\n' "$CTL" set client-key;   expect 0 "" "client key"
feed k 'device key of 23 chars\n' "$CTL" set device-key; expect 0 "" "device key"
[[ $(ini ClientShareKey) =~ ^[0-9A-F]+$ ]] || fail "ClientShareKey not protected text: $(ini ClientShareKey)"
[[ $(ini FirewallShareKey) =~ ^[0-9A-F]+$ ]] || fail "FirewallShareKey not protected text"
grep -q "client-key-16chr" "$CFG" && fail "a clear key in config.ini"
pass "keys from stdin only, '?' and the mask refused, stored as protected text"

# Key strength: a key shorter than its cipher's key is stored with a warning; --generate makes a
# full-length random one, stores it protected and prints it once.
feed k 'short-key\n' "$CTL" set client-key; expect 0 "warning: the client share key has 9 characters; AES-128 uses 16" "short client key"
[[ $ERR != *short-key* ]] || fail "the warning shows the key: $ERR"
run k "$CTL" show; expect 0 "warning: the client share key has 9 characters" "show with a short client key"
run k "$CTL" set client-key --generate x; expect 2 "never taken from the command line" "--generate with a value"
run k "$CTL" set client-key --generate; expect 0 "a random client share key of 16 characters" "generated client key"
[[ $OUT =~ ^[A-Za-z0-9]{16}$ ]] || fail "generated client key: '$OUT'"
first=$OUT
grep -qF "$first" "$CFG" && fail "the generated key is in config.ini in clear"
[[ $(ini ClientShareKey) =~ ^[0-9A-F]+$ ]] || fail "generated ClientShareKey not protected text"
[[ $ERR != *"$first"* ]] || fail "the generated key is in a message: $ERR"
run k "$CTL" show; expect 0 "" "show after --generate"
[[ $ERR != *"client share key"* ]] || fail "a generated key is warned about: $ERR"
run k "$CTL" set client-key --generate
[ "$OUT" != "$first" ] || fail "two generated keys alike"
run c "$CTL" set encryption general
feed k 'twenty-character-key\n' "$CTL" set device-key
expect 0 "device share key has 20 characters; Triple DES uses 24 (the setting holds at most 23)" "short 3DES key"
run k "$CTL" set device-key --generate; expect 0 "of 23 characters (Triple DES)" "generated 3DES key"
[[ $OUT =~ ^[A-Za-z0-9]{23}$ ]] || fail "generated device key: '$OUT'"
run c "$CTL" set encryption enhanced
run k "$CTL" set device-key --generate; expect 0 "of 16 characters (AES-128)" "generated AES key"
[[ $OUT =~ ^[A-Za-z0-9]{16}$ ]] || fail "generated device key: '$OUT'"
run k "$CTL" show
[[ $ERR != *warning* ]] || fail "full-length keys warned about: $ERR"
pass "short keys warned about when set and shown; --generate makes full-length random keys, stored protected"

# The worker keeps 31 bytes of a key: of its GBK form for the client key, of UTF-8 for the device
# key. Keys within the character limits but over those bytes are refused and nothing is written.
zh() { local s= i; for ((i = 0; i < $1; i++)); do s+="中"; done; printf '%s' "$s"; }
before=$(cksum <"$CFG")
feed k "$(zh 16)\n" "$CTL" set client-key; expect 3 "takes 32 bytes in GBK; the worker keeps at most 31" "16 Chinese characters as client key"
feed k "$(zh 22)\n" "$CTL" set device-key; expect 3 "takes 66 bytes as UTF-8; the worker keeps at most 31" "22 Chinese characters as device key"
[ "$(cksum <"$CFG")" = "$before" ] || fail "a refused key changed config.ini"
feed k "$(zh 15)\n" "$CTL" set client-key
expect 0 "warning: the client share key has characters outside ASCII" "15 Chinese characters as client key"
[ "$(cksum <"$CFG")" != "$before" ] || fail "the 30-byte client key was not stored"
run k "$CTL" show; expect 0 "warning: the client share key has characters outside ASCII" "show with a non-ASCII client key"
pass "keys over the worker's 31 bytes refused, a non-ASCII client key stored with a warning"

# Choices.
run c "$CTL" set mode log-query;   expect 0 "" "mode"
[ "$(ini ModelType)" = 1 ] || fail "ModelType $(ini ModelType)"
run c "$CTL" set mode 0;           expect 0 "" "mode 0"
run c "$CTL" set encryption general; expect 0 "" "encryption"
run c "$CTL" set encoding gbk;     expect 0 "" "encoding"
run c "$CTL" set mode 2;           expect 2 "" "mode 2"
[ "$(ini EncryptType)" = 0 ] && [ "$(ini EncodeType)" = 0 ] && [ "$(ini ModelType)" = 0 ] || fail "choices not written"
pass "mode, encryption, encoding"

# Directory servers: 16 at most, lowest free section, password from stdin.
feed s 'pw\n' "$CTL" server add --ip 10.0.0 --user 'CORP\svc'; expect 3 "all four parts" "three-part address"
feed s 'pw\n' "$CTL" server add --ip 0.0.0.0 --user 'CORP\svc'; expect 3 "cannot be used" "0.0.0.0"
feed s 'pw\n' "$CTL" server add --ip 10.0.0.1;                  expect 3 "enter the account" "no account"
feed s '' "$CTL" server add --ip 10.0.0.1 --user 'CORP\svc';    expect 3 "enter the password" "no password"
for i in $(seq 1 16); do
  feed s 'pw\n' "$CTL" server add --ip "127.0.0.$i" --user 'CORP\svc'
  expect 0 "" "server $i"
  [ "$OUT" = "AdServer$((i - 1))" ] || fail "server $i went to $OUT"
done
feed s 'pw\n' "$CTL" server add --ip 127.0.0.17 --user 'CORP\svc'; expect 3 "At most 16" "a 17th server"
run s "$CTL" server delete 2;          expect 3 "--yes" "delete off a terminal without --yes"
run s "$CTL" server delete 2 --yes;    expect 0 "" "delete AdServer2"
[ "$(ini AdServerNum)" = 15 ] && [ "$(ini AdServer2 Ip)" = "<missing>" ] || fail "delete left $(ini AdServerNum)"
feed s 'pw\n' "$CTL" server add --ip 127.0.1.3 --user 'CORP\other'; expect 0 "" "add after delete"
[ "$OUT" = AdServer2 ] && [ "$(ini AdServer2 Ip)" = 127.0.1.3 ] || fail "the add did not fill the gap: $OUT"
[[ $(ini AdServer2 Password) =~ ^[0-9A-F]+$ ]] || fail "password not protected"
[ "$(ini AdServer2 FilterGroups)" = "" ] || fail "FilterGroups not empty"
feed s 'newpw\n' "$CTL" server edit 2 --user 'CORP\edited'; expect 0 "" "edit"
[ "$(ini AdServer2 UserName)" = 'CORP\edited' ] && [ "$(ini AdServer2 Ip)" = 127.0.1.3 ] || fail "edit"
run s "$CTL" server edit 2 --user x; expect 3 "enter the password" "an edit without the password"
run s "$CTL" server list
[ "$(grep -c '^  AdServer' <<<"$OUT")" = 16 ] || fail "list: $OUT"
pass "16 servers, the 17th refused, a deleted section reused, edits need the password"

# Devices: 5 at most, port 1025..50000, 8000 by default.
run d "$CTL" device add --ip 127.0.0.50 --port 1024;  expect 3 "from 1025 to 50000" "device port 1024"
run d "$CTL" device add --ip 127.0.0.50 --port 50001; expect 3 "from 1025 to 50000" "device port 50001"
run d "$CTL" device add --ip 255.255.255.255;         expect 3 "cannot be used" "device 255.255.255.255"
run d "$CTL" device add --ip 127.0.0.50;              expect 0 "" "device with the default port"
[ "$(ini Firewall0 Port)" = 8000 ] || fail "default port $(ini Firewall0 Port)"
for p in 1025 50000 6001 6002; do run d "$CTL" device add --ip 127.0.0.51 --port $p; expect 0 "" "device $p"; done
run d "$CTL" device add --ip 127.0.0.52; expect 3 "At most 5" "a sixth device"
run d "$CTL" device edit Firewall0 --port 6000; expect 0 "" "device edit"
[ "$(ini Firewall0 Port)" = 6000 ] && [ "$(ini FirewallNum)" = 5 ] || fail "device edit"
pass "5 devices, port edges, the default 8000"

# Messages in the configured language.
run l "$CTL" set language zh; expect 0 "" "language"
run l "$CTL" set query-time 301; expect 3 "查询间隔必须在 5 到 300 秒之间" "a Chinese message"
run l "$CTL" set language en; expect 0 "" "language back"

# A language whose texts do not load is refused and not stored. One stored before its section
# broke locks nothing out: set language recovers, commands that need no texts go on in English,
# the others say how to recover.
cp "$PROG/language.ini" "$WORK/language.good"
sed -i '/^\[2052\]/,$d' "$PROG/language.ini"
run l "$CTL" set language zh; expect 3 "lacks the text" "a language that does not load"
[[ $ERR == *"of language 2052; the language is not changed"* ]] || fail "refusal: $ERR"
[ "$(ini CurLanguageId)" = 1033 ] || fail "refused language stored: $(ini CurLanguageId)"
cp "$WORK/language.good" "$PROG/language.ini"
run l "$CTL" set language zh; expect 0 "" "zh while it loads"
sed -i '/^\[2052\]/,$d' "$PROG/language.ini"
run l "$CTL" show; expect 0 "going on in English" "show with a stored language that does not load"
[[ $OUT == *"Language: 2052"* ]] || fail "show: $OUT"
run l "$CTL" server list; expect 0 "" "server list with a stored language that does not load"
run l "$CTL" service status
[ $rc -ne 1 ] && [[ $ERR == *"going on in English"* ]] || fail "service status with a stored language that does not load: $rc $ERR"
run l "$CTL" set query-time 301; expect 1 "'orvanectl set language en' or 'zh' chooses one that loads" \
  "a check that needs the texts"
run l "$CTL" set language zh; expect 3 "the language is not changed" "the broken one again"
run l "$CTL" set language en; expect 0 "" "set language en with a stored language that does not load"
[ "$(ini CurLanguageId)" = 1033 ] || fail "language not recovered: $(ini CurLanguageId)"
run l "$CTL" set query-time 301; expect 3 "must be from 5 to 300 seconds" "an English message after recovery"
cp "$WORK/language.good" "$PROG/language.ini"
pass "messages in the configured language; one that does not load is refused and never locks orvanectl out"

# Service control: never reported done without a service manager behind it.
for sub in status start stop; do
  run v "$CTL" service $sub
  if [ $rc -eq 5 ]; then
    [ -n "$ERR" ] || fail "service $sub failed without saying why"
  elif [ $rc -ne 0 ] || [ "$sub" = start ]; then
    # Without OrvaneSRV installed, a start cannot have succeeded.
    fail "service $sub: rc $rc ($ERR)"
  fi
done
pass "service commands report the manager's answer"

# Auto-start.
run a "$CTL" autostart on; expect 0 "" "autostart on"
grep -qx "Exec=\"$PROG/OrvaneAgent\" -Hide" "$ORVANE_AUTOSTART_DIR/OrvaneAgent.desktop" || fail "autostart entry"
run a "$CTL" autostart; [ "$OUT" = on ] || fail "autostart reads $OUT"
run a "$CTL" autostart off; expect 0 "" "autostart off"
[ -e "$ORVANE_AUTOSTART_DIR/OrvaneAgent.desktop" ] && fail "autostart entry left"
pass "autostart on/off"

# Which logons become identities: a bad value is refused with its reason and nothing is written;
# a saved rule list says what an unmatched address gets; explain decides as a worker would.
before=$(sha256sum <"$CFG")
run f "$CTL" filter add accounts 'svc*x';               expect 3 "a * is allowed only at the end" "account svc*x"
run f "$CTL" filter add accounts 'CORP\';              expect 3 "an empty name" "account CORP\\"
run f "$CTL" filter add addresses 'include 10.99.0.1/16'; expect 3 "bits set below its /16" "rule with host bits"
run f "$CTL" filter add addresses 'allow 10.0.0.0/8';   expect 3 "starts with include or exclude" "rule allow"
run f "$CTL" filter add groups 'VPN?Users';             expect 3 "cannot hold '?'" "group VPN?Users"
run f "$CTL" filter add groups 'CN=VPN,,DC=corp';       expect 3 "part 2 of the DN is empty" "group DN"
run f "$CTL" filter add groups VPN --gateway 7;         expect 2 "0 to 4" "gateway 7"
run f "$CTL" filter remove accounts 1;                  expect 3 "there is no entry 1" "remove from an empty list"
[ "$(sha256sum <"$CFG")" = "$before" ] || fail "a refused filter command changed config.ini"
run f "$CTL" filter add addresses 'exclude 10.99.5.0/24'; expect 0 "" "exclude rule"
[[ $OUT == *"an address no rule matches is reported."* ]] || fail "exclude-only consequence: $OUT"
run f "$CTL" filter add addresses 'Include 10.99.0.0/16'; expect 0 "" "include rule"
[[ $OUT == *"an address no rule matches is NOT reported (the list holds an include rule)."* ]] || fail "include consequence: $OUT"
run f "$CTL" filter add accounts 'svc-*';                expect 0 "" "account svc-*"
run f "$CTL" filter add groups 'VPN-Users' --gateway 2;  expect 0 "" "gateway group"
run f "$CTL" filter move addresses 2 1;                  expect 0 "" "move"
[ "$(ini AddressRules Rule1)" = "include 10.99.0.0/16" ] && [ "$(ini AddressRules Num)" = 2 ] || fail "move: $(ini AddressRules Rule1)"
[ "$(ini Firewall2 Group1)" = VPN-Users ] && [ "$(ini Firewall2 GroupNum)" = 1 ] || fail "gateway group not written"
run e "$CTL" explain 'CORP\svc-backup' 10.99.6.7; expect 1 "" "explain an ignored account"
[[ $OUT == *"account ignored by IgnoredAccounts Account1 (svc-*)"* ]] || fail "explain: $OUT"
run e "$CTL" explain ann 10.99.5.7; expect 0 "" "explain an address the include rule now takes first"
[[ $OUT == *"included by AddressRules Rule1"* && $OUT == *"Firewall2 ("*"only if a member of one of: VPN-Users."* ]] || fail "explain: $OUT"
run e "$CTL" explain ann 192.168.1.1; expect 1 "" "explain an unmatched address"
run e "$CTL" explain ann 10.99.5; expect 3 "not an IPv4 address" "explain a bad address"
run f "$CTL" filter move addresses 2 1; run f "$CTL" filter remove groups 1 --gateway 2; expect 0 "" "remove"
[ "$(ini Firewall2 Group1)" = "<missing>" ] && [ "$(ini Firewall2 GroupNum)" = 0 ] || fail "gateway group not removed"
pass "filter and explain check, write and decide as the worker does"

# The whole result is what the worker and the console read.
run show "$CTL" show
[[ $OUT == *"Client share key: stored"* && $OUT == *"Directory servers: 16"* && $OUT == *"Devices: 5"* ]] || fail "show: $OUT"
python3 - "$CFG" <<'PY' || fail "config.ini is not a clean INI file"
import configparser, sys
p = configparser.ConfigParser(strict=True, interpolation=None)
p.read(sys.argv[1], encoding="utf-8")
assert p["ListenPort"]["Value"] == "7001"
PY
pass "a fresh program folder configured with orvanectl alone"
