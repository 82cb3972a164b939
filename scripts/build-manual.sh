#!/usr/bin/env bash
# Builds the operator's manual (the PDF that F1 opens) from Doc/manual.ms with groff.
#   scripts/build-manual.sh OUT_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:?usage: build-manual.sh OUT_DIR}
mkdir -p "$out"
groff -ms -Tpdf -P-pa4 Doc/manual.ms > "$out/Korvane电子秤上位机使用说明.pdf.tmp"
mv "$out/Korvane电子秤上位机使用说明.pdf.tmp" "$out/Korvane电子秤上位机使用说明.pdf"
