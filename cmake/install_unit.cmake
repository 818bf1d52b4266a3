# Run by `cmake --install`: installs contrib/vantor.service into <prefix>/lib/systemd/system
# (a folder systemd reads for /usr/local as for /usr) with ExecStart at the installed program.
# VANTOR_UNIT, VANTOR_BINDIR and VANTOR_STAGE are set by the install rules before it.
set(bindir "${VANTOR_BINDIR}")
if(NOT IS_ABSOLUTE "${bindir}")
  set(bindir "${CMAKE_INSTALL_PREFIX}/${bindir}")
endif()
file(READ "${VANTOR_UNIT}" unit)
string(REGEX REPLACE "\nExecStart=[^ \n]*/vantor " "\nExecStart=${bindir}/vantor " installed "${unit}")
string(FIND "${installed}" "\nExecStart=${bindir}/vantor " at)
if(at EQUAL -1)
  message(FATAL_ERROR "${VANTOR_UNIT}: no ExecStart line that starts vantor")
endif()
file(WRITE "${VANTOR_STAGE}/vantor.service" "${installed}")
file(INSTALL "${VANTOR_STAGE}/vantor.service" DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system"
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
