# Libraries and link options the Windows backend needs beyond the C++ runtime.
#
# shell32 gives the user's application-data folder, shlwapi the report's formatting, bcrypt the
# random instance id, ws2_32 the metrics server's socket (libmicrohttpd's static library names
# no library of its own); dbghelp
# is loaded by name when a fault happens, so the program does not depend on it at load time.
# The entry is wmain, which MinGW reaches with -municode.
target_compile_definitions(vantor_core PUBLIC _WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE)
target_link_libraries(vantor_core PUBLIC shell32 shlwapi bcrypt ws2_32)
target_link_options(vantor PRIVATE -municode)

# The test runner: files named *_posix_test.cpp hold the cases only POSIX has (FIFOs, links,
# permissions, signals, /proc), with their Windows counterparts in tests/win32/; the test
# support (tests/test_process.cpp) has its Windows half there too.
set(VANTOR_POSIX_ONLY_TESTS "[a-z0-9_]+_posix_test|test_process")
file(GLOB VANTOR_BACKEND_TEST_SOURCES CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/tests/win32/*.cpp")
set(VANTOR_BACKEND_TEST_LIBS psapi)

# The image libraries are static here: what each needs in turn (libheif its codecs, libtiff the
# libraries it decodes with, libjxl highway and brotli, LibRaw libjpeg and lcms2) is only in
# pkg-config's --static lines, linked after them.
target_link_directories(vantor_core PUBLIC ${HEIF_STATIC_LIBRARY_DIRS} ${WEBP_STATIC_LIBRARY_DIRS}
  ${TIFF_STATIC_LIBRARY_DIRS} ${JXL_STATIC_LIBRARY_DIRS} ${RAW_STATIC_LIBRARY_DIRS})
target_link_libraries(vantor_core PUBLIC ${HEIF_STATIC_LIBRARIES} ${TIFF_STATIC_LIBRARIES}
  ${WEBP_STATIC_LIBRARIES} ${JXL_STATIC_LIBRARIES} ${RAW_STATIC_LIBRARIES})
