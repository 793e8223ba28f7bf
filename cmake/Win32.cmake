# The 64-bit Windows build (through cmake/mingw-w64-x86_64.cmake): names, libraries and
# running its programs under Wine.
if(NOT CMAKE_CROSSCOMPILING)
  message(FATAL_ERROR "The Windows build is cross-compiled: configure with -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake")
endif()
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE _WIN32_WINNT=0x0601)

# Libraries carry their Windows names: BmcGate.dll, not libBmcGate.dll.
set(CMAKE_SHARED_LIBRARY_PREFIX "")
set(CMAKE_IMPORT_LIBRARY_PREFIX "")
set(CMAKE_SHARED_MODULE_PREFIX "")

# The Windows libraries the programs load sit beside them, in the build as when installed.
file(GLOB QMA_WIN32_DLLS ${QMA_WIN32_DEPS}/bin/*.dll)
file(COPY ${QMA_WIN32_DLLS} DESTINATION ${CMAKE_BINARY_DIR}/bin)
install(FILES ${QMA_WIN32_DLLS} DESTINATION bin)

# The JSON library is headers only; the build takes those of the Linux package.
find_path(QMA_HOST_NLOHMANN_JSON nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(COPY ${QMA_HOST_NLOHMANN_JSON}/nlohmann DESTINATION ${CMAKE_BINARY_DIR}/host-headers)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/host-headers)
set(nlohmann_json_FOUND TRUE)

# Test programs run under Wine, in a prefix of this build folder.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh ${CMAKE_BINARY_DIR}/wine-prefix)
set(QMA_BENCH OFF CACHE BOOL "" FORCE)
set(QMA_FUZZ OFF CACHE BOOL "" FORCE)
