# Fuzz targets (tests/fuzz) with clang's libFuzzer. With QUELNOR_FUZZ on and a compiler that links
# -fsanitize=fuzzer, every library is built with the fuzzer's coverage instrumentation and
# QUELNOR_FUZZ_ENABLED is set; otherwise the targets are skipped with a message. The corpus replay
# tests (one per target, run by CTest) are built either way.
option(QUELNOR_FUZZ "Build the libFuzzer fuzz targets (needs clang)" OFF)
set(QUELNOR_FUZZ_ENABLED OFF)
if(QUELNOR_FUZZ)
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS "-fsanitize=fuzzer")
  set(CMAKE_REQUIRED_LINK_OPTIONS "-fsanitize=fuzzer")
  check_cxx_source_compiles(
    "#include <cstddef>
     #include <cstdint>
     extern \"C\" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }"
    QUELNOR_HAVE_LIBFUZZER)
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  if(QUELNOR_HAVE_LIBFUZZER)
    set(QUELNOR_FUZZ_ENABLED ON)
    add_compile_options(-fsanitize=fuzzer-no-link)
  else()
    message(STATUS "QUELNOR_FUZZ: ${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION} cannot link libFuzzer "
                   "(-fsanitize=fuzzer); the fuzz targets are skipped. Configure with clang to build them.")
  endif()
endif()
