# zlib (static, from the MinGW package), minizip (from its source package),
# nlohmann/json (header-only) and GoogleTest (from its source package).

find_library(TAVRA_ZLIB_STATIC NAMES libz.a REQUIRED)
add_library(tavra_zlib STATIC IMPORTED GLOBAL)
set_target_properties(tavra_zlib PROPERTIES IMPORTED_LOCATION ${TAVRA_ZLIB_STATIC})

set(TAVRA_MINIZIP_DIR ${TAVRA_THIRD_PARTY_DIR}/minizip-src/unpacked)
if(NOT EXISTS ${TAVRA_MINIZIP_DIR}/zip.c)
  message(FATAL_ERROR "minizip's source is missing: run tools/setup.sh")
endif()
add_library(minizip STATIC ${TAVRA_MINIZIP_DIR}/zip.c ${TAVRA_MINIZIP_DIR}/ioapi.c
                           ${TAVRA_MINIZIP_DIR}/iowin32.c)
target_include_directories(minizip SYSTEM PUBLIC ${TAVRA_MINIZIP_DIR})
target_compile_definitions(minizip PRIVATE NOCRYPT NOUNCRYPT)
target_compile_options(minizip PRIVATE -w)
target_link_libraries(minizip PUBLIC tavra_zlib)

# Only nlohmann's own folder goes on the include path, never the host's
# /usr/include: a folder of our own holds a link to it.
set(TAVRA_NLOHMANN_INCLUDE ${CMAKE_BINARY_DIR}/nlohmann-include)
if(NOT EXISTS ${TAVRA_NLOHMANN_INCLUDE}/nlohmann/json.hpp)
  if(NOT EXISTS /usr/include/nlohmann/json.hpp)
    message(FATAL_ERROR "nlohmann/json is missing: run tools/setup.sh")
  endif()
  file(MAKE_DIRECTORY ${TAVRA_NLOHMANN_INCLUDE})
  file(CREATE_LINK /usr/include/nlohmann ${TAVRA_NLOHMANN_INCLUDE}/nlohmann SYMBOLIC)
endif()
add_library(nlohmann_json INTERFACE)
target_include_directories(nlohmann_json SYSTEM INTERFACE ${TAVRA_NLOHMANN_INCLUDE})
target_compile_definitions(nlohmann_json INTERFACE JSON_NOEXCEPTION=1)

set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
