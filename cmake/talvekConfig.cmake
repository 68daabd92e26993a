# The talvek package for CMake projects that build Windows programs: find_package(talvek)
# gives the talvek program (TALVEK_EXECUTABLE) and one function.
#
#   talvek_deploy(<target> WINDOWS <7|8|8.1|10|11> [DESTINATION <dir>] [SHIP_FROM <dir>...])
#
# At install time the target's file is installed into <dir> (bin when not given, below the
# install prefix unless absolute); then
#   talvek --windows=<version> --ship-from=<dir>... --deploy=<that folder> -q <the file>
# copies every DLL the program must bring beside it, looked up in the SHIP_FROM folders first
# (a Visual C++ redistributable folder, the MinGW runtime folders, another build's output),
# and checks the program there. The install fails unless that check passes, so an install
# that succeeds leaves a complete, checked folder.
get_filename_component(_talvek_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
find_program(TALVEK_EXECUTABLE talvek HINTS "${_talvek_prefix}/bin" NO_CMAKE_FIND_ROOT_PATH)
if(NOT TALVEK_EXECUTABLE)
  set(talvek_FOUND FALSE)
  set(talvek_NOT_FOUND_MESSAGE "the talvek program is not installed beside this package file")
  return()
endif()

function(talvek_deploy target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "WINDOWS;DESTINATION" "SHIP_FROM")
  if(NOT ARG_WINDOWS)
    message(FATAL_ERROR "talvek_deploy(${target}): WINDOWS <version> is needed")
  endif()
  if(NOT ARG_DESTINATION)
    set(ARG_DESTINATION bin)
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${ARG_DESTINATION})
  set(options "--windows=${ARG_WINDOWS}")
  foreach(dir IN LISTS ARG_SHIP_FROM)
    list(APPEND options "--ship-from=${dir}")
  endforeach()
  string(REPLACE ";" "]] [[" options "${options}")
  install(CODE "
    set(_dir [[${ARG_DESTINATION}]])
    if(NOT IS_ABSOLUTE \"\${_dir}\")
      set(_dir \"\${CMAKE_INSTALL_PREFIX}/\${_dir}\")
    endif()
    set(_dir \"\$ENV{DESTDIR}\${_dir}\")
    execute_process(COMMAND [[${TALVEK_EXECUTABLE}]] [[${options}]] \"--deploy=\${_dir}\" -q
                            \"\${_dir}/$<TARGET_FILE_NAME:${target}>\" RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR \"talvek: $<TARGET_FILE_NAME:${target}> in \${_dir} is not complete (exit code \${_rc})\")
    endif()")
endfunction()
