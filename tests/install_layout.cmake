# Installs the build into a staging folder (DESTDIR) and checks that the
# executable, the desktop entry, its icons, the systemd user unit, the manual
# page and the copyright file and changelog are at their standard places,
# that they name each other rightly, and that the staged executable runs. Run by ctest (install_layout), or by hand:
#   cmake -DBUILD_DIR=build -DSTAGE_DIR=/tmp/stage -DPREFIX=/usr/local \
#         -DBINDIR=bin -DDATADIR=share -DLIBEXECDIR=libexec -P tests/install_layout.cmake
foreach(var BUILD_DIR STAGE_DIR PREFIX BINDIR DATADIR LIBEXECDIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${STAGE_DIR}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env "DESTDIR=${STAGE_DIR}" ${CMAKE_COMMAND} --install "${BUILD_DIR}"
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status}):\n${out}")
endif()

set(root "${STAGE_DIR}${PREFIX}")
set(exe "${root}/${BINDIR}/vorlune-server")
# What a headless run becomes: the program without its window.
set(core "${root}/${LIBEXECDIR}/vorlune-server/vorlune-server-core")
set(desktop "${root}/${DATADIR}/applications/vorlune-server.desktop")
set(svg "${root}/${DATADIR}/icons/hicolor/scalable/apps/vorlune-server.svg")
set(png "${root}/${DATADIR}/icons/hicolor/64x64/apps/vorlune-server.png")
set(unit "${root}/lib/systemd/user/vorlune-server.service")
set(man "${root}/${DATADIR}/man/man1/vorlune-server.1.gz")
set(copyright "${root}/${DATADIR}/doc/vorlune-server/copyright")
set(changelog "${root}/${DATADIR}/doc/vorlune-server/changelog.gz")
set(failures "")
foreach(f exe core desktop svg png unit man copyright changelog)
  if(NOT EXISTS "${${f}}")
    string(APPEND failures "missing: ${${f}}\n")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "${failures}installed:\n${out}")
endif()

file(READ "${desktop}" text)
foreach(line "Type=Application" "Exec=vorlune-server" "Icon=vorlune-server")
  if(NOT text MATCHES "(^|\n)${line}\n")
    string(APPEND failures "desktop entry lacks ${line}\n")
  endif()
endforeach()

file(READ "${unit}" text)
# The unit starts the installed program headless, with its settings in the
# user's configuration folder and its page on loopback, waits for it to say
# it is ready, watches it, and restarts it after a failure.
foreach(line "ExecStart=${PREFIX}/${BINDIR}/vorlune-server --headless --settings %E/vorlune-server/vorlune.ini --web 127.0.0.1:15151"
             "Type=notify" "WatchdogSec=30" "Restart=on-failure" "WantedBy=default.target")
  string(FIND "${text}" "\n${line}\n" at)
  if(at LESS 0)
    string(APPEND failures "unit lacks ${line}\n")
  endif()
endforeach()

# The manual page and the changelog are gzip files that hold the text the
# program's version names; the copyright file is machine-readable.
foreach(packed man changelog)
  execute_process(COMMAND gzip -dc "${${packed}}" RESULT_VARIABLE status OUTPUT_VARIABLE text ERROR_VARIABLE err)
  set(${packed}_text "${text}")
  if(NOT status EQUAL 0)
    string(APPEND failures "${${packed}} does not decompress: ${err}\n")
  endif()
endforeach()
execute_process(COMMAND "${exe}" --version OUTPUT_VARIABLE version_line)
string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" version "${version_line}")
string(REPLACE "." "\\." version "${version}")
if(NOT man_text MATCHES "\n\\.TH VORLUNE\\\\-SERVER 1 \"\" \"Vorlune Server ${version}\"")
  string(APPEND failures "manual page: no title line for version '${version}'\n")
endif()
if(NOT changelog_text MATCHES "^vorlune-server \\(${version}\\) ")
  string(APPEND failures "changelog: no entry for version '${version}' at the top\n")
endif()
file(READ "${copyright}" text)
if(NOT text MATCHES "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n")
  string(APPEND failures "copyright: not in the machine-readable format\n")
endif()

execute_process(COMMAND "${exe}" --version RESULT_VARIABLE status OUTPUT_VARIABLE version ERROR_VARIABLE err)
if(NOT status EQUAL 0 OR NOT version MATCHES "^Vorlune Server [0-9]+\\.[0-9]+\\.[0-9]+\n$")
  string(APPEND failures "staged executable: status ${status}, output '${version}${err}'\n")
endif()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
message(STATUS "install layout OK under ${root}")
