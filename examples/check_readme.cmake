# Runs every command of the README's ```console blocks and compares what it prints with
# the block. Run as: cmake -DREADME=<README.md> -DBUILD=<build dir> -DWORK=<scratch dir> -P check_readme.cmake
#
# The README shows the runs of a clone at /tmp/talvek. They are repeated in WORK, which
# holds only a link named "build" to the build folder, so the commands run as written and
# the absolute paths the tool prints differ from the README's only in that prefix. The DLL
# search sees an empty PATH and an empty WINEPATH, so no system folder takes part.
cmake_minimum_required(VERSION 3.20)
set(SHOWN_ROOT /tmp/talvek)

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/empty)
file(CREATE_LINK ${BUILD} ${WORK}/build SYMBOLIC)

file(READ ${README} rest)
set(OPEN "```console\n$ ")
string(LENGTH "${OPEN}" open_len)
set(count 0)
set(failures "")
while(TRUE)
  string(FIND "${rest}" "${OPEN}" at)
  if(at EQUAL -1)
    break()
  endif()
  math(EXPR at "${at} + ${open_len}")
  string(SUBSTRING "${rest}" ${at} -1 rest)
  string(FIND "${rest}" "\n```" end)
  if(end EQUAL -1)
    message(FATAL_ERROR "unterminated console block in ${README}")
  endif()
  string(SUBSTRING "${rest}" 0 ${end} block)
  math(EXPR end "${end} + 4")
  string(SUBSTRING "${rest}" ${end} -1 rest)

  # The first line is the command after "$ ", the rest is what it prints.
  string(FIND "${block}" "\n" nl)
  string(SUBSTRING "${block}" 0 ${nl} command)
  math(EXPR nl "${nl} + 1")
  string(SUBSTRING "${block}" ${nl} -1 expected)
  string(APPEND expected "\n")

  # A command that ends in the shell's echo of the exit code shows it as its last line.
  set(ECHO_RC [[; echo "exit code $?"]])
  set(shows_rc FALSE)
  string(FIND "${command}" "${ECHO_RC}" echo_at)
  if(NOT echo_at EQUAL -1)
    set(shows_rc TRUE)
    string(SUBSTRING "${command}" 0 ${echo_at} run_command)
  else()
    set(run_command "${command}")
  endif()
  separate_arguments(argv UNIX_COMMAND "${run_command}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPATH= PATH=${WORK}/empty ${argv}
                  WORKING_DIRECTORY ${WORK} RESULT_VARIABLE rc OUTPUT_VARIABLE printed ERROR_VARIABLE printed)
  string(REPLACE "${WORK}/" "${SHOWN_ROOT}/" printed "${printed}")
  if(shows_rc)
    string(APPEND printed "exit code ${rc}\n")
    set(rc 0)
  endif()
  math(EXPR count "${count} + 1")
  if(NOT rc EQUAL 0 OR NOT printed STREQUAL expected)
    string(APPEND failures "\n$ ${command}\nexit code ${rc}, printed:\n${printed}\nREADME shows:\n${expected}")
  endif()
endwhile()

file(REMOVE ${WORK}/build)
file(REMOVE_RECURSE ${WORK})
if(count EQUAL 0)
  message(FATAL_ERROR "no console block found in ${README}")
endif()
if(NOT failures STREQUAL "")
  message(FATAL_ERROR "README runs differ:${failures}")
endif()
message(STATUS "${count} README runs print what the README shows")
