# Install rules. Two layouts from one set of rules, chosen by the prefix at
# install time:
#   /usr (the Debian package): programs under /usr, settings in /etc,
#     the unit in /lib/systemd/system, the scheduler's install folder
#     /usr/lib/korb (root's; its ConsoleManagement/ links to /var/log/korb,
#     /var/lib/korb and /etc/korb);
#   any other prefix P (cmake --install build --prefix /opt/korb): all of
#     it inside P, the scheduler's install folder P itself.
set(KORB_PACKAGE_NAME korb-probescheduler)

install(TARGETS korb-supervisor RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS KORB_ProbeScheduler RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/korb)
foreach(tool korb-signal korb-explain)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(DIRECTORY ${PROJECT_SOURCE_DIR}/sql/
        DESTINATION ${CMAKE_INSTALL_DATADIR}/korb/sql
        FILES_MATCHING PATTERN "*.sql" PATTERN "README.md")
install(FILES ${PROJECT_SOURCE_DIR}/README.md
              ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${KORB_PACKAGE_NAME})

# The unit, the example settings and the scheduler's folders depend on the
# prefix given at install time, so they are written then.
install(CODE "
  set(KORB_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
  set(KORB_STAGING_DIR \"${PROJECT_BINARY_DIR}/packaging-staging\")
  set(KORB_VERSION \"${PROJECT_VERSION}\")
  include(\"${PROJECT_SOURCE_DIR}/packaging/install_settings.cmake\")
")

# Every program the install rules need, for builds that want only these;
# installing (and cpack) then builds nothing else, the tests included.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)
add_custom_target(korb-programs)
foreach(program KORB_ProbeScheduler korb-supervisor korb-signal korb-explain)
  if(TARGET ${program})
    add_dependencies(korb-programs ${program})
  endif()
endforeach()

include(${PROJECT_SOURCE_DIR}/packaging/man_pages.cmake)
