# Helpers shared by the project's CMake files.

set(TAVRA_WARNINGS -Wall -Wextra -Werror)
set(TAVRA_DEFINITIONS UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601
                      WINVER=0x0601)

# tavra_library(NAME DIR [DEPS ...]): every .cc in DIR that is not a test.
function(tavra_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  list(FILTER sources EXCLUDE REGEX "_test\\.cc$")
  foreach(ex ${ARG_EXCLUDE})
    list(FILTER sources EXCLUDE REGEX "/${ex}$")
  endforeach()
  if(NOT sources)
    # A folder whose components are all header-only.
    add_library(${name} INTERFACE)
    target_compile_definitions(${name} INTERFACE ${TAVRA_DEFINITIONS})
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
    return()
  endif()
  add_library(${name} STATIC ${sources})
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

# tavra_tests(NAME DEPS ...): one test program of every *_test.cc in the
# current folder; each test case runs as its own Wine process, so tests of
# process-wide state stay independent.
function(tavra_tests name)
  cmake_parse_arguments(ARG "" "" "DEPS;EXTRA_SOURCES" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  if(NOT tests)
    return()
  endif()
  tavra_program(${name} SOURCES ${tests} ${ARG_EXTRA_SOURCES} DEPS ${ARG_DEPS} GTest::gmock
                GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 DISCOVERY_MODE PRE_TEST
                       PROPERTIES TIMEOUT 120)
endfunction()
