# Helpers shared by the project's CMake files.

set(TAVRA_WARNINGS -Wall -Wextra -Werror)
set(TAVRA_DEFINITIONS UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601
                      WINVER=0x0601)

# tavra_library(NAME SOURCES ... [DEPS ...]): a static library of the listed
# sources, relative to the current folder; without sources, an interface
# library for header-only components.
function(tavra_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(NOT ARG_SOURCES)
    add_library(${name} INTERFACE)
    target_compile_definitions(${name} INTERFACE ${TAVRA_DEFINITIONS})
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
    return()
  endif()
  add_library(${name} STATIC ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${TAVRA_WARNINGS})
  target_compile_definitions(${name} PUBLIC ${TAVRA_DEFINITIONS})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# tavra_program(NAME [WIN32] SOURCES ... DEPS ...): a Windows program.
function(tavra_program name)
  cmake_parse_arguments(ARG "WIN32" "" "SOURCES;DEPS" ${ARGN})
  if(ARG_WIN32)
    add_executable(${name} WIN32 ${ARG_SOURCES})
  else()
    add_executable(${name} ${ARG_SOURCES})
  endif()
  target_compile_options(${name} PRIVATE ${TAVRA_WARNINGS})
  target_compile_definitions(${name} PRIVATE ${TAVRA_DEFINITIONS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
endfunction()

# tavra_tests(NAME SOURCES ... DEPS ... [LAUNCHER command...] [TIMEOUT SECONDS]
#             [LABELS label...]): one test program of the listed test sources;
# each test case runs as its own Wine process, so tests of process-wide state
# stay independent. A LAUNCHER runs each test case (and the listing of the
# tests) with the Wine wrapper and the program as its arguments, e.g. to start
# a server beside it. Each case may take TIMEOUT seconds (default 120) and
# carries the LABELS, which `ctest -L` and `-LE` select by.
function(tavra_tests name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LAUNCHER;LABELS" ${ARGN})
  tavra_program(${name} SOURCES ${ARG_SOURCES} DEPS ${ARG_DEPS} GTest::gmock GTest::gtest_main)
  if(ARG_LAUNCHER)
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR
                                             "${ARG_LAUNCHER};${CMAKE_BINARY_DIR}/wine-run")
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set(properties TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LABELS)
    list(APPEND properties LABELS "${ARG_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 DISCOVERY_MODE PRE_TEST
                       PROPERTIES ${properties})
endfunction()
