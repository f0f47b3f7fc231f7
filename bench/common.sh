# Shared by the benchmark scripts: a Release build, timing and peak memory.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/tools/install-deps" --test
for tool in gst-launch-1.0:gstreamer1.0-tools /usr/bin/time:time bc:bc lame:lame; do
  command -v "${tool%%:*}" >/dev/null ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${tool#*:}" >/dev/null
done
cmake -S "$top" -B "$top/build-bench" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$top/build-bench" -j "$(nproc)" --target quilllomare >/dev/null
QL="$top/build-bench/quilllomare"
work=$(mktemp -d /tmp/quilllomare-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
runs=${RUNS:-5}

# median_seconds CMD...: runs the command $runs times (output files removed before
# each run by the caller's cleanup function, if any) and prints the median wall time.
median_seconds() {
  local times=()
  for ((i = 0; i < runs; i++)); do
    declare -F cleanup >/dev/null && cleanup
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
    end=$(date +%s.%N)
    times+=("$(echo "$end - $start" | bc -l)")
  done
  printf '%s\n' "${times[@]}" | sort -g | awk '{a[NR]=$1} END {printf "%.3f\n", a[int((NR+1)/2)]}'
}

# peak_mb CMD...: the command's peak resident memory in MB.
peak_mb() {
  declare -F cleanup >/dev/null && cleanup
  /usr/bin/time -f '%M' -o "$work/rss" "$@" >/dev/null 2>&1
  awk '{printf "%.1f\n", $1 / 1024}' "$work/rss"
}

ratio() { echo "$1 / $2" | bc -l | awk '{printf "%.2f", $1}'; }
