#!/bin/sh
# One harness for a fixed time over a scratch copy of its seeds: libFuzzer adds
# what it finds to its first corpus folder, and the tree's seeds stay as they are.
# Usage: run_seeded.sh HARNESS SEED_DIR SECONDS ARTIFACT_DIR
set -eu
harness=$1 seeds=$2 seconds=$3 artifacts=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -d "$seeds" ] && cp -R "$seeds/." "$work/"
mkdir -p "$artifacts"
"$harness" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$artifacts/$(basename "$harness")-" "$work"
