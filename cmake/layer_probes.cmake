# The build refuses an include that crosses a layer the wrong way: each probe
# is a file of one layer that includes a header it may use, then one of a
# layer above it. Building a probe must fail on the second include, which the
# tests check (`Layers.*`); the probes are not part of the normal build.
function(tavra_layer_probe name library allowed forbidden)
  set(source ${CMAKE_BINARY_DIR}/layer_probes/${name}.cc)
  file(WRITE ${source} "#include \"${allowed}\"\n#include \"${forbidden}\"\n")
  add_library(${name} OBJECT EXCLUDE_FROM_ALL ${source})
  target_link_libraries(${name} PRIVATE ${library})
  get_filename_component(forbiddenName ${forbidden} NAME)
  add_test(NAME Layers.${name}
           COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target ${name})
  set_tests_properties(Layers.${name} PROPERTIES
                       PASS_REGULAR_EXPRESSION "${forbiddenName}: No such file or directory"
                       FAIL_REGULAR_EXPRESSION "${allowed}: No such file or directory")
endfunction()

set(reporter desktop/windows/crash_reporter)
tavra_layer_probe(ServerCannotIncludeCrashData tavra_server runtime/logging.h
                  ${reporter}/crash_data/crash_metadata.h)
tavra_layer_probe(CrashDataCannotIncludeLogs tavra_crash_data ${reporter}/server/client_annotation.h
                  ${reporter}/logs/crash_log_writer.h)
tavra_layer_probe(LogsCannotIncludeLifecycle tavra_logs ${reporter}/crash_data/process_state.h
                  ${reporter}/lifecycle/pending_work.h)
tavra_layer_probe(UploadCannotIncludeServer tavra_upload runtime/logging.h
                  ${reporter}/server/pipe_message.h)
tavra_layer_probe(RuntimeCannotIncludeTheProduct tavra_runtime runtime/logging.h
                  ${reporter}/server/pipe_message.h)
tavra_layer_probe(ProductCannotIncludeTestHelpers tavra_lifecycle ${reporter}/logs/reporter_log.h
                  testing/test_support/test_text.h)
