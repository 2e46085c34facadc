#!/usr/bin/env bash
# no_test_hooks.sh SERVICE OBJECTS...: fails when the service executable
# carries a function of the test suites' own objects (the hooks of the
# simulated machine) or one of the hooks named below.
set -uo pipefail
service=$1
shift
named=(FailPanelDriverRequests GetPanelDriverModelState FailSimulatedUserCall ResetSimulatedUser
       SetSimulatedInputDesktop OpenSimulatedUserHandles)
hooks=$( { nm -C --defined-only --extern-only "$@" | awk '$2 == "T" { $1 = ""; $2 = ""; print substr($0, 3) }'
           printf '%s\n' "${named[@]}"; } | sed 's/(.*//' | sort -u)
carried=$(nm -C --defined-only "$service" | cut -d' ' -f3- | sed 's/(.*//' | sort -u | grep -Fx -f <(echo "$hooks"))
if [ -n "$carried" ]; then
    echo "$service carries test hooks:"
    echo "$carried"
    exit 1
fi
echo "$(basename "$service") carries none of $(echo "$hooks" | wc -l) test hooks"
