# qma_gtest(NAME SOURCES ... LIBS ... [LABELS ...]): one GoogleTest program registered with CTest.
#
# QMA_LINUX_ONLY_TESTS names the programs that need a Linux facility: the Windows build
# leaves them out (they are neither built nor listed). QMA_WIN32_PENDING_TESTS names the
# portable programs that build for Windows but do not pass under Wine yet: they are built, so
# the Windows build keeps compiling them, and left out of the CTest list until they pass.
function(qma_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  if(WIN32 AND name IN_LIST QMA_LINUX_ONLY_TESTS)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  # The shared test support (tests/support) reaches the system through the platform layer.
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} qma_platform GTest::gtest GTest::gmock
                        GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  # Windows test programs are listed when CTest runs them (under Wine), never while building.
  set(mode POST_BUILD)
  if(WIN32)
    set(mode PRE_TEST)
    if(name IN_LIST QMA_WIN32_PENDING_TESTS)
      return()
    endif()
  endif()
  if(ARG_LABELS)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 DISCOVERY_MODE ${mode}
                         PROPERTIES TIMEOUT 300 LABELS "${ARG_LABELS}")
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 DISCOVERY_MODE ${mode} PROPERTIES TIMEOUT 300)
  endif()
endfunction()
