# Runs at install time (see install.cmake): writes the systemd unit, the
# example option file and /etc/default file for the prefix being
# installed, and for a prefix other than /usr the scheduler's folders.
# DESTDIR is honoured by file(INSTALL).
set(prefix "${CMAKE_INSTALL_PREFIX}")
set(PROJECT_VERSION "${KORB_VERSION}")
if(prefix STREQUAL "/usr")
  set(etc "/etc")
  set(unit_dir "/lib/systemd/system")
  # Root's folder: its ConsoleManagement/ holds only links, shipped in
  # the package, to the folders the unit gives the korb user.
  set(KORB_DEFAULT_INSTALL_DIR "/usr/lib/korb")
  set(extra_unit_lines "")
else()
  set(etc "${prefix}/etc")
  set(unit_dir "${prefix}/lib/systemd/system")
  set(KORB_DEFAULT_INSTALL_DIR "${prefix}")
  set(extra_unit_lines "ReadWritePaths=${prefix}/ConsoleManagement\n")
endif()
set(KORB_DEFAULT_DB_CONFIG "${etc}/korb/korb-db.cnf")

file(MAKE_DIRECTORY "${KORB_STAGING_DIR}")
# korb-explain's own option file, for a read-only account; it holds a
# password too.
file(INSTALL "${KORB_SOURCE_DIR}/packaging/korb-explain.cnf" DESTINATION "${etc}/korb"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
configure_file("${KORB_SOURCE_DIR}/packaging/korb-supervisor.default"
               "${KORB_STAGING_DIR}/korb-supervisor" @ONLY)

file(READ "${KORB_SOURCE_DIR}/tools/systemd/korb-supervisor.service" unit)
string(REPLACE "/usr/sbin/korb-supervisor" "${prefix}/sbin/korb-supervisor" unit "${unit}")
string(REPLACE "/etc/default/korb-supervisor" "${etc}/default/korb-supervisor" unit "${unit}")
string(REPLACE "/usr/share/doc/" "${prefix}/share/doc/" unit "${unit}")
string(REPLACE "\nUser=korb\n" "\n${extra_unit_lines}User=korb\n" unit "${unit}")
file(WRITE "${KORB_STAGING_DIR}/korb-supervisor.service" "${unit}")

file(INSTALL "${KORB_STAGING_DIR}/korb-supervisor.service" DESTINATION "${unit_dir}")
file(INSTALL "${KORB_STAGING_DIR}/korb-supervisor" DESTINATION "${etc}/default")
# The option file holds a password: never readable by others, in the
# package (root:root there, the postinst gives it the korb group) and in
# any other prefix.
file(INSTALL "${KORB_SOURCE_DIR}/packaging/korb-db.cnf" DESTINATION "${etc}/korb"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)

# Debian wants the changelog compressed with the highest level and no
# time stamp (gzip -9n).
configure_file("${KORB_SOURCE_DIR}/packaging/debian/changelog"
               "${KORB_STAGING_DIR}/changelog" @ONLY)
file(REMOVE "${KORB_STAGING_DIR}/changelog.gz")
execute_process(COMMAND gzip -9n "${KORB_STAGING_DIR}/changelog"
                RESULT_VARIABLE gzip_result)
if(NOT gzip_result EQUAL 0)
  message(FATAL_ERROR "gzip of the changelog failed: ${gzip_result}")
endif()
file(INSTALL "${KORB_STAGING_DIR}/changelog.gz"
     DESTINATION "${prefix}/share/doc/korb-probescheduler")

file(INSTALL "${KORB_SOURCE_DIR}/packaging/korb-probescheduler.sysctl"
     DESTINATION "${prefix}/lib/sysctl.d" RENAME 60-korb-probescheduler.conf)

if(prefix STREQUAL "/usr")
  set(console "$ENV{DESTDIR}/usr/lib/korb/ConsoleManagement")
  file(MAKE_DIRECTORY "${console}")
  file(CREATE_LINK "/var/log/korb" "${console}/log" SYMBOLIC)
  file(CREATE_LINK "/var/lib/korb" "${console}/state" SYMBOLIC)
  file(CREATE_LINK "/etc/korb" "${console}/config" SYMBOLIC)
else()
  file(MAKE_DIRECTORY "$ENV{DESTDIR}${prefix}/ConsoleManagement/log")
  file(CREATE_LINK "../etc/korb" "$ENV{DESTDIR}${prefix}/ConsoleManagement/config"
       SYMBOLIC)
endif()
