# cmake --install: spoolhost and printbox in bin, the module in lib/tavro
# (where an installed spoolhost looks for it, beside its own folder), the
# CUPS backend in CUPS's backend folder, and a systemd unit for spoolhost as
# a service.
include(GNUInstallDirs)

install(TARGETS spoolhost printbox RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS TAVRO tavro_platform LIBRARY DESTINATION lib/tavro)
# The stand-ins' library lives with the module, found from bin/ relatively.
set_target_properties(spoolhost printbox PROPERTIES INSTALL_RPATH "$ORIGIN/../lib/tavro")

# CUPS's backend folder: cups-config's server-bin folder, else the one
# Debian and most systems use.
set(default_backend_dir /usr/lib/cups/backend)
find_program(CUPS_CONFIG cups-config)
if(CUPS_CONFIG)
  execute_process(COMMAND ${CUPS_CONFIG} --serverbin OUTPUT_VARIABLE cups_serverbin OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE cups_config_status)
  if(cups_config_status EQUAL 0 AND cups_serverbin)
    set(default_backend_dir ${cups_serverbin}/backend)
  endif()
endif()
set(CUPS_BACKEND_DIR ${default_backend_dir} CACHE PATH "Folder of CUPS backends the varnhold backend goes to")
# 0700: cupsd runs a backend that grants nothing to group and others as root,
# and the backend becomes the owner of spoolhost's state folder from there
# (tools/cups/spoolhost_link.cpp says why that is safe).
install(TARGETS varnhold RUNTIME DESTINATION ${CUPS_BACKEND_DIR} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

set(SPOOLHOST_SERVICE_STATE /var/lib/spoolhost)
set(SPOOLHOST_BIN ${CMAKE_INSTALL_FULL_BINDIR}/spoolhost)
configure_file(${CMAKE_SOURCE_DIR}/tools/cups/spoolhost.service.in ${CMAKE_BINARY_DIR}/spoolhost.service @ONLY)
set(SYSTEMD_UNIT_DIR lib/systemd/system CACHE PATH "Folder the spoolhost systemd unit goes to")
install(FILES ${CMAKE_BINARY_DIR}/spoolhost.service DESTINATION ${SYSTEMD_UNIT_DIR})
