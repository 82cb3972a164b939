#!/usr/bin/env bash
# Bad input gets a message on standard error, a non-zero exit and no output file.
set -u
tool=$1; dir=$2
rm -rf "$dir"; mkdir -p "$dir"
fails=0
expect_rejected() {  # name input-file
  rm -f "$dir/out.xls"
  if "$tool" "$2" "${3:-$dir/out.xls}" 2>"$dir/err"; then echo "FAIL $1: accepted"; fails=$((fails+1)); return; fi
  [ -s "$dir/err" ] || { echo "FAIL $1: no message"; fails=$((fails+1)); }
  [ ! -e "$dir/out.xls" ] || { echo "FAIL $1: left an output file"; fails=$((fails+1)); }
  echo "ok   $1: $(cat "$dir/err")"
}
expect_rejected missing "$dir/none.tsv"
printf 'a\tb\n\xff\xfe\n' > "$dir/bad-utf8.tsv"; expect_rejected invalid-utf8 "$dir/bad-utf8.tsv"
{ echo T; for i in $(seq 65536); do echo r; done; } > "$dir/rows.tsv"; expect_rejected too-many-rows "$dir/rows.tsv"
printf 'x%.0s\t' $(seq 257) > "$dir/wide.tsv"; echo >> "$dir/wide.tsv"; expect_rejected too-many-fields "$dir/wide.tsv"
printf 'T\n' > "$dir/ok.tsv"; expect_rejected unwritable-output "$dir/ok.tsv" "$dir/no/such/folder/out.xls"
{ printf 'T\n'; head -c 32768 /dev/zero | tr '\0' x; echo; } > "$dir/long.tsv"; expect_rejected longer-than-a-cell "$dir/long.tsv"
mkfifo "$dir/pipe.xls"; expect_rejected pipe-as-output "$dir/ok.tsv" "$dir/pipe.xls"
expect_rejected folder-as-input "$dir"
[ "$fails" -eq 0 ] && echo "8 passed, 0 failed" || echo "$((8-fails)) passed, $fails failed"
exit "$fails"
