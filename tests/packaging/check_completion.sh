#!/bin/bash
# check_completion.sh HUBSIM COMPLETION: the bash completion loads in a
# non-interactive bash, with and without the bash-completion package, and
# offers the switches, the ttyUSB devices present, the options and the state
# expressions. Runs in hubsim's sandbox, where ttyUSB0 and ttyUSB3 are hubs
# and no other ttyUSB exists.
hubsim=$1
completion=$2

read -r -d '' cases <<'EOF_CASES'
# Each case: the line typed before Tab | the candidates, one blank apart,
# sorted. Lines whose candidates start with "nobreak:" are completed with ":"
# taken out of COMP_WORDBREAKS; bash then replaces the whole word.
nexli |/? /D: /F: /G: /H /P: /Q /Q: /R: /S: /W:
nexli /|/? /D: /F: /G: /H /P: /Q /Q: /R: /S: /W:
nexli /g|/G:
nexli /G:|ttyUSB0 ttyUSB3
nexli /G:tty|ttyUSB0 ttyUSB3
nexli /g:ttyusb|ttyUSB0 ttyUSB3
nexli /G:ttyUSB3|ttyUSB3
nexli /G:ttyUSB1|
nexli /S=|ttyUSB0 ttyUSB3
nexli /X:|
nexli /G:ttyUSB0 |-B -H -J
nexli /G:ttyUSB0 -h|-H
nexli /G:ttyUSB0 -j|-J
nexli /G:ttyUSB0 -J |
nexli /G:ttyUSB0 -B |
nexli /Q |-F -J
nexli /q -|-F -J
nexli /Q:ttyUSB3 |-F -J
nexli /Q -J |
nexli /S:ttyUSB0 |0: 0:ALL 1: 1:ALL B: H: T: T:ALL
nexli /F:ttyUSB0 s3cret |0: 0:ALL 1: 1:ALL B: H: T: T:ALL
nexli /S:ttyUSB0 t|T: T:ALL
nexli /S:ttyUSB0 t:|ALL
nexli /S:ttyUSB0 B:|
nexli /S:ttyUSB0 s3cret 1:3 |
nexli /W:ttyUSB0 |
nexli /P:ttyUSB0 |
nexla /R:|ttyUSB0 ttyUSB3
nexla /G:ttyUSB0 |-B -H -J
nexli /G:|nobreak:/G:ttyUSB0 /G:ttyUSB3
nexli /S:ttyUSB0 t:|nobreak:T:ALL
EOF_CASES

# The script run in the sandbox: $1 is "plain" or "bash-completion".
read -r -d '' script <<'EOF_SCRIPT'
mode=$1 completion=$2 cases=$3
if [ "$mode" = bash-completion ]; then
  source /usr/share/bash-completion/bash_completion || exit 1
else
  set -u  # the completion must not trip over unset variables
fi
loaded=$(source "$completion" 2>&1) && [ -z "$loaded" ] ||
  { echo "FAIL: sourcing the completion printed: $loaded"; exit 1; }
source "$completion"
for command in nexli nexla; do
  complete -p "$command" | grep -q -- '-F _nexli' ||
    { echo "FAIL: no completion for $command"; exit 1; }
done
failures=0 count=0
while IFS='|' read -r typed want; do
  [[ -z $typed || $typed == \#* ]] && continue
  breaks=$' \t\n"\'><=;|&(:'
  if [[ $want == nobreak:* ]]; then
    want=${want#nobreak:}
    breaks=$' \t\n"\'><=;|&('
  fi
  # What bash sets: the line, the cursor at its end, and the words split at
  # blanks and word-break characters.
  COMP_WORDBREAKS=$breaks COMP_LINE=$typed COMP_POINT=${#typed}
  read -r -a COMP_WORDS <<<"${typed//:/ : }"
  [[ $typed == *' ' ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _nexli "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" \
    "${COMP_WORDS[COMP_CWORD - 1]:-}"
  got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd ' ')
  count=$((count + 1))
  if [[ $got != "$want" ]]; then
    echo "FAIL ($mode): [$typed] offered [$got], expected [$want]"
    failures=$((failures + 1))
  fi
done <<<"$cases"
echo "$mode: $count cases, $failures failed"
[ "$failures" -eq 0 ]
EOF_SCRIPT

modes=plain
if [ -r /usr/share/bash-completion/bash_completion ]; then
  modes="plain bash-completion"
else
  echo "bash-completion is not installed: checking without it only"
fi
status=0
for mode in $modes; do
  "$hubsim" --hub 0 --hub 3 -- bash --norc --noprofile -c "$script" check \
    "$mode" "$completion" "$cases"
  result=$?
  if [ $result -eq 77 ]; then
    echo "SKIP: hubsim cannot make its sandbox here"
    exit 77
  fi
  [ $result -eq 0 ] || status=1
done
exit $status
