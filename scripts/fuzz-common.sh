# Shared by fuzz.sh and fuzz-ci.sh (sourced, not run).
FUZZ_TARGETS="evt3_decoder raw_file_reader bookmark_file gvcp_packet usb_ctrl_frame calibration_file camera_config_file header_time"

# Sanitizer settings of every fuzz run: a leak or an undefined behaviour ends the run with a report.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:verify_asan_link_order=0:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

# Configures and builds the clang fuzz tree in $1 (the targets only).
fuzz_build() {
  local dir=$1
  if ! command -v clang++ >/dev/null; then
    echo "fuzz: clang++ is not installed; the fuzz targets need clang's libFuzzer" >&2
    return 77
  fi
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    local launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    CC=clang CXX=clang++ cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DQUELNOR_SANITIZE=address,undefined -DQUELNOR_FUZZ=ON -DQUELNOR_BUILD_BENCH=OFF \
      -DQUELNOR_BUILD_SAMPLES=OFF "${launcher[@]}" >/dev/null
  fi
  cmake --build "$dir" -j "${FUZZ_BUILD_JOBS:-4}" --target quelnor_fuzz >/dev/null
  if [ ! -x "$dir/tests/fuzz/fuzz_evt3_decoder" ]; then
    echo "fuzz: $dir has no fuzz targets (the compiler cannot link libFuzzer; see its configure output)" >&2
    return 77
  fi
}

# Prints a crashing input: its file, its size and its bytes in hex.
fuzz_show_input() {
  local file=$1
  echo "--- input $file ($(stat -c %s "$file") bytes), hex:"
  od -An -tx1 -v "$file" | head -c 20000
  echo
}
