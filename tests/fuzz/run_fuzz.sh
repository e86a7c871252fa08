#!/usr/bin/env bash
# Runs a fuzzer for a bounded time on a fresh copy of the seed corpus.
# Usage: run_fuzz.sh FUZZER SEED_CORPUS WORK_DIR SECONDS [MAX_LEN]
# MAX_LEN, the longest input tried, is 4096 unless given.
# Exits non-zero on any finding; the input that caused it is left in
# WORK_DIR/fuzz-findings/.
set -euo pipefail
# shellcheck source=tests/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

need_args $# 4 5 "run_fuzz.sh FUZZER SEED_CORPUS WORK_DIR SECONDS [MAX_LEN]"
fuzzer=$1
seeds=$2
work=$3
seconds=$4
max_len=${5:-4096}

rm -rf "$work/fuzz-corpus"
mkdir -p "$work/fuzz-corpus" "$work/fuzz-findings"
cp "$seeds"/* "$work/fuzz-corpus/"

# At low priority: it keeps a processor busy throughout, and the real-time
# end-to-end runs may be going on beside it.
exec nice -n 10 "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
    -print_final_stats=1 -artifact_prefix="$work/fuzz-findings/" "$work/fuzz-corpus"
