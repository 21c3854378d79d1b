#!/usr/bin/env bash
# Runs every fuzz target built in BUILD_DIR for SECONDS seconds each, starting
# from the seed corpus committed beside it. New corpus entries, crash inputs
# and logs stay in BUILD_DIR. Fails on the first crash, leak, timeout or
# broken property, and shows the end of that target's log.
#
#     run_fuzzers.sh BUILD_DIR SECONDS
set -euo pipefail

build_dir=$1
seconds=$2
source_dir=$(cd "$(dirname "$0")" && pwd)

# Per target: the longest input worth trying, and extra libFuzzer options.
declare -A max_len=([command_line]=4096 [integer_text]=256 [bgm_blocks]=4096 [wav_reader]=2048)
declare -A extra=([command_line]="" [integer_text]="-use_value_profile=1" [bgm_blocks]="" [wav_reader]="")

summary=()
for name in command_line integer_text bgm_blocks wav_reader; do
  corpus="$build_dir/corpus/$name"
  log="$build_dir/logs/$name.log"
  mkdir -p "$corpus" "$build_dir/artifacts" "$build_dir/logs"
  echo "fuzzing $name for $seconds s (log: $log)"
  # The first folder receives what the run finds; the seeds are only read.
  # shellcheck disable=SC2086
  if ! "$build_dir/${name}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len="${max_len[$name]}" ${extra[$name]} -print_final_stats=1 \
      -artifact_prefix="$build_dir/artifacts/$name-" \
      "$corpus" "$source_dir/${name}_corpus" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "FAILED: fuzz target $name (input saved under $build_dir/artifacts/)"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  summary+=("$name: ${runs:-?} executions in $seconds s, no failure")
done
printf '%s\n' "${summary[@]}"
echo "fuzz: ${#summary[@]} passed, 0 failed"
