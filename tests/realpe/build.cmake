# Builds the real PE application trees from the sources beside this file.
# Run as: cmake -DSRC=<this folder> -DOUT=<output folder> [-DMINGW_GXX=<compiler>] -P build.cmake
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
file(MAKE_DIRECTORY ${OUT}/lib ${OUT}/full ${OUT}/missing ${OUT}/lacking ${OUT}/unforwarded ${OUT}/lib64 ${OUT}/full64
     ${OUT}/modern ${OUT}/modern64)

run(${DLLTOOL} -m i386 -d ${SRC}/beta.def -l ${OUT}/lib/libbeta.a)
run(${DLLTOOL} -m i386 -d ${SRC}/alpha.def -l ${OUT}/lib/libalpha.a)
run(${CLANG} ${PE} -shared -o ${OUT}/full/beta.dll ${SRC}/beta.c ${SRC}/beta.def ${DLL_ENTRY})
# alpha.def serves the import library only. lld 14 prefixes the target of a forwarder read
# from a .def file with an underscore on i386 ("_beta.beta_target", a DLL that does not
# exist), so the DLL takes its exports from linker options, which keep the text as given.
run(${CLANG} ${PE} -shared -o ${OUT}/full/alpha.dll ${SRC}/alpha.c ${OUT}/lib/libbeta.a ${DLL_ENTRY}
    -Wl,-Xlink=-export:alpha_one -Wl,-Xlink=-export:alpha_fwd=beta.beta_target)
run(${CLANG} ${PE} -o ${OUT}/full/app.exe ${SRC}/app.c ${OUT}/lib/libalpha.a ${OUT}/lib/libbeta.a -Wl,--entry=AppEntry)

# One DLL missing: beta.dll is not there, so alpha.dll cannot load either.
file(COPY ${OUT}/full/app.exe ${OUT}/full/alpha.dll DESTINATION ${OUT}/missing)
# One DLL lacking an entry the application imports (beta_two).
file(COPY ${OUT}/full/app.exe ${OUT}/full/alpha.dll DESTINATION ${OUT}/lacking)
run(${CLANG} ${PE} -shared -o ${OUT}/lacking/beta.dll ${SRC}/beta.c ${SRC}/beta_lacking.def ${DLL_ENTRY})
# beta.dll without the target of alpha.dll's forwarder: alpha.dll still loads (it imports
# beta_one only), but its forwarded entry does not resolve.
file(COPY ${OUT}/full/app.exe ${OUT}/full/alpha.dll DESTINATION ${OUT}/unforwarded)
run(${CLANG} ${PE} -shared -o ${OUT}/unforwarded/beta.dll ${SRC}/beta.c ${SRC}/beta_unforwarded.def ${DLL_ENTRY})

# The same tree as 64-bit x64 modules (PE32+), for the 64-bit report and the machine rule of
# the DLL search. x64 names carry no underscore, so the .def files serve the DLLs as well.
set(PE64 --target=x86_64-w64-windows-gnu -fuse-ld=lld -nostdlib -O1)
run(${DLLTOOL} -m i386:x86-64 -d ${SRC}/beta.def -l ${OUT}/lib64/libbeta.a)
run(${DLLTOOL} -m i386:x86-64 -d ${SRC}/alpha.def -l ${OUT}/lib64/libalpha.a)
run(${CLANG} ${PE64} -shared -o ${OUT}/full64/beta.dll ${SRC}/beta.c ${SRC}/beta.def -Wl,--entry=DllEntry)
run(${CLANG} ${PE64} -shared -o ${OUT}/full64/alpha.dll ${SRC}/alpha.c ${OUT}/lib64/libbeta.a -Wl,--entry=DllEntry
    -Wl,-Xlink=-export:alpha_one -Wl,-Xlink=-export:alpha_fwd=beta.beta_target)
run(${CLANG} ${PE64} -o ${OUT}/full64/app.exe ${SRC}/app.c ${OUT}/lib64/libalpha.a ${OUT}/lib64/libbeta.a -Wl,--entry=AppEntry)

# A program as current toolchains make it, in both widths: the C runtime imported through the
# API set api-ms-win-crt-runtime-l1-1-0.dll, kernel32.dll, and beta.dll delay-loaded, with
# beta.dll beside it.
foreach(width 32 64)
  if(width EQUAL 32)
    set(machine i386)
    set(flags ${PE})
    set(lib ${OUT}/lib)
    set(dir ${OUT}/modern)
  else()
    set(machine i386:x86-64)
    set(flags ${PE64})
    set(lib ${OUT}/lib64)
    set(dir ${OUT}/modern64)
  endif()
  run(${DLLTOOL} -m ${machine} -d ${SRC}/ucrt.def -l ${lib}/libucrt.a)
  run(${DLLTOOL} -m ${machine} -d ${SRC}/kernel32.def -l ${lib}/libkernel32.a)
  run(${CLANG} ${flags} -o ${dir}/app.exe ${SRC}/modern.c ${lib}/libucrt.a ${lib}/libkernel32.a ${lib}/libbeta.a
      -Wl,--entry=AppEntry -Wl,-delayload=beta.dll)
endforeach()
file(COPY ${OUT}/full/beta.dll DESTINATION ${OUT}/modern)
file(COPY ${OUT}/full64/beta.dll DESTINATION ${OUT}/modern64)

# A program for the Visual C++ runtime as clang makes it, vcruntime140.dll imported through an
# import library of llvm-dlltool, and kernel32.dll; vcrt/sys holds a vcruntime140.dll, as the
# system folder of a Wine installation does.
file(MAKE_DIRECTORY ${OUT}/vcrt/sys)
run(${DLLTOOL} -m i386:x86-64 -d ${SRC}/vcruntime.def -l ${OUT}/lib64/libvcruntime.a)
run(${CLANG} ${PE64} -shared -o ${OUT}/vcrt/sys/vcruntime140.dll ${SRC}/vcruntime.c ${SRC}/vcruntime.def
    -Wl,--entry=DllEntry)
run(${CLANG} ${PE64} -o ${OUT}/vcrt/app.exe ${SRC}/vcapp.c ${OUT}/lib64/libvcruntime.a ${OUT}/lib64/libkernel32.a
    -Wl,--entry=AppEntry)

# A plugin and the program that loads it, x64: plugin/host holds host.exe and the beta.dll it
# imports, plugin/ext plugin.dll, which imports from both; run.txt names the report checks' runs.
file(MAKE_DIRECTORY ${OUT}/plugin/host ${OUT}/plugin/ext)
run(${DLLTOOL} -m i386:x86-64 -d ${SRC}/host.def -l ${OUT}/lib64/libhost.a)
run(${CLANG} ${PE64} -o ${OUT}/plugin/host/host.exe ${SRC}/host.c ${OUT}/lib64/libbeta.a -Wl,--entry=AppEntry)
run(${CLANG} ${PE64} -shared -o ${OUT}/plugin/ext/plugin.dll ${SRC}/plugin.c ${OUT}/lib64/libhost.a ${OUT}/lib64/libbeta.a
    -Wl,--entry=DllEntry)
file(COPY ${OUT}/full64/beta.dll DESTINATION ${OUT}/plugin/host)
file(WRITE ${OUT}/plugin/run.txt "$TREE/ext/plugin.dll\n--host=$TREE/host/host.exe $TREE/ext/plugin.dll\n")

# A C++ program of the MinGW-w64 cross compiler, linked against its runtime DLLs, when it is there.
if(MINGW_GXX)
  file(MAKE_DIRECTORY ${OUT}/mingw)
  run(${MINGW_GXX} -O1 -o ${OUT}/mingw/app.exe ${SRC}/mingw.cpp)
endif()
