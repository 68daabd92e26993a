# Configures the project with and without sanitizer flags among the compiler and linker flags
# and reads from the generated link line whether the program is linked with -static: a
# sanitizer runtime cannot be linked statically, so the static link must step aside.
# Run as: cmake -DSRC=<source dir> -DWORK=<scratch dir> -DCXX=<compiler> -P static_link_check.cmake
set(cases
    "CMAKE_CXX_FLAGS=-fsanitize=address|dynamic"
    "CMAKE_EXE_LINKER_FLAGS=-fno-omit-frame-pointer -fsanitize=undefined|dynamic"
    "CMAKE_CXX_FLAGS=-fno-sanitize-recover=all|static")
foreach(c IN LISTS cases)
  string(REPLACE "|" ";" parts "${c}")
  list(GET parts 0 setting)
  list(GET parts 1 want)
  file(REMOVE_RECURSE ${WORK})
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SRC} -B ${WORK} -G "Unix Makefiles" -DCMAKE_CXX_COMPILER=${CXX}
                          -DTALVEK_TESTS=OFF -DTALVEK_BENCH=OFF "-D${setting}"
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "configure with ${setting} failed: ${err}")
  endif()
  file(READ ${WORK}/CMakeFiles/talvek.dir/link.txt link)
  if(link MATCHES " -static( |$)")
    set(got static)
  else()
    set(got dynamic)
  endif()
  if(NOT got STREQUAL want)
    message(FATAL_ERROR "with ${setting} the program is linked ${got}, not ${want}: ${link}")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
