#!/bin/sh
# Every built man page renders without a single warning from man and groff.
# Usage: manpage-test.sh DIR   (DIR holds the built NAME.SECTION.gz pages)
dir=${1:?usage: manpage-test.sh DIR}
passed=0
failed=0
for page in "$dir"/*.gz; do
    [ -e "$page" ] || { echo "no pages in $dir"; exit 1; }
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
        man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    if [ $? -ne 0 ] || [ -n "$warnings" ]; then
        failed=$((failed + 1))
        printf 'FAIL %s\n%s\n' "$page" "$warnings"
    else
        passed=$((passed + 1))
    fi
done
printf '%d passed, %d failed\n' "$passed" "$failed"
[ "$failed" -eq 0 ]
