# Builds the real PE application trees from the sources beside this file.
# Run as: cmake -DSRC=<this folder> -DOUT=<output folder> -P build.cmake
find_program(CLANG NAMES clang clang-14 REQUIRED)
find_program(DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)

function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGV}")
  endif()
endfunction()

set(PE --target=i686-w64-windows-gnu -fuse-ld=lld -nostdlib -O1)
set(DLL_ENTRY -Wl,--entry=DllEntry@12)
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT}/lib ${OUT}/full ${OUT}/missing ${OUT}/lacking)

run(${DLLTOOL} -m i386 -d ${SRC}/beta.def -l ${OUT}/lib/libbeta.a)
run(${DLLTOOL} -m i386 -d ${SRC}/alpha.def -l ${OUT}/lib/libalpha.a)
run(${CLANG} ${PE} -shared -o ${OUT}/full/beta.dll ${SRC}/beta.c ${SRC}/beta.def ${DLL_ENTRY})
run(${CLANG} ${PE} -shared -o ${OUT}/full/alpha.dll ${SRC}/alpha.c ${SRC}/alpha.def ${OUT}/lib/libbeta.a ${DLL_ENTRY})
run(${CLANG} ${PE} -o ${OUT}/full/app.exe ${SRC}/app.c ${OUT}/lib/libalpha.a ${OUT}/lib/libbeta.a -Wl,--entry=AppEntry)

# One DLL missing: beta.dll is not there, so alpha.dll cannot load either.
file(COPY ${OUT}/full/app.exe ${OUT}/full/alpha.dll DESTINATION ${OUT}/missing)
# One DLL lacking an entry the application imports (beta_two).
file(COPY ${OUT}/full/app.exe ${OUT}/full/alpha.dll DESTINATION ${OUT}/lacking)
run(${CLANG} ${PE} -shared -o ${OUT}/lacking/beta.dll ${SRC}/beta.c ${SRC}/beta_lacking.def ${DLL_ENTRY})
