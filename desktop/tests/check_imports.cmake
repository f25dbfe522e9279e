# Checks how the program binds the library at load time: it needs
# libzelvonet.so.1 by that name, the loader finds it, and of the library's
# functions it imports sendSMS2 alone.
cmake_minimum_required(VERSION 3.16)
execute_process(COMMAND ldd ${PROGRAM} OUTPUT_VARIABLE ldd RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT ldd MATCHES "libzelvonet\\.so\\.1 => ([^ \n]+)")
  message(FATAL_ERROR "the program is not bound to libzelvonet.so.1:\n${ldd}")
endif()
set(bound "${CMAKE_MATCH_1}")

include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/dynamic_names.cmake)

dynamic_names(${PROGRAM} --undefined-only wanted)
dynamic_names(${LIB} --defined-only offered)
set(taken "")
foreach(name IN LISTS wanted)
  if(name IN_LIST offered)
    list(APPEND taken "${name}")
  endif()
endforeach()
if(NOT taken STREQUAL "sendSMS2")
  message(FATAL_ERROR "imports from the library are '${taken}', expected sendSMS2 alone")
endif()
message(STATUS "bound to ${bound}; imports from it: ${taken}")
