# Libraries the POSIX backend links beyond the C++ runtime.
#
# The fatal report symbolises its call stack with GCC's libbacktrace when the compiler ships
# it (backtrace.h and libbacktrace.a sit in the compiler's own folders); without it the report
# falls back to backtrace() and dladdr().
execute_process(
  COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libbacktrace.a
  OUTPUT_VARIABLE _vantor_libbacktrace
  OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(
  COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
  OUTPUT_VARIABLE _vantor_compiler_include
  OUTPUT_STRIP_TRAILING_WHITESPACE)
find_file(VANTOR_BACKTRACE_HEADER backtrace.h
  HINTS "${_vantor_compiler_include}" NO_DEFAULT_PATH)
if(NOT VANTOR_BACKTRACE_HEADER)
  find_file(VANTOR_BACKTRACE_HEADER backtrace.h)
endif()

if(IS_ABSOLUTE "${_vantor_libbacktrace}" AND EXISTS "${_vantor_libbacktrace}" AND VANTOR_BACKTRACE_HEADER)
  target_link_libraries(vantor_core PUBLIC "${_vantor_libbacktrace}")
  set_property(SOURCE "${CMAKE_SOURCE_DIR}/src/os/posix/os_posix_fatal.cpp"
    APPEND PROPERTY COMPILE_DEFINITIONS VANTOR_HAVE_LIBBACKTRACE=1)
else()
  message(STATUS "libbacktrace not found: the fatal report names symbols without source lines")
endif()

# systemd's notifications (readiness, status, watchdog, stopping) go through libsystemd's
# sd_notify, which does nothing where the process was not started by systemd.
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
target_link_libraries(vantor_core PUBLIC PkgConfig::SYSTEMD)
