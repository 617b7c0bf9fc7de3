# SPDX-License-Identifier: MPL-2.0
# varo_library(NAME DIR DEPS...) builds one static library from every .cpp in DIR.
function(varo_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT srcs)
    set(srcs ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# varo_test(NAME DEPS...) builds one test binary from every *_test.cpp in the current folder.
function(varo_test name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} varo_test_support GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE VARO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  # One ctest entry per binary: the tests of a binary share one demo server process, which
  # takes seconds to start; ctest runs the binaries in parallel.
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  set_tests_properties(${name} PROPERTIES TIMEOUT 1200)
endfunction()
