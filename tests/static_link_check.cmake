# Configures the project with and without a sanitizer among the compiler flags and reads from
# the generated link line whether the program is linked with -static, which a sanitizer
# runtime cannot be. Run as: cmake -DSRC=<source> -DWORK=<scratch> -DCXX=<compiler> -P static_link_check.cmake
foreach(c "-fsanitize=address|dynamic" "-fno-sanitize-recover=all|static")
  string(REPLACE "|" ";" c "${c}")
  list(GET c 0 flags)
  list(GET c 1 want)
  file(REMOVE_RECURSE ${WORK})
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SRC} -B ${WORK} -G "Unix Makefiles" -DCMAKE_CXX_COMPILER=${CXX}
                  -DTALVEK_TESTS=OFF -DTALVEK_BENCH=OFF -DCMAKE_CXX_FLAGS=${flags} RESULT_VARIABLE rc OUTPUT_QUIET)
  file(READ ${WORK}/CMakeFiles/talvek.dir/link.txt link)
  if(link MATCHES " -static( |$)")
    set(got static)
  else()
    set(got dynamic)
  endif()
  if(NOT rc EQUAL 0 OR NOT got STREQUAL want)
    message(FATAL_ERROR "with CMAKE_CXX_FLAGS=${flags} (configure ${rc}) the program is linked ${got}, not ${want}")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
