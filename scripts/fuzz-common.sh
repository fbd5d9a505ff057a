# Shared by fuzz-smoke and fuzz-long: the targets of a fuzz build, one run of
# a target with the limits both use, and the figures of a finished run.

# Prints the names of the fuzz targets in a build's bin folder, one a line.
fuzz_targets() {
  find "$1" -maxdepth 1 -type f -name 'fuzz_*' ! -name fuzz_seeds -perm -u+x \
    -printf '%f\n' | sed 's/^fuzz_//' | sort
}

# run_fuzz_target <bin> <target> <seconds> <corpus> <artifact prefix> <log>
# Fuzzes from and into the corpus; a crash, leak, slow input or memory
# blow-up is kept under the artifact prefix. Answers the fuzzer's status.
run_fuzz_target() {
  "$1/fuzz_$2" -max_total_time="$3" -timeout=30 -rss_limit_mb=2560 -print_final_stats=1 \
    -artifact_prefix="$5" "$4" >"$6" 2>&1
}

# fuzz_stat <log> <name>: a final statistic (number_of_executed_units,
# average_exec_per_sec) from a run's log.
fuzz_stat() {
  sed -n "s/^stat::$2: *//p" "$1"
}
