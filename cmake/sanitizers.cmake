# Sanitizer and fuzzing builds, chosen with -DMORREL_SANITIZE=...:
#   address  AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer
#   thread   ThreadSanitizer
#   fuzzer   the libFuzzer targets in tests/fuzz (with ASan and UBSan), clang only
# Empty (the default) is the ordinary build. scripts/sanitize and scripts/fuzz
# configure their own build directories with these; see there for how they run.
set(MORREL_SANITIZE "" CACHE STRING "Sanitizer build: empty, address, thread or fuzzer")
set_property(CACHE MORREL_SANITIZE PROPERTY STRINGS "" address thread fuzzer)

if(MORREL_SANITIZE STREQUAL "")
  return()
endif()

if(MORREL_SANITIZE STREQUAL "address")
  set(morrel_sanitizers address,undefined)
elseif(MORREL_SANITIZE STREQUAL "thread")
  set(morrel_sanitizers thread)
elseif(MORREL_SANITIZE STREQUAL "fuzzer")
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "MORREL_SANITIZE=fuzzer needs clang (CMAKE_CXX_COMPILER=clang++)")
  endif()
  # Everything is instrumented for coverage; only the fuzz targets link
  # libFuzzer's main (tests/fuzz/CMakeLists.txt adds -fsanitize=fuzzer there).
  set(morrel_sanitizers address,undefined)
  add_compile_options(-fsanitize=fuzzer-no-link)
else()
  message(FATAL_ERROR "MORREL_SANITIZE must be empty, address, thread or fuzzer, not '${MORREL_SANITIZE}'")
endif()

# -O1 keeps the runs fast enough for CI while stack traces stay readable; given
# after the build type's flags, it is the optimisation level that counts.
# Every report is an error: no sanitizer recovers and carries on.
add_compile_options(-fsanitize=${morrel_sanitizers} -fno-sanitize-recover=all
                    -fno-omit-frame-pointer -O1 -g)
add_link_options(-fsanitize=${morrel_sanitizers})
