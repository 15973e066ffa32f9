# Helpers shared by the project's CMake files.

set(TAVRA_WARNINGS -Wall -Wextra -Werror)
set(TAVRA_DEFINITIONS UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601
                      WINVER=0x0601)

# Layers. Every library belongs to the layer of its folder, and may use only
# the layers below its own, as listed here: the pipe server knows nothing of
# crash data, crash data nothing of logs, logs nothing of the lifecycle, and
# the upload and the product environment stand alone on the runtime. Helpers
# of the tests may use everything; nothing of the product uses them.
set(TAVRA_LAYER_BELOW_runtime "")
set(TAVRA_LAYER_BELOW_server runtime)
set(TAVRA_LAYER_BELOW_crash_data server runtime)
set(TAVRA_LAYER_BELOW_logs crash_data server runtime)
set(TAVRA_LAYER_BELOW_upload runtime)
set(TAVRA_LAYER_BELOW_product_environment runtime)
set(TAVRA_LAYER_BELOW_lifecycle logs crash_data server upload product_environment runtime)
set(TAVRA_LAYER_BELOW_testing lifecycle logs crash_data server upload product_environment runtime)

# The layer of the current folder.
function(tavra_current_layer out)
  file(RELATIVE_PATH folder ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  if(folder MATCHES "^runtime$")
    set(layer runtime)
  elseif(folder MATCHES "^desktop/windows/crash_reporter/([a-z_]+)$")
    set(layer ${CMAKE_MATCH_1})
  elseif(folder MATCHES "^desktop/windows/product_environment$")
    set(layer product_environment)
  elseif(folder MATCHES "^testing/")
    set(layer testing)
  else()
    message(FATAL_ERROR "${folder}: no layer is known for this folder")
  endif()
  set(${out} ${layer} PARENT_SCOPE)
endfunction()

# Headers are reached by their path from the repository's root, but no target
# sees the whole root: each folder is exposed on its own, through an include
# root of its own that holds a link to it at its path. A target sees its own
# folder and the folders of the libraries that it links, so that an include
# of a library that it does not declare fails to build.
function(tavra_folder_include_root out)
  file(RELATIVE_PATH folder ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  string(REPLACE "/" "." key ${folder})
  set(root ${CMAKE_BINARY_DIR}/include_roots/${key})
  if(NOT IS_SYMLINK ${root}/${folder})
    get_filename_component(parent ${root}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
  endif()
  set(${out} ${root} PARENT_SCOPE)
endfunction()

# Records a target of the current folder for the layer check at the end.
function(tavra_record_layer name deps)
  tavra_current_layer(layer)
  set_property(TARGET ${name} PROPERTY TAVRA_LAYER ${layer})
  set_property(TARGET ${name} PROPERTY TAVRA_DEPS ${deps})
  set_property(GLOBAL APPEND PROPERTY TAVRA_LAYERED_TARGETS ${name})
endfunction()

# Fails the configuration when a target of the product links a library of a
# layer that is not below its own. Called once, after every folder was read.
function(tavra_check_layers)
  get_property(targets GLOBAL PROPERTY TAVRA_LAYERED_TARGETS)
  foreach(target ${targets})
    get_property(layer TARGET ${target} PROPERTY TAVRA_LAYER)
    get_property(deps TARGET ${target} PROPERTY TAVRA_DEPS)
    get_property(isTest TARGET ${target} PROPERTY TAVRA_IS_TEST)
    set(allowed ${TAVRA_LAYER_BELOW_${layer}})
    if(isTest)
      list(APPEND allowed testing)
    endif()
    foreach(dep ${deps})
      if(NOT TARGET ${dep})
        continue()
      endif()
      get_property(depLayer TARGET ${dep} PROPERTY TAVRA_LAYER)
      if(NOT depLayer OR depLayer STREQUAL layer)
        continue()
      endif()
      if(NOT depLayer IN_LIST allowed)
        message(FATAL_ERROR "${target} (layer ${layer}) links ${dep} (layer ${depLayer}): "
                            "it may use only: ${allowed}")
      endif()
    endforeach()
  endforeach()
endfunction()

# tavra_library(NAME SOURCES ... [DEPS ...]): a static library of the listed
# sources, relative to the current folder; without sources, an interface
# library for header-only components. DEPS are what it includes and links
# from other libraries; its users see them too.
function(tavra_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  tavra_folder_include_root(root)
  if(NOT ARG_SOURCES)
    add_library(${name} INTERFACE)
    target_compile_definitions(${name} INTERFACE ${TAVRA_DEFINITIONS})
    target_include_directories(${name} INTERFACE ${root})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  else()
    add_library(${name} STATIC ${ARG_SOURCES})
    target_compile_options(${name} PRIVATE ${TAVRA_WARNINGS})
    target_compile_definitions(${name} PUBLIC ${TAVRA_DEFINITIONS})
    target_include_directories(${name} PUBLIC ${root})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  endif()
  tavra_record_layer(${name} "${ARG_DEPS}")
endfunction()

# tavra_program(NAME [WIN32] SOURCES ... DEPS ...): a Windows program.
function(tavra_program name)
  cmake_parse_arguments(ARG "WIN32" "" "SOURCES;DEPS" ${ARGN})
  if(ARG_WIN32)
    add_executable(${name} WIN32 ${ARG_SOURCES})
  else()
    add_executable(${name} ${ARG_SOURCES})
  endif()
  tavra_folder_include_root(root)
  target_compile_options(${name} PRIVATE ${TAVRA_WARNINGS})
  target_compile_definitions(${name} PRIVATE ${TAVRA_DEFINITIONS})
  target_include_directories(${name} PRIVATE ${root})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  tavra_record_layer(${name} "${ARG_DEPS}")
endfunction()

# tavra_tests(NAME SOURCES ... DEPS ... [LAUNCHER command...] [TIMEOUT SECONDS]
#             [LABELS label...]): one test program of the listed test sources;
# each test case runs as its own Wine process, so tests of process-wide state
# stay independent. A LAUNCHER runs each test case (and the listing of the
# tests) with the Wine wrapper and the program as its arguments, e.g. to start
# a server beside it. Each case may take TIMEOUT seconds (default 120) and
# carries the LABELS, which `ctest -L` and `-LE` select by. Tests beside the
# code keep to their folder's layer, and may use the helpers of the tests.
function(tavra_tests name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LAUNCHER;LABELS" ${ARGN})
  tavra_program(${name} SOURCES ${ARG_SOURCES} DEPS ${ARG_DEPS} GTest::gmock GTest::gtest_main)
  set_property(TARGET ${name} PROPERTY TAVRA_IS_TEST TRUE)
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
