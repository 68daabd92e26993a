# Renders the dependency graph of the PE example application as an SVG picture.
# Run as: cmake -DTOOL=<talvek> -DDOT=<dot> -DDIR=<examples/pe> -P render_graph.cmake
execute_process(COMMAND ${TOOL} -g app.exe WORKING_DIRECTORY ${DIR} OUTPUT_FILE ${DIR}/app.dot RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "talvek -g failed: ${rc}")
endif()
execute_process(COMMAND ${DOT} -Tsvg -o ${DIR}/app.svg ${DIR}/app.dot RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "dot failed: ${rc}")
endif()
