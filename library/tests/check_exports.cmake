# Checks the shared library's dynamic symbol table and SONAME: it defines
# exactly the functions sendSMS2 and sendSMS, and its SONAME is the one
# derived from the project version.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/dynamic_names.cmake)
dynamic_names(${LIB} --defined-only names)
list(SORT names)
if(NOT names STREQUAL "sendSMS;sendSMS2")
  message(FATAL_ERROR "exported symbols are '${names}', expected exactly sendSMS and sendSMS2")
endif()
execute_process(COMMAND objdump -p ${LIB} OUTPUT_VARIABLE dyn)
if(NOT dyn MATCHES "SONAME +libzelvonet\\.so\\.1\n")
  message(FATAL_ERROR "SONAME is not libzelvonet.so.1:\n${dyn}")
endif()
message(STATUS "exports: ${names}; SONAME libzelvonet.so.1 (${SONAME_LINK})")
