# Shared helpers for the subsystem CMakeLists files.

# keldra_add_tests(<prefix> LIBS <libs...>)
# Builds one GoogleTest executable per tests/*_test.cpp of the calling
# directory, so a broken test file only breaks its own target.
function(keldra_add_tests prefix)
  if(NOT KELDRA_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "LIBS;EXTRA_SOURCES" ${ARGN})
  file(GLOB test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_test.cpp)
  foreach(src ${test_sources})
    get_filename_component(stem ${src} NAME_WE)
    set(target ${prefix}_${stem})
    add_executable(${target} ${src} ${ARG_EXTRA_SOURCES})
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
    target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/testsupport/include)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
  endforeach()
endfunction()

# keldra_add_fuzzer(<name> SOURCES <srcs...> LIBS <libs...>)
# Only built when KELDRA_FUZZ is on (clang with libFuzzer).
function(keldra_add_fuzzer name)
  if(NOT KELDRA_FUZZ)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzzers)
  set_property(GLOBAL APPEND PROPERTY KELDRA_FUZZERS ${name})
endfunction()
