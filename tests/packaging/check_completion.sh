#!/bin/bash
# check_completion.sh HUBSIM CONTRIB PROGRAMS: the completions for bash (in a
# non-interactive bash, with and without the bash-completion package), zsh and
# fish offer the same words: the switches, the ttyUSB devices present, the
# options and the state expressions. Runs in hubsim's sandbox, where ttyUSB0
# and ttyUSB3 are hubs and no other ttyUSB exists, with nexli and nexla (in
# the folder PROGRAMS) on PATH, since fish completes only commands it finds.
hubsim=$1
contrib=$2
PATH=$3:$PATH

read -r -d '' cases <<'EOF_CASES'
# Each case: the line typed before Tab | the words offered for its last word,
# whole (as they stand once inserted), sorted, one blank apart. nexla first:
# its completion must load from the files as installed before nexli's has.
nexla /R:|/R:ttyUSB0 /R:ttyUSB3
nexla /G:ttyUSB0 |-B -H -J
nexli |/? /D: /F: /G: /H /P: /Q /Q: /R: /S: /W:
nexli /|/? /D: /F: /G: /H /P: /Q /Q: /R: /S: /W:
nexli /g|/G:
nexli /G:|/G:ttyUSB0 /G:ttyUSB3
nexli /G:tty|/G:ttyUSB0 /G:ttyUSB3
nexli /g:ttyusb|/g:ttyUSB0 /g:ttyUSB3
nexli /G:ttyUSB3|/G:ttyUSB3
nexli /G:ttyUSB1|
nexli /S=|/S=ttyUSB0 /S=ttyUSB3
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
nexli /S:ttyUSB0 |0: 0:ALL 1: 1:ALL B: C: C:ALL H: T: T:ALL
nexli /F:ttyUSB0 s3cret |0: 0:ALL 1: 1:ALL B: H: T: T:ALL
nexli /s:ttyUSB0 s3cret c|C: C:ALL
nexli /F:ttyUSB0 c|
nexli /S:ttyUSB0 t|T: T:ALL
nexli /S:ttyUSB0 T:|T:ALL
nexli /S:ttyUSB0 B:|
nexli /S:ttyUSB0 s3cret 1:3 |
nexli /S:ttyUSB0 'my pass' |0: 0:ALL 1: 1:ALL B: C: C:ALL H: T: T:ALL
nexli /W:ttyUSB0 |
nexli /P:ttyUSB0 |
EOF_CASES
typed_lines=$(sed -n '/^#/d; s/|.*//p' <<<"$cases")
rows=$(grep -vc '^#' <<<"$cases")

# Each shell's script prints, for every typed line, the words offered on one
# line. bash: $1 is "bash" or "bash-completion".
read -r -d '' bash_script <<'EOF_SCRIPT'
if [ "$1" = bash-completion ]; then
  source /usr/share/bash-completion/bash_completion || exit 1
  # As installed: the package loads a command's completion from the file of
  # its name, when it is first needed; nexla's first.
  BASH_COMPLETION_USER_DIR=$(mktemp -d) && mkdir "$BASH_COMPLETION_USER_DIR/completions" &&
    cp "$2" "${2%/*}/nexla" "$BASH_COMPLETION_USER_DIR/completions/" || exit 1
  loaded=$(_completion_loader nexla 2>&1; complete -p nexla 2>&1) &&
    [ "$loaded" = "complete -F _nexli nexla" ] ||
    { echo "loading nexla's completion gave: $loaded" >&2; exit 1; }
  _completion_loader nexla
else
  set -u            # the completion must not trip over unset variables,
  shopt -s failglob # nor over a glob that matches nothing
  loaded=$(source "$2" 2>&1) && [ -z "$loaded" ] ||
    { echo "sourcing the completion printed: $loaded" >&2; exit 1; }
  source "$2"
fi
for command in nexli nexla; do
  complete -p "$command" | grep -q -- '-F _nexli' ||
    { echo "no completion for $command" >&2; exit 1; }
done
# What bash sets, with ":" a word break as by default and without; bash then
# keeps the word up to its last break character and appends each reply.
offered() {
  COMP_WORDBREAKS=$1 COMP_LINE=$2 COMP_POINT=${#2} COMPREPLY=()
  read -r -a COMP_WORDS <<<"${2//:/ : }"
  [[ $2 == *' ' ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  _nexli "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]:-}"
  local cur=${2##* } keep=""
  [[ $cur == *[$1]* ]] && keep=${cur%[$1]*} && keep=${cur:0:${#keep}+1}
  echo "${COMPREPLY[@]/#/$keep}"
}
while IFS= read -r typed; do
  breaks=$(offered $' \t\n"\'><=;|&(:' "$typed")
  whole=$(offered $' \t\n"\'><=;|&(' "$typed")
  [ "$breaks" = "$whole" ] && echo "$whole" || echo "$breaks (without ':' a break: $whole)"
done <<<"$3"
EOF_SCRIPT

# zsh: an interactive zsh on a pseudo-terminal (zpty), its completion system
# loaded from fpath as Debian's zsh loads vendor-completions; a key bound to a
# completion widget that reports what compadd was given and inserts nothing.
read -r -d '' zsh_script <<'EOF_SCRIPT'
zmodload zsh/zpty || exit 1
zpty z 'TERM=vt100 zsh -f -i'
zpty -w z "PS1= RPS1=; bindkey -e; fpath=(${(q)1} \$fpath); autoload -U compinit; compinit -u -D"
zpty -w z 'compadd() { local -a m; builtin compadd -O m "$@"; got+=($m); builtin compadd "$@" }'
zpty -w z 'report() { got=(); _main_complete; print -rn "<<$got>>"; compstate[insert]= compstate[list]= }'
zpty -w z 'zle -C report complete-word report; bindkey "^T" report; print READY$((6*7))'
zpty -r z out '*READY42*' || exit 1
for typed in ${(f)2}; do
  zpty -w -n z "$typed"$'\C-t\C-u'
  zpty -r z out '*>>' || exit 1
  print -r -- ${${out##*<<}%>>}
done
EOF_SCRIPT

# fish: its own completion engine, asked by complete -C, with the files where
# it loads a command's completion from the file of its name.
read -r -d '' fish_script <<'EOF_SCRIPT'
set fish_complete_path $argv[1] $fish_complete_path
for typed in (string split \n -- $argv[2])
  echo (complete -C"$typed")
end
EOF_SCRIPT

run() {  # run SHELL ARGS...: a shell's script in the sandbox
  "$hubsim" --hub 0 --hub 3 -- timeout 60 "$@"
}
# A last line, so that $(...) keeps the empty lines of the last cases.
done_with() { echo .; return "$1"; }
status=0 skipped=""
for shell in bash bash-completion zsh fish; do
  if [ $shell = bash-completion ]; then
    [ -r /usr/share/bash-completion/bash_completion ]
  else
    command -v $shell >/dev/null
  fi || { skipped="$skipped $shell"; continue; }
  case $shell in
    bash*) out=$(run bash --norc --noprofile -c "$bash_script" check "$shell" \
      "$contrib/bash-completion/nexli" "$typed_lines"; done_with $?) ;;
    zsh) out=$(run zsh -f -c "$zsh_script" check "$contrib/zsh-completion" "$typed_lines"
      done_with $?) ;;
    fish) out=$(run fish --no-config -c "$fish_script" "$contrib/fish-completion" \
      "$typed_lines"; done_with $?) ;;
  esac
  result=$?
  [ $result -eq 77 ] && { echo "SKIP: hubsim cannot make its sandbox here"; exit 77; }
  failures=0 count=0
  while IFS='|' read -r typed want && IFS= read -r got <&3; do
    got=$(tr ' ' '\n' <<<"$got" | LC_ALL=C sort | paste -sd ' ')
    count=$((count + 1))
    [ "$got" = "$want" ] && continue
    echo "FAIL ($shell): [$typed] offered [$got], expected [$want]"
    failures=$((failures + 1))
  done < <(sed '/^#/d' <<<"$cases") 3<<<"$out"
  echo "$shell: $count cases, $failures failed (status $result)"
  [ $failures -eq 0 ] && [ $result -eq 0 ] && [ $count -eq "$rows" ] || status=1
done
# No device at all, under failglob: nothing offered, and nothing said.
got=$("$hubsim" --no-hubs -- bash --norc --noprofile -c 'shopt -s failglob; source "$1"
  COMP_LINE="nexli /G:" COMP_POINT=9; _nexli; echo "[${COMPREPLY[*]}]"' check \
  "$contrib/bash-completion/nexli" 2>&1)
[ "$got" = "[]" ] || { echo "FAIL (bash, failglob, no device): $got"; status=1; }
[ -n "$skipped" ] && { echo "SKIP: not installed:$skipped"; [ $status -eq 0 ] && exit 77; }
exit $status
