#!/bin/bash
# The generated bash completion offers what the command line being typed can take next.
# completion.sh ZYL_BASH
set -u
source "$1"
failed=0
# "zyl heater " | expected completions, one per line, in order
while IFS='|' read -r line expected; do
  read -r -a COMP_WORDS <<< "$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _zyl
  got=$(printf '%s,' "${COMPREPLY[@]}")
  if [[ ${got%,} != "$expected" ]]; then
    echo "FAIL: '$line' completes to '${got%,}', expected '$expected'"
    failed=1
  fi
done <<'TABLE'
zyl hea|heater
zyl heater |capillary,desolvation,apci
zyl heater apci |on,off,temp
zyl --json heater capillary o|on,off
zyl config set pir|pirani
zyl config set pirani |External,Internal
zyl config set capillary-heater Wat|Watlow PM3 Series
zyl config set --text qc-data |
zyl dio set 3 on --no-s|--no-send
TABLE
exit $failed
