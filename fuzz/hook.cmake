# Turns a configuration of the program's own tree into a fuzz build, without touching its
# CMakeLists: named as CMAKE_PROJECT_INCLUDE, it runs right after the top-level project() call.
#   cmake -S . -B build-fuzz -DZURID_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DBUILD_TESTING=OFF \
#         -DCMAKE_PROJECT_INCLUDE=$PWD/fuzz/hook.cmake
# Everything is compiled with coverage and sanitizer instrumentation, so that libFuzzer is
# guided by, and checks, the code under test and not only the harness; the fuzz targets are
# added once the program's own folders are.
option(ZURID_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(ZURID_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "libFuzzer needs clang: configure with -DCMAKE_CXX_COMPILER=clang++")
  endif()
  set(ZURID_FUZZ_SANITIZE "-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer")
  string(APPEND CMAKE_CXX_FLAGS " -fsanitize=fuzzer-no-link ${ZURID_FUZZ_SANITIZE}")
  string(APPEND CMAKE_EXE_LINKER_FLAGS " ${ZURID_FUZZ_SANITIZE}")
  set(ZURID_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})
  # Read at the end of the top-level CMakeLists, where the targets it links exist.
  cmake_language(DEFER CALL include ${ZURID_FUZZ_DIR}/CMakeLists.txt)
endif()
