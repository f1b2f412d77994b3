# Installs the examples that name installed paths (the run scripts, the
# units, prepare and the environment file) with the paths of this install:
# the prefix given to `cmake --install --prefix` counts, not the one the
# build was configured with. Included by the install script, which sets
# OSTREL_SOURCE_DIR, OSTREL_STAGE_DIR, OSTREL_TEMPLATES and the
# GNUInstallDirs values bindir, datadir and sysconfdir (relative or absolute).

function(ostrel_absolute out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

ostrel_absolute(OSTREL_BINDIR "${bindir}")
ostrel_absolute(datadir_full "${datadir}")
set(OSTREL_EXAMPLESDIR "${datadir_full}/ostrel/examples")
# GNUInstallDirs' rule: /etc for the prefix /usr, /etc/opt/NAME for /opt/NAME.
if(IS_ABSOLUTE "${sysconfdir}")
  set(OSTREL_SYSCONFDIR "${sysconfdir}")
elseif(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(OSTREL_SYSCONFDIR "/etc")
elseif(CMAKE_INSTALL_PREFIX MATCHES "^/opt/")
  set(OSTREL_SYSCONFDIR "/etc${CMAKE_INSTALL_PREFIX}")
else()
  set(OSTREL_SYSCONFDIR "${CMAKE_INSTALL_PREFIX}/${sysconfdir}")
endif()

foreach(template IN LISTS OSTREL_TEMPLATES)
  configure_file("${OSTREL_SOURCE_DIR}/examples/${template}.in" "${OSTREL_STAGE_DIR}/${template}" @ONLY)
  get_filename_component(subdir "${template}" DIRECTORY)
  file(INSTALL "${OSTREL_STAGE_DIR}/${template}" DESTINATION "${OSTREL_EXAMPLESDIR}/${subdir}"
       USE_SOURCE_PERMISSIONS)
endforeach()
