# Turns the DLL lists of Windows installations into one sorted table in a C++ source:
#   cmake -DDATA=<folder> -DOUT=<file.cpp> -DTABLE=<variable> -P windows_dlls_table.cmake
# Every <folder>/*/*.txt is a list, named by its path below <folder> ("10/System32.txt") and
# given the next bit in the order of those names. A list holds one file name a line; line
# ends may be CRLF, blank lines and blanks around a name are dropped, names are lower-cased
# (Windows compares them ignoring case) and a name repeated in a list counts once. The
# source defines `extern const WINDOWS_DLL_TABLE <variable>` (platform/windows_dlls.h): each
# distinct name once, in ascending byte order, with a mask of the lists that hold it.
cmake_minimum_required(VERSION 3.20)

foreach(var DATA OUT TABLE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "windows_dlls_table.cmake: -D${var}=... is missing")
  endif()
endforeach()

get_filename_component(DATA "${DATA}" ABSOLUTE)
file(GLOB lists RELATIVE "${DATA}" "${DATA}/*/*.txt")
list(SORT lists)
list(LENGTH lists cLists)
if(cLists EQUAL 0 OR cLists GREATER 16)
  message(FATAL_ERROR "${DATA}: ${cLists} lists, the table holds 1 to 16")
endif()

set(names "")
set(bit 0)
foreach(list IN LISTS lists)
  set(file "${DATA}/${list}")
  if(list MATCHES "[^A-Za-z0-9._+~/-]")
    message(FATAL_ERROR "${file}: a list's path holds a character other than A-Z a-z 0-9 . _ + ~ - /")
  endif()
  # A NUL byte would silently end the text that file(READ) gives, so the bytes are looked at
  # first. A character outside those of a plain DLL file name would end up in a CMake list
  # or a C++ string literal as syntax.
  file(READ "${file}" bytes HEX)
  string(REGEX MATCHALL ".." bytes "${bytes}")
  list(FIND bytes "00" iNul)
  if(NOT iNul EQUAL -1)
    message(FATAL_ERROR "${file}: holds a NUL byte")
  endif()
  file(READ "${file}" text)
  string(REGEX MATCH "[^A-Za-z0-9._+~ \t\r\n-]" bad "${text}")
  if(NOT bad STREQUAL "")
    message(FATAL_ERROR "${file}: a name holds a character other than A-Z a-z 0-9 . _ + ~ -")
  endif()
  string(TOLOWER "${text}" text)
  string(REGEX REPLACE "[\r\n]" ";" lines "${text}")
  math(EXPR mask "1 << ${bit}")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" name)
    if(name STREQUAL "")
      continue()
    endif()
    if(name MATCHES "[ \t]")
      message(FATAL_ERROR "${file}: '${name}' holds a blank")
    endif()
    if(DEFINED "lists_of_${name}")
      math(EXPR "lists_of_${name}" "${lists_of_${name}} | ${mask}")
    else()
      set("lists_of_${name}" ${mask})
      list(APPEND names "${name}")
    endif()
  endforeach()
  math(EXPR bit "${bit} + 1")
endforeach()
list(SORT names)
list(LENGTH names cNames)
if(cNames EQUAL 0)
  message(FATAL_ERROR "${DATA}: the lists hold no name")
endif()

set(list_names "")
foreach(list IN LISTS lists)
  string(APPEND list_names "    \"${list}\",\n")
endforeach()
set(text "")
set(starts " 0,")
set(masks "")
set(ofs 0)
set(i 0)
foreach(name IN LISTS names)
  string(LENGTH "${name}" len)
  math(EXPR ofs "${ofs} + ${len}")
  math(EXPR mask "${lists_of_${name}}" OUTPUT_FORMAT HEXADECIMAL)
  # No name character needs an escape between quotes (the check above).
  string(REGEX REPLACE "(.)" "'\\1'," chars "${name}")
  string(APPEND text "    ${chars}\n")
  string(APPEND starts " ${ofs},")
  string(APPEND masks " ${mask},")
  math(EXPR i "${i} + 1")
  if(i EQUAL 8)
    string(APPEND starts "\n   ")
    string(APPEND masks "\n   ")
    set(i 0)
  endif()
endforeach()

file(WRITE "${OUT}" "// DLL lists of Windows installations as one sorted table, made by windows_dlls_table.cmake.
#include \"platform/windows_dlls.h\"

namespace talvek {

namespace {

const char* const ListNames[] = {
${list_names}};

// Bytes rather than a string literal: the names add up to more than the 65,536 characters
// that compilers need to accept in one literal.
const char NameText[] = {
${text}};

const uint32_t NameStarts[] = {
   ${starts}
};

const uint16_t NameLists[] = {
   ${masks}
};

}  // namespace

extern const WINDOWS_DLL_TABLE ${TABLE} = {ListNames, ${cLists}, NameText, NameStarts, NameLists, ${cNames}};

}  // namespace talvek
")
