#!/usr/bin/env bash
# The scheduled update's runner: which qordefutil commands each line of its
# file becomes, that one failure neither stops the others nor gets lost, and
# that lines it does not understand are reported.
# Usage: scheduled-update-test.sh RUNNER   (the configured scheduled-update)
set -uo pipefail
runner=${1:?usage: scheduled-update-test.sh RUNNER}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Stand-in for qordefutil: records its arguments, one "<arg>" each, and
# fails with status 9 for the product "Broken".
cat >"$work/qordefutil" <<STUB
#!/bin/sh
for arg in "\$@"; do printf '<%s>' "\$arg"; done >>"$work/calls"
echo >>"$work/calls"
[ "\${2-}" != Broken ] || exit 9
STUB
chmod +x "$work/qordefutil"

passed=0 failed=0
check() { # name, file contents, expected calls, expected status
  local name=$1 status=0
  printf '%s' "$2" >"$work/conf"
  : >"$work/calls"
  QORDEFUTIL=$work/qordefutil sh "$runner" "$work/conf" >/dev/null 2>&1 || status=$?
  if [ "$(cat "$work/calls")" = "$3" ] && [ "$status" = "$4" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s: calls [%s] status %s\n' "$name" "$(cat "$work/calls")" "$status"
  fi
}

check "full update" $'-l\n' '<-l>' 0
check "full update with a value" $'-l -d\n' '<-l><-d>' 0
check "product with spaces" $'-m Example Product Linux\n' '<-m><Example Product Linux>' 0
check "product and content type" $'-m Example Product | Rules\n' '<-m><Example Product><Rules>' 0
check "comments, blank lines, no final newline" $'# -m Not This\n\n-m A\n-l' $'<-m><A>\n<-l>' 0
check "a failure does not stop the rest" $'-m Broken\n-m Fine\n' $'<-m><Broken>\n<-m><Fine>' 9
check "unknown lines are reported" $'-x what\n-l\n' '<-l>' 1
check "nothing to do" $'# only comments\n' '' 0

printf '%d passed, %d failed\n' "$passed" "$failed"
[ "$failed" -eq 0 ]
