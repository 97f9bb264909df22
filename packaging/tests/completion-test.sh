#!/usr/bin/env bash
# The bash completion against a store made here: what each position offers,
# and that names written by the store's users are never evaluated.
# Usage: completion-test.sh COMPLETION_FILE
set -uo pipefail
export LC_ALL=C
completion=${1:?usage: completion-test.sh COMPLETION_FILE}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

base=$work/base
mkdir -p "$base/virusdefs" "$base/tvlxdata/rules" "$base/tvlxdata/mail" "$work/sets/one" "$work/sets/two"
printf '[Tarvolix Shared]\nBaseDir=%s\n' "$base" >"$work/Tarvolix.conf"
printf '[20240102.007]\nMailScanner=1\nWebShield=1\n[20240203.001]\nmailscanner=1\n$(touch %s/pwned)=1\n' \
  "$work" >"$base/virusdefs/usage.dat"
printf '[20240102.007]\nRulesApp=1\n' >"$base/tvlxdata/rules/usage.dat"
export QORDEFUTIL_TARVOLIX_CONF=$work/Tarvolix.conf

# shellcheck source=/dev/null
source "$completion"

# Completes the words (the last one is the word being typed) and prints the
# offered words, sorted, on one line.
complete_words() {
  COMP_WORDS=(qordefutil "$@")
  COMP_CWORD=$#
  COMP_LINE="qordefutil $*"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _qordefutil
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

passed=0 failed=0
check() { # name expected words...
  local name=$1 expected=$2 got
  shift 2
  got=$(cd "$work/sets" && complete_words "$@")
  if [ "$got" = "$expected" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s: expected [%s], got [%s]\n' "$name" "$expected" "$got"
  fi
}

check "long options" "--getcurrentdefs" --getc
check "short options" "-g" -g
check "AppIds for -g" 'MailScanner WebShield \$\(touch\ '"${work// /\\ }"'/pwned\) mailscanner' -g ''
check "AppIds by prefix" "MailScanner" -n Mail
check "AppIds of nothing" "" -u Zzz
check "content types" "mail rules" -g MailScanner ''
check "content type by prefix" "rules" -i /x r
check "content type for -r" "mail rules" -r ''
check "directories for -i" "one two" -i ''
check "nothing for -m product" "" -m ''
check "nothing past the content type" "" -g MailScanner rules ''

if [ -e "$work/pwned" ]; then
  failed=$((failed + 1))
  echo "FAIL a name in usage.dat was run as a command"
fi
QORDEFUTIL_TARVOLIX_CONF=$work/missing.conf
check "no configuration" "" -g ''

printf '%d passed, %d failed\n' "$passed" "$failed"
[ "$failed" -eq 0 ]
