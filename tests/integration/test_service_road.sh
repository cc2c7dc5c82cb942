#!/usr/bin/env bash
# The demo's client-report road (real domain controller, gateway emulator, reporter) with the
# worker started by the service OrvaneSRV under a real systemd instead of by hand.
ORVANE_ROAD_VIA_SERVICE=1 exec bash "$(dirname "${BASH_SOURCE[0]}")/test_client_report_road.sh" "$@"
