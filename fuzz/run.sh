#!/usr/bin/env bash
# Builds every fuzz harness (into fuzz/build) and runs each in turn for the
# given number of seconds, starting from a copy of its seed corpus so that
# the repository is never modified.  Any finding stops the run with a
# non-zero exit; the crashing input is kept under fuzz/artifacts/.
#
#   bash fuzz/run.sh [--seconds N] [--jobs J] [harness ...] [-- libFuzzer options]
#
# Without harness names every fuzz_*.cpp is run.  The work corpora stay in
# fuzz/corpus-work/ between runs (delete it to start afresh from the seeds);
# new inputs found there can be minimised into fuzz/corpus/ by hand.
set -euo pipefail
cd "$(dirname "$0")"

seconds=60
jobs=2
harnesses=()
extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --) shift; extra=("$@"); break ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) harnesses+=("$1"); shift ;;
  esac
done
if [ ${#harnesses[@]} -eq 0 ]; then
  for source in fuzz_*.cpp; do harnesses+=("${source%.cpp}"); done
fi

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz/run.sh: clang++ is needed (scripts/ensure_deps.sh installs it)" >&2
  exit 1
fi

echo "== building ${#harnesses[@]} fuzz harnesses"
make --no-print-directory -j "$jobs" BUILD=build "${harnesses[@]/#/build/}"

mkdir -p artifacts corpus-work
status=0
for name in "${harnesses[@]}"; do
  work=corpus-work/$name
  mkdir -p "$work"
  if [ -d "corpus/$name" ]; then
    cp -n "corpus/$name"/* "$work"/ 2>/dev/null || true
  fi
  log=build/$name.log
  echo "== $name: ${seconds}s"
  # One process at a time: the machine's cores are shared.  Leaks count as
  # findings; a run that stalls for 25 s on one input is a finding too.
  if ! ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
       UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
       "build/$name" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 \
         -max_len=4096 -print_final_stats=1 -artifact_prefix="artifacts/$name-" \
         "${extra[@]}" "$work" >"$log" 2>&1; then
    echo "!! $name found a fault; log: fuzz/$log" >&2
    grep -E 'ERROR|oracle:|runtime error|SUMMARY|Test unit written' "$log" | head -20 >&2 || true
    status=1
    continue
  fi
  # The final status line carries the coverage and speed figures.
  grep -E '^#[0-9]+.*DONE' "$log" | tail -1 || tail -3 "$log"
  grep -E 'stat::(number_of_executed_units|average_exec_per_sec)' "$log" || true
done
exit $status
