# One interface target carries the language level, warnings and sanitizers;
# every target of the project links it instead of setting flags directory-wide.
add_library(quorvane_options INTERFACE)
target_compile_features(quorvane_options INTERFACE cxx_std_20)
target_compile_options(quorvane_options INTERFACE -Wall -Wextra)
target_compile_definitions(quorvane_options INTERFACE QT_NO_KEYWORDS)
if(QUORVANE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QUORVANE_FUZZ needs Clang: -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang")
  endif()
  # Every library is instrumented for coverage; only the fuzz targets link
  # the fuzzer's main (tests/fuzz).
  target_compile_options(quorvane_options INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(quorvane_options INTERFACE -fsanitize=address,undefined)
elseif(ASAN)
  target_compile_options(quorvane_options INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(quorvane_options INTERFACE -fsanitize=address,undefined)
endif()

# quorvane_library(NAME sources... DEPS targets...)
function(quorvane_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC quorvane_options ${ARG_DEPS})
endfunction()
