# Installs systemd/terramod@.service (run by `cmake --install`, `make install`
# and CPack): its ExecStart names terramod where this installation puts it,
# /usr/bin/terramod for the Debian package, /usr/local/bin/terramod for
# `make install`. The prefix is known only now: `cmake --install --prefix`
# and CPack choose it after configuration.
#
# Set by the install rules: terramod_unit_source, terramod_unit_dir
# (relative to the prefix, or absolute), terramod_bindir (the same).

file(READ "${terramod_unit_source}" unit)
set(source_exec "ExecStart=/usr/bin/terramod ")
string(FIND "${unit}" "\n${source_exec}" found)
if(found EQUAL -1)
  message(FATAL_ERROR "${terramod_unit_source} has no line starting \"${source_exec}\": "
                      "the install rules cannot point it at the installed terramod")
endif()

if(IS_ABSOLUTE "${terramod_bindir}")
  set(bindir "${terramod_bindir}")
else()
  set(bindir "${CMAKE_INSTALL_PREFIX}/${terramod_bindir}")
endif()
string(REPLACE "\n${source_exec}" "\nExecStart=${bindir}/terramod " unit "${unit}")

if(IS_ABSOLUTE "${terramod_unit_dir}")
  set(unit_dir "${terramod_unit_dir}")
else()
  set(unit_dir "${CMAKE_INSTALL_PREFIX}/${terramod_unit_dir}")
endif()
get_filename_component(unit_name "${terramod_unit_source}" NAME)
set(target "$ENV{DESTDIR}${unit_dir}/${unit_name}")

message(STATUS "Installing: ${target}")
file(WRITE "${target}" "${unit}")
file(CHMOD "${target}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${target}")
