#!/usr/bin/env bash
# Builds the libFuzzer targets alone and runs each for SECONDS under ASan+UBSan from a copy
# of its seed corpus; stops at the first crash, leak or timeout.
#   fuzz/run-all.sh SECONDS [TARGET...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/fuzz"

# target  seed folder (under fuzz/)  longest input
targets=(
  "fuzz_wav          seeds-wav      65536"
  "id3_fuzz          corpus         4096"
  "fuzz_mpeg_layout  seeds-mpeg     16384"
  "fuzz_flac         seeds-flac     40000"
  "fuzz_wminput      seeds-wminput  32768"
  "fuzz_acm          seeds-acm      16384"
  "fuzz_vorbis       seeds-vorbis   32768"
  "fuzz_http_request seeds-http     12288"
  "fuzz_opus         seeds-opus     16384"
  "fuzz_tag_presence seeds-tags     16384"
  "fuzz_name_template seeds-names   1024"
  "fuzz_mirror_state seeds-mirror   8192"
  "fuzz_cover_scale  seeds-covers   16384"
  "fuzz_cue_sheet    seeds-cue      16384"
)

seconds=${1:?usage: fuzz/run-all.sh SECONDS [TARGET...]}
shift
wanted=("$@")

missing=()
command -v clang++ >/dev/null || missing+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
  missing+=(libclang-rt-14-dev)
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

launcher=()
command -v ccache >/dev/null &&
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
# -O1 without NDEBUG: fast enough to fuzz, and assertions still fire.
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -fno-omit-frame-pointer" \
  -DTUNEVERT_FUZZ=ON -DBUILD_TESTING=OFF -DTUNEVERT_BUILD_GUI=OFF "${launcher[@]}" >/dev/null

known=$(ninja -C "$build" -t targets all | sed 's/:.*//')
selected=()
for line in "${targets[@]}"; do
  read -r name seeds maxlen <<<"$line"
  if [ ${#wanted[@]} -gt 0 ] && [[ ! " ${wanted[*]} " == *" $name "* ]]; then continue; fi
  # A target another branch adds may not be here yet.
  if ! grep -qx "$name" <<<"$known" || [ ! -d "$root/fuzz/$seeds" ]; then
    echo "skipping $name (no such target or no fuzz/$seeds)"
    continue
  fi
  selected+=("$line")
done
[ ${#selected[@]} -gt 0 ] || { echo "no fuzz targets to run"; exit 1; }

names=()
for line in "${selected[@]}"; do names+=("$(awk '{print $1}' <<<"$line")"); done
cmake --build "$build" -j2 --target "${names[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
summary=()
for line in "${selected[@]}"; do
  read -r name seeds maxlen <<<"$line"
  corpus="$root/fuzz/corpus-${name#fuzz_}"
  artifacts="$build/artifacts/$name/"
  mkdir -p "$corpus" "$artifacts"
  cp -n "$root/fuzz/$seeds"/* "$corpus/"
  log="$build/$name.log"
  echo "== $name for ${seconds}s (log $log)"
  status=0
  "$build/fuzz/$name" "$corpus" -max_total_time="$seconds" -max_len="$maxlen" \
    -timeout=10 -rss_limit_mb=2048 -error_exitcode=77 -timeout_exitcode=78 \
    -artifact_prefix="$artifacts" -print_final_stats=1 >"$log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  start=$(grep -m1 'INITED' "$log" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
  end=$(grep 'cov: ' "$log" | tail -1 | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
  result="$name: ${execs:-?} executions, coverage ${start:-?} -> ${end:-?} edges"
  echo "$result"
  summary+=("$result")
  if [ "$status" -ne 0 ]; then
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log" | head -20 || true
    echo "$name FAILED (exit $status); the input is in $artifacts"
    exit 1
  fi
done
printf '%s\n' "== summary" "${summary[@]}"
