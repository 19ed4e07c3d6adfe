# One interface target carries the language level, warnings and sanitizers;
# every target of the project links it instead of setting flags directory-wide.
add_library(quorvane_options INTERFACE)
target_compile_features(quorvane_options INTERFACE cxx_std_20)
target_compile_options(quorvane_options INTERFACE -Wall -Wextra)
target_compile_definitions(quorvane_options INTERFACE QT_NO_KEYWORDS)
if(ASAN)
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
