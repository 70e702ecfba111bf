# SPDX-License-Identifier: GPL-3.0-or-later
# Run by `cmake --install` after the files are in place. Installed straight
# onto the running system as root (no DESTDIR), it makes the marvane user and
# /var/lib/marvane now, as a package would when it is installed, and has
# systemd read the new unit. A staged install leaves that to whoever installs
# the staged files.
if(NOT "$ENV{DESTDIR}" STREQUAL "")
  return()
endif()
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT uid STREQUAL "0")
  message(STATUS "Not root: the marvane user and /var/lib/marvane are not made; as root run "
                 "systemd-sysusers ${MARVANE_SYSUSERS_FILE} and "
                 "systemd-tmpfiles --create ${MARVANE_TMPFILES_FILE}")
  return()
endif()
find_program(SYSUSERS systemd-sysusers)
find_program(TMPFILES systemd-tmpfiles)
if(SYSUSERS)
  execute_process(COMMAND ${SYSUSERS} ${MARVANE_SYSUSERS_FILE})
endif()
if(TMPFILES)
  execute_process(COMMAND ${TMPFILES} --create ${MARVANE_TMPFILES_FILE})
endif()
if(EXISTS /run/systemd/system)
  execute_process(COMMAND systemctl daemon-reload)
endif()
