# Installs the build into a fresh prefix and runs the installed tool.
# Run as: cmake -DBUILD=<build dir> -DPREFIX=<prefix> -P install_check.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX} RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed: ${rc}")
endif()
if(NOT EXISTS ${PREFIX}/share/man/man1/talvek.1)
  message(FATAL_ERROR "manual page not installed")
endif()
execute_process(COMMAND ${PREFIX}/bin/talvek ? RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_VARIABLE out)
if(NOT rc EQUAL 1 OR NOT err MATCHES "Example: TALVEK myfile.exe\n$" OR NOT out STREQUAL "")
  message(FATAL_ERROR "installed tool misbehaves: rc=${rc} out=[${out}] err=[${err}]")
endif()
