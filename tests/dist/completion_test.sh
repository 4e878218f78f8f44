#!/usr/bin/env bash
# Drives the bash completion of korvo and tag-service as bash does on Tab:
# COMP_* set for a command line, the completion function called, COMPREPLY
# compared (sorted) with the expected candidates.
# usage: completion_test.sh COMPLETION_DIR
set -uo pipefail
dir=$(cd "$1" && pwd)
source /usr/share/bash-completion/bash_completion || exit 1
source "$dir/korvo" && source "$dir/tag-service" || exit 1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" && mkdir sub && touch lib.kzm other.so

all_keywords="addr async clr compact disconnect dll flt formats header heap host pause print set write"
all_options="--access-password-file --allow-host --antennas --epcis-biz-step --epcis-disposition --field --field-cycle-ms --help --hold-ms --host --insecure --log --max-tags --move-holdoff-ms --mqtt --mqtt-ca --mqtt-credentials --mqtt-format --mqtt-topic --name --outbox-bytes --outbox-events --port --print-demo-field --print-demo-scene --read-points --reader --scene --session --state-file --test-hooks --tls-cert --tls-key --tokens --version"

# Splits LINE into COMP_WORDS the way readline does: at blanks, and with
# ':' and '=' as words of their own.
set_comp_line() {
  COMP_LINE=$1
  COMP_POINT=${#1}
  COMP_WORDS=()
  local token rest
  read -ra tokens <<<"$1"
  for token in "${tokens[@]}"; do
    while [[ $token =~ ^([^:=]*)([:=]+)(.*)$ ]]; do
      [[ -n ${BASH_REMATCH[1]} ]] && COMP_WORDS+=("${BASH_REMATCH[1]}")
      COMP_WORDS+=("${BASH_REMATCH[2]}")
      token=${BASH_REMATCH[3]}
    done
    [[ -n $token ]] && COMP_WORDS+=("$token")
  done
  [[ $1 == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
}

failures=0
check() {  # line, expected candidates (sorted, space-separated)
  set_comp_line "$1"
  local fn=_korvo
  [[ ${COMP_WORDS[0]} == tag-service ]] && fn=_tag_service
  COMPREPLY=()
  "$fn" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" \
    "${COMP_WORDS[COMP_CWORD - 1]}"
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
  if [[ $got != "$2" ]]; then
    echo "FAIL: '$1': expected '$2', got '$got'"
    ((failures++))
  fi
}

# korvo: keywords where a keyword may stand, in the case being typed.
check "korvo " "$all_keywords"
check "korvo pr" "print"
check "korvo PR" "PRINT"
check "korvo Fo" "Formats"
check "korvo h" "header heap host"
check "korvo print c" "clr compact"
check "korvo host print " "$all_keywords"
check "korvo write 1:serial=x;status=A print co" "compact"
# korvo: values are free text, except dll's file.
check "korvo flt " ""
check "korvo set " ""
check "korvo clr E2" ""
check "korvo write " ""
check "korvo host " ""
check "korvo addr " ""
check "korvo dll " "lib.kzm other.so sub"
check "korvo DLL li" "lib.kzm"
check "korvo print dll o" "other.so"
# korvo stops at a word that is not a keyword, and so does its completion.
check "korvo bogus " ""
check "korvo print host" "host"
# tag-service: options; the file options take files, the others free values.
check "tag-service " "$all_options"
check "tag-service --p" "--port --print-demo-field --print-demo-scene"
check "tag-service --log --s" "--scene --session --state-file"
check "tag-service --scene " "lib.kzm other.so sub"
check "tag-service --field " "lib.kzm other.so sub"
check "tag-service --field=li" "lib.kzm"
check "tag-service --port " ""
check "tag-service --host " ""
check "tag-service --reader " ""
check "tag-service --state-file " "lib.kzm other.so sub"
check "tag-service --a" "--access-password-file --allow-host --antennas"
check "tag-service --t" "--test-hooks --tls-cert --tls-key --tokens"
check "tag-service --tls-key " "lib.kzm other.so sub"
check "tag-service --tokens=li" "lib.kzm"
check "tag-service --mqtt-credentials " "lib.kzm other.so sub"
check "tag-service --mqtt " ""
check "tag-service --mqtt-" "--mqtt-ca --mqtt-credentials --mqtt-format --mqtt-topic"
check "tag-service --mqtt-format " "epcis json"
check "tag-service --read-points " "lib.kzm other.so sub"
check "tag-service --epcis-biz-step " ""

((failures == 0)) && echo "all completion cases pass"
exit $((failures > 0))
