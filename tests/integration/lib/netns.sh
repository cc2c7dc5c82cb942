# Sourced first (before common.sh) by the tests that need a network namespace of their own: runs
# the calling script again inside one (tests/fixtures/netns-run), or skips where none can be made.
# Sets FIX, the fixtures folder.
FIX=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../fixtures" && pwd)
if [ -z "${ORVANE_NETNS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root for a private network namespace"; exit 0; }
  "$FIX/netns-run" --check || { echo "SKIP: unshare cannot create namespaces here"; exit 0; }
  exec "$FIX/netns-run" bash "${BASH_SOURCE[1]}" "$@"
fi
