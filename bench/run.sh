#!/usr/bin/env bash
# Benchmark: Brovask over whole folders of packages, against plain copies of
# the same bytes in the same run. Not part of the test suite: it takes a few
# minutes and its numbers depend on the machine.
#
#   bash bench/run.sh
#
# It builds the Release tool and the corpus generator into build-bench/,
# writes two corpora (the same bytes on every run) under bench/corpus/, and
# reports against these targets:
#   - music corpus: Brovask's wall time at most 1.25 times that of cp;
#   - tables corpus: at most 12 system calls per package beyond one per
#     64 KiB of table bytes, and at most 40 instructions per table byte;
#   - peak resident memory at most the largest object plus twice the largest
#     package's table bytes plus 8 MiB.
#
# Needs cmake, g++, GoogleTest (the build configures the tests), and
#   apt-get install hyperfine strace valgrind time
#
# Settings from the environment:
#   BENCH_CORPUS  where the corpora go (default bench/corpus, ignored by git)
#   BENCH_ROUNDS  rounds of timing (default 5); the commands take turns
#                 round by round, so a disturbance on a shared machine falls
#                 on all of them alike
#   BENCH_RUNS    timed runs of each command per round (default 10)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
corpus=${BENCH_CORPUS:-$root/bench/corpus}
rounds=${BENCH_ROUNDS:-5}
runs=${BENCH_RUNS:-10}

for tool in cmake hyperfine strace valgrind /usr/bin/time; do
    if ! command -v "$tool" >/dev/null; then
        echo "bench/run.sh: $tool is missing (apt-get install hyperfine strace valgrind time)" >&2
        exit 2
    fi
done

echo "== Building (Release) into $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBROVASK_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target Brovask make_corpus copy_whole >/dev/null
brovask=$build/Brovask
copier=$build/bench/copy_whole

echo "== Writing the corpora into $corpus"
mkdir -p "$corpus"
rm -rf "$corpus/music" "$corpus/tables" "$corpus/out" "$corpus/report"
"$build/bench/make_corpus" music "$corpus/music"
"$build/bench/make_corpus" tables "$corpus/tables"
out=$corpus/out
report=$corpus/report
mkdir -p "$report"

# A value from a corpus summary written by make_corpus.
fact() { awk -v k="$2" '$1 == k { print $2 }' "$corpus/$1/corpus.txt"; }
# Floating-point arithmetic and formatting.
calc() { awk "BEGIN { printf \"$1\", $2 }"; }

music_files=$(fact music files)
music_bytes=$(fact music bytes)
music_objects=$(fact music objects)
music_object_bytes=$(fact music object_bytes)
largest_object=$(fact music largest_object)
music_largest_tables=$(fact music largest_table_bytes)
table_files=$(fact tables files)
table_bytes=$(fact tables table_bytes)
largest_tables=$(fact tables largest_table_bytes)
fingerprint=$(cd "$corpus" && cat music/*.umx tables/*.u | sha256sum | cut -c1-16)
echo "music:  $music_files packages, $music_bytes bytes, $music_objects objects" \
    "($music_object_bytes bytes, largest $largest_object)"
echo "tables: $table_files packages, $table_bytes table bytes (largest package $largest_tables)"
echo "corpus fingerprint (sha256 of all packages): $fingerprint"

music_glob="$corpus/music/*.umx"
tables_glob="$corpus/tables/*.u"
fresh_out="rm -rf '$out' && mkdir '$out'"

# Check that the tool really extracts the music before timing it.
rm -rf "$out" && mkdir "$out"
(cd "$out" && "$brovask" "$music_glob" >"$report/music.txt")
extracted_files=$(find "$out" -type f | wc -l)
extracted_bytes=$(find "$out" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
if [ "$extracted_files" -ne "$music_objects" ] || [ "$extracted_bytes" -ne "$music_object_bytes" ]; then
    echo "bench/run.sh: the tool extracted $extracted_files files of $extracted_bytes bytes," \
        "expected $music_objects of $music_object_bytes" >&2
    exit 1
fi
"$brovask" "$tables_glob" >"$report/tables.txt"
not_music=$(grep -c '^Not found "Music" object in this file\.' "$report/tables.txt" || true)
if [ "$not_music" -ne "$table_files" ]; then
    echo "bench/run.sh: $not_music of $table_files table packages were reported as not music" >&2
    exit 1
fi

# Runs hyperfine over the commands for $rounds rounds and leaves, per
# command, the median of the round medians, the fastest run and the median
# of the rounds' mean processor time (user and system), in milliseconds, in
# the arrays median_ms, min_ms and cpu_ms. Processor time is the steadier
# measure on a machine that other work shares.
time_commands() {
    local prepare=$1
    shift
    local count=$#
    local i r
    for ((i = 1; i <= count; ++i)); do : >"$report/times.$i"; done
    for ((r = 1; r <= rounds; ++r)); do
        i=0
        for command in "$@"; do
            i=$((i + 1))
            hyperfine --style none --warmup 1 --runs "$runs" --prepare "$prepare" \
                --export-csv "$report/round.csv" "$command" >/dev/null 2>>"$report/hyperfine.log"
            # Columns: command,mean,stddev,median,user,system,min,max
            tail -n 1 "$report/round.csv" |
                awk -F, '{ print $4 * 1000, $7 * 1000, ($5 + $6) * 1000 }' >>"$report/times.$i"
        done
    done
    median_ms=()
    min_ms=()
    cpu_ms=()
    for ((i = 1; i <= count; ++i)); do
        median_ms+=("$(sort -g -k1,1 "$report/times.$i" | awk '{ m[NR] = $1 } END { print m[int((NR + 1) / 2)] }')")
        min_ms+=("$(sort -g -k2,2 "$report/times.$i" | awk 'NR == 1 { print $2 }')")
        cpu_ms+=("$(sort -g -k3,3 "$report/times.$i" | awk '{ m[NR] = $3 } END { print m[int((NR + 1) / 2)] }')")
    done
}

echo "== Timing the music corpus ($rounds rounds of $runs runs; output into a fresh folder each run)"
time_commands "$fresh_out" \
    "cp $music_glob '$out/'" \
    "cd '$out' && '$copier' $music_glob" \
    "cd '$out' && '$brovask' '$music_glob' >/dev/null"
cp_ms=${median_ms[0]} cp_min=${min_ms[0]} cp_cpu=${cpu_ms[0]}
whole_ms=${median_ms[1]} whole_min=${min_ms[1]} whole_cpu=${cpu_ms[1]}
music_ms=${median_ms[2]} music_min=${min_ms[2]} music_cpu=${cpu_ms[2]}
music_ratio=$(calc %.2f "$music_ms / $cp_ms")
music_ratio_min=$(calc %.2f "$music_min / $cp_min")
music_ratio_cpu=$(calc %.2f "$music_cpu / $cp_cpu")
whole_ratio=$(calc %.2f "$whole_ms / $cp_ms")
whole_ratio_min=$(calc %.2f "$whole_min / $cp_min")
whole_ratio_cpu=$(calc %.2f "$whole_cpu / $cp_cpu")
echo "  wall time: median of the rounds' medians (fastest run); processor time: median"
printf '  cp                    %8.1f ms (%.1f)  cpu %6.1f ms\n' "$cp_ms" "$cp_min" "$cp_cpu"
printf '  one read + one write  %8.1f ms (%.1f)  cpu %6.1f ms   %s x cp (%s); cpu %s x\n' \
    "$whole_ms" "$whole_min" "$whole_cpu" "$whole_ratio" "$whole_ratio_min" "$whole_ratio_cpu"
printf '  Brovask               %8.1f ms (%.1f)  cpu %6.1f ms   %s x cp (%s); cpu %s x\n' \
    "$music_ms" "$music_min" "$music_cpu" "$music_ratio" "$music_ratio_min" "$music_ratio_cpu"

echo "== Timing the tables corpus"
time_commands "true" \
    "cat $tables_glob >/dev/null" \
    "cd '$out' && '$brovask' '$tables_glob' >/dev/null"
cat_ms=${median_ms[0]} tables_ms=${median_ms[1]}
tables_ratio=$(calc %.1f "$tables_ms / $cat_ms")
printf '  cat to /dev/null          %8.1f ms\n' "$cat_ms"
printf '  Brovask                   %8.1f ms, %s x cat\n' "$tables_ms" "$tables_ratio"

# The number of system calls in strace's summary of a run.
count_calls() {
    local file=$1
    shift
    (cd "$out" && strace -f -c -o "$file" "$@" >/dev/null)
    awk '$NF == "total" { print $4 }' "$file"
}

echo "== System calls (strace -c -f)"
rm -rf "$out" && mkdir "$out"
base_calls=$(count_calls "$report/strace-none.txt" "$brovask" "$corpus/tables/none*.u")
tables_calls=$(count_calls "$report/strace-tables.txt" "$brovask" "$tables_glob")
music_calls=$(count_calls "$report/strace-music.txt" "$brovask" "$music_glob")
per_table_package=$(calc %.1f "($tables_calls - $base_calls) / $table_files")
per_table_package_raw=$(calc %.1f "$tables_calls / $table_files")
table_call_limit=$(calc %.1f "12 + $table_bytes / $table_files / 65536")
per_music_object=$(calc %.1f "($music_calls - $base_calls) / $music_objects")
echo "  a run that matches no file: $base_calls calls (start-up and exit)"
echo "  tables: $tables_calls calls, $per_table_package per package beyond start-up" \
    "($per_table_package_raw counting start-up); allowed $table_call_limit"
echo "  music:  $music_calls calls, $per_music_object per object beyond start-up"
echo "  the tables run by call (from $report/strace-tables.txt):"
awk '/^-/ { n++; next } n == 1 && $4 ~ /^[0-9]+$/ { printf "    %-12s %s\n", $NF, $4 }' \
    "$report/strace-tables.txt" | sort -k2 -n -r | head -n 8

echo "== Peak resident memory (/usr/bin/time)"
peak_kib() {
    (cd "$out" && /usr/bin/time -f '%M' -o "$report/time.txt" "$@" >/dev/null)
    tail -n 1 "$report/time.txt"
}
rm -rf "$out" && mkdir "$out"
music_rss=$(peak_kib "$brovask" "$music_glob")
tables_rss=$(peak_kib "$brovask" "$tables_glob")
music_rss_limit=$(((largest_object + 2 * music_largest_tables) / 1024 + 8192))
tables_rss_limit=$((2 * largest_tables / 1024 + 8192))
echo "  music:  $music_rss KiB (allowed $music_rss_limit KiB)"
echo "  tables: $tables_rss KiB (allowed $tables_rss_limit KiB)"

echo "== Instructions (valgrind --tool=callgrind, whole tables corpus)"
instructions() {
    (cd "$out" && valgrind --tool=callgrind --callgrind-out-file="$1" "${@:2}" 2>"$1.log" >/dev/null)
    awk '/Collected :/ { print $NF }' "$1.log"
}
base_ir=$(instructions "$report/callgrind-none.out" "$brovask" "$corpus/tables/none*.u")
tables_ir=$(instructions "$report/callgrind-tables.out" "$brovask" "$tables_glob")
per_byte=$(calc %.1f "$tables_ir / $table_bytes")
per_byte_net=$(calc %.1f "($tables_ir - $base_ir) / $table_bytes")
echo "  $tables_ir instructions for $table_bytes table bytes: $per_byte per byte" \
    "($per_byte_net beyond the $base_ir of start-up)"
echo "  where they go (callgrind_annotate $report/callgrind-tables.out):"
callgrind_annotate "$report/callgrind-tables.out" 2>/dev/null |
    awk '/file:function/ { on = 1; getline; next } on && NF { print "   ", $0 }' |
    sed -e 's/ \[[^]]*\]$//' | cut -c1-110 | head -n 8

verdict() { if awk "BEGIN { exit !($1) }"; then echo met; else echo MISSED; fi; }
echo
echo "== Summary ($(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo), $(date -u +%Y-%m-%d))"
printf '  %-44s %-22s %-14s %s\n' target measured limit verdict
printf '  %-44s %-22s %-14s %s\n' "music wall time / cp (median)" "$music_ratio" "1.25" \
    "$(verdict "$music_ratio <= 1.25")"
printf '  %-44s %-22s %-14s %s\n' "  fastest runs / cp; processor time / cp" \
    "$music_ratio_min; $music_ratio_cpu" "" ""
printf '  %-44s %-22s %-14s %s\n' "one read + one write per file / cp (same)" \
    "$whole_ratio; $whole_ratio_min; $whole_ratio_cpu" "" ""
printf '  %-44s %-22s %-14s %s\n' "tables wall time / cat (no target)" "$tables_ratio" "" ""
printf '  %-44s %-22s %-14s %s\n' "tables system calls per package" "$per_table_package" \
    "$table_call_limit" "$(verdict "$per_table_package <= $table_call_limit")"
printf '  %-44s %-22s %-14s %s\n' "tables instructions per table byte" "$per_byte" "40" \
    "$(verdict "$per_byte <= 40")"
printf '  %-44s %-22s %-14s %s\n' "peak RSS, music (KiB)" "$music_rss" "$music_rss_limit" \
    "$(verdict "$music_rss <= $music_rss_limit")"
printf '  %-44s %-22s %-14s %s\n' "peak RSS, tables (KiB)" "$tables_rss" "$tables_rss_limit" \
    "$(verdict "$tables_rss <= $tables_rss_limit")"
rm -rf "$out"
