# Defaults of a cross-build for Windows. The window program needs only the
# compiler's own Windows libraries; the tools need libpng and the tests
# GoogleTest, built for Windows, which a Linux machine seldom has. Each part
# is built by default only when its libraries are found, and a status line
# says what was left out. A part asked for on the command line
# (-DOMBRASTEL_TOOLS=ON) is built or fails with the missing library's name.

if(NOT DEFINED OMBRASTEL_TOOLS)
  find_package(PNG QUIET)
  set(OMBRASTEL_TOOLS ${PNG_FOUND} CACHE BOOL "Build the headless snapshot and benchmark tools")
  if(NOT PNG_FOUND)
    message(STATUS "Windows cross-build: no libpng for Windows found, so the tools "
                   "(ombrastel-snapshot, ombrastel-bench) and their tests are left out")
  endif()
endif()

if(NOT DEFINED OMBRASTEL_TESTS)
  find_package(GTest QUIET)
  set(OMBRASTEL_TESTS ${GTest_FOUND} CACHE BOOL "Build the unit and end-to-end tests")
  if(NOT GTest_FOUND)
    message(STATUS "Windows cross-build: no GoogleTest for Windows found, so the tests are left out")
  endif()
endif()
