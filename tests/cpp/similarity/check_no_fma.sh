#!/bin/sh
# check_no_fma.sh OBJDUMP LIBRARY [SYMBOL...]: fails if the scoring code contains a fused
# multiply-add. Scores are defined as a rounded product followed by a rounded
# add; a compiler allowed to contract them (or an intrinsic slipped in by
# hand) changes scores without any test input necessarily noticing.
set -eu
objdump=$1
library=$2
shift 2
# The symbols that must be present (by default the row scorers').
symbols=${*:-score_rows_avx2 score_rows_avx512 row_cosine}
listing=$(mktemp)
trap 'rm -f "$listing"' EXIT
"$objdump" -d --no-show-raw-insn "$library" > "$listing"
# Guard against checking the wrong file: the vector scorers must be in it.
for symbol in $symbols; do
  if ! grep -q "$symbol" "$listing"; then
    echo "check_no_fma: $symbol not found in $library" >&2
    exit 1
  fi
done
if grep -E '\bvf(n)?m(add|sub)' "$listing" >&2; then
  echo "check_no_fma: fused multiply-add instructions in $library (listed above)" >&2
  exit 1
fi
echo "check_no_fma: no fused multiply-add in $library"
