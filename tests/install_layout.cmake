# Installs the build into a staging folder (DESTDIR) and checks that the
# executable, the desktop entry, its icons and the systemd user unit are at
# their standard places, that they name each other rightly, and that the
# staged executable runs. Run by ctest (install_layout), or by hand:
#   cmake -DBUILD_DIR=build -DSTAGE_DIR=/tmp/stage -DPREFIX=/usr/local \
#         -DBINDIR=bin -DDATADIR=share -P tests/install_layout.cmake
foreach(var BUILD_DIR STAGE_DIR PREFIX BINDIR DATADIR)
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
set(desktop "${root}/${DATADIR}/applications/vorlune-server.desktop")
set(svg "${root}/${DATADIR}/icons/hicolor/scalable/apps/vorlune-server.svg")
set(png "${root}/${DATADIR}/icons/hicolor/64x64/apps/vorlune-server.png")
set(unit "${root}/lib/systemd/user/vorlune-server.service")
set(failures "")
foreach(f exe desktop svg png unit)
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
# user's configuration folder and its page on loopback, and restarts it
# after a failure.
foreach(line "ExecStart=${PREFIX}/${BINDIR}/vorlune-server --headless --settings %E/vorlune-server/vorlune.ini --web 127.0.0.1:15151"
             "Restart=on-failure" "WantedBy=default.target")
  string(FIND "${text}" "\n${line}\n" at)
  if(at LESS 0)
    string(APPEND failures "unit lacks ${line}\n")
  endif()
endforeach()

execute_process(COMMAND "${exe}" --version RESULT_VARIABLE status OUTPUT_VARIABLE version ERROR_VARIABLE err)
if(NOT status EQUAL 0 OR NOT version MATCHES "^Vorlune Server [0-9]+\\.[0-9]+\\.[0-9]+\n$")
  string(APPEND failures "staged executable: status ${status}, output '${version}${err}'\n")
endif()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
message(STATUS "install layout OK under ${root}")
