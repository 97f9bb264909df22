#!/usr/bin/env bash
# Fails when a tracked C++ file differs from what clang-format makes of it,
# so the tree stays in one style without a reformatting commit every time.
set -euo pipefail
cd "$(dirname "$0")/.."
bad=0
while IFS= read -r file; do
  if ! clang-format --style=file "$file" | cmp -s - "$file"; then
    echo "not formatted: $file (run: clang-format -i $file)" >&2
    bad=1
  fi
done < <(git ls-files '*.cpp' '*.h')
exit "$bad"
