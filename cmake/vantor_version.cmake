# Writes the header that `--version` prints from: the project's version, followed by the git
# description when the sources are a git checkout (a tarball has none and gives the version
# alone), and the libraries' versions found at configure time.
#
#   cmake -DSOURCE_DIR=... -DOUTPUT=.../vantor_version.h -DVERSION=x.y.z -DSTB_VERSION=...
#         -DLIBDEFLATE_VERSION=... -DLIBXXHASH_VERSION=... -DLCMS2_VERSION=...
#         -DLIBHEIF_VERSION=... -DLIBWEBP_VERSION=... -DLIBJPEG_VERSION=... -DLIBTIFF_VERSION=...
#         -DGIFLIB_VERSION=... -DLIBJXL_VERSION=... -DLIBRAW_VERSION=... -P cmake/vantor_version.cmake
#
# configure_file leaves OUTPUT untouched when its text is the same, so nothing is rebuilt.
set(VANTOR_VERSION_TEXT "${VERSION}")
if(EXISTS "${SOURCE_DIR}/.git")
  find_program(VANTOR_GIT git)
  if(VANTOR_GIT)
    execute_process(COMMAND "${VANTOR_GIT}" -C "${SOURCE_DIR}" describe --tags --always --dirty
      OUTPUT_VARIABLE description RESULT_VARIABLE rc ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(rc EQUAL 0 AND description)
      set(VANTOR_VERSION_TEXT "${VERSION} (git ${description})")
    endif()
  endif()
endif()
configure_file("${CMAKE_CURRENT_LIST_DIR}/vantor_version.h.in" "${OUTPUT}" @ONLY)
