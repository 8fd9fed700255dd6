# Manual pages of the installed programs, made from their --help and
# --version at build time by help2man and installed gzipped (gzip -9n, as
# Debian wants). Without help2man the programs are installed without them;
# sanitizer builds make none (their programs need the test's environment
# to run).
if(KORB_SANITIZE)
  return()
endif()
find_program(KORB_HELP2MAN help2man)
find_program(KORB_GZIP gzip)
if(NOT KORB_HELP2MAN OR NOT KORB_GZIP)
  message(WARNING "help2man or gzip not found: no manual pages")
  return()
endif()

# program, section, one-line description
set(KORB_MAN_PAGES
  "korb-supervisor|8|keep the probe scheduler running under the service manager"
  "korb-signal|1|send a signal datagram to the probe scheduler"
  "korb-explain|1|explain what a schedule of the probe scheduler will post")
add_custom_target(korb-man-pages ALL)
add_dependencies(korb-programs korb-man-pages)
foreach(entry ${KORB_MAN_PAGES})
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 program)
  list(GET fields 1 section)
  list(GET fields 2 description)
  if(NOT TARGET ${program})
    continue()
  endif()
  set(page "${PROJECT_BINARY_DIR}/man/${program}.${section}")
  add_custom_command(
    OUTPUT "${page}.gz"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${PROJECT_BINARY_DIR}/man"
    COMMAND ${KORB_HELP2MAN} --no-info --no-discard-stderr --section=${section}
            --name=${description} --output=${page} $<TARGET_FILE:${program}>
    COMMAND ${KORB_GZIP} -9nf ${page}
    DEPENDS ${program}
    COMMENT "Manual page of ${program}"
    VERBATIM)
  add_custom_target(korb-man-${program} DEPENDS "${page}.gz")
  add_dependencies(korb-man-pages korb-man-${program})
  install(FILES "${page}.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
