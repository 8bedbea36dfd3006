#!/usr/bin/env bash
# Times a startup-card burn of a large image (plain and sparse system
# partition) onto 1 and 4 virtual cards on tmpfs, next to `dd bs=4M` writing
# the same number of bytes and `simg2img` expanding the same sparse item, and
# prints the ratios. Not part of CI.
#
#   bench/burn/burn_bench.sh [BIN_DIR]      (default build/bin)
#   BENCH_SIZE_MIB=1024 BENCH_DIR=/dev/shm  (partition size, tmpfs location)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
bin="$(cd "${1:-$root/build/bin}" && pwd)"
size="${BENCH_SIZE_MIB:-1024}"
base="${BENCH_DIR:-/dev/shm}"
for tool in simg2img dd; do command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }; done

work="$(mktemp -d "$base/vorlane-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT
export VORLANE_HOME="$work/home" XDG_RUNTIME_DIR="$work/home"
mkdir -p "$VORLANE_HOME"

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc -l; }

echo "== images with a ${size} MiB system partition (all data) in $work"
"$bin/vorlane-img" sample -o "$work/plain.img" --system-mib "$size" --system-data-mib "$size" --system-plain >/dev/null
"$bin/vorlane-img" sample -o "$work/sparse.img" --system-mib "$size" --system-data-mib "$size" >/dev/null
"$bin/vorlane-img" extract "$work/plain.img" RFSFAT16 SYSTEM_FEX000000 "$work/system.raw"
"$bin/vorlane-img" extract "$work/sparse.img" RFSFAT16 SYSTEM_FEX000000 "$work/system.sparse"
bytes=$(stat -c %s "$work/system.raw")

burn() { # image cards -> seconds
    local image="$1" n="$2" cards="$work/cards"
    rm -rf "$cards"
    mkdir -p "$cards"
    for l in E F G H; do
        [ "$n" -ge 1 ] || break
        truncate -s "$((size + 512))M" "$cards/$l.card"
        n=$((n - 1))
    done
    local t0 t1
    t0=$(now)
    "$bin/vorlane" --cards-dir "$cards" --yes burn --kind startup --image "$image" >"$work/burn.log" 2>&1 ||
        { cat "$work/burn.log" >&2; exit 1; }
    t1=$(now)
    rm -rf "$cards"
    elapsed "$t0" "$t1"
}

parallel() { # n command... (each instance gets its index as $i) -> seconds
    local n="$1"
    shift
    local t0 t1 pids=()
    t0=$(now)
    for i in $(seq 1 "$n"); do
        I="$i" bash -c "$*" &
        pids+=($!)
    done
    wait "${pids[@]}"
    t1=$(now)
    rm -f "$work"/out.*
    elapsed "$t0" "$t1"
}

printf "\n%-8s %6s %10s %10s %10s %8s\n" "item" "cards" "vorlane s" "ref s" "ref" "ratio"
for n in 1 4; do
    t_plain=$(burn "$work/plain.img" "$n")
    t_dd=$(parallel "$n" "dd if='$work/system.raw' of='$work/out.\$I' bs=4M status=none")
    printf "%-8s %6d %10.2f %10.2f %10s %8.2f\n" plain "$n" "$t_plain" "$t_dd" "dd bs=4M" "$(echo "$t_plain / $t_dd" | bc -l)"
    t_sparse=$(burn "$work/sparse.img" "$n")
    t_simg=$(parallel "$n" "simg2img '$work/system.sparse' '$work/out.\$I'")
    printf "%-8s %6d %10.2f %10.2f %10s %8.2f\n" sparse "$n" "$t_sparse" "$t_simg" "simg2img" "$(echo "$t_sparse / $t_simg" | bc -l)"
done
echo
echo "bytes per card: $bytes (the burn also prepares the card, writes boot loaders, tables and the magic block)"
