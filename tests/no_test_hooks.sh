#!/usr/bin/env bash
# no_test_hooks.sh SERVICE OBJECTS...: fails when the service executable
# carries a function of the test suites' own objects (the hooks of the
# simulated machine) or one of the hooks named below, or a function that
# only those hooks use.
set -uo pipefail
service=$1
shift
named=(FailPanelDriverRequests GetPanelDriverModelState FailSimulatedCall ResetSimulatedUser
       SetSimulatedInputDesktop OpenSimulatedUserHandles)
hooks=$( { nm -C --defined-only --extern-only "$@" | awk '$2 == "T" { $1 = ""; $2 = ""; print substr($0, 3) }'
           printf '%s\n' "${named[@]}"; } | sed 's/(.*//' | sort -u)
carried=$(nm -C --defined-only "$service" | cut -d' ' -f3- | sed 's/(.*//' | sort -u | grep -Fx -f <(echo "$hooks"))
# A plain function that the hooks call in the service must be called, or
# taken, by the service's own code too: else it is test code that the
# service carries. (Member functions may be called through a vtable, which
# the disassembly does not show.)
called=$(objdump -d --no-show-raw-insn "$service" | grep -oE $'\t.*<[^>+]+>$' | grep -oE '<[^>]+>$' | tr -d '<>' |
         sed 's/@plt$//' | sort -u)
for symbol in $(comm -12 <(nm --undefined-only "$@" | awk '{ print $NF }' | sort -u) \
                         <(nm --defined-only "$service" | awk '$2 ~ /^[TW]$/ { print $3 }' | sort -u)); do
    name=$(c++filt <<<"$symbol")
    [[ $name == *::* ]] || grep -qFx -- "$symbol" <<<"$called" || carried+=$'\n'"$name (used by the hooks only)"
done
carried=$(sed '/^$/d' <<<"$carried")
if [ -n "$carried" ]; then
    echo "$service carries test hooks:"
    echo "$carried"
    exit 1
fi
echo "$(basename "$service") carries none of $(echo "$hooks" | wc -l) test hooks"
