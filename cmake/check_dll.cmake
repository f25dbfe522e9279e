# Checks zelvonet.dll as a Windows program loads it:
#   - its export table names exactly sendSMS2 and sendSMS, undecorated;
#   - it imports only DLLs that every Windows has (no compiler runtime DLL);
#   - its version resource carries VERSION (x.y.z) as x.y.z.0 in the fixed
#     part and "x, y, z, 0" as FileVersion and ProductVersion, with the
#     product's names (see check_version_resource.cmake).
# Usage: cmake -DDLL=<zelvonet.dll> -DOBJDUMP=<objdump> -DVERSION=1.0.3 -P check_dll.cmake
foreach(var DLL OBJDUMP VERSION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_dll.cmake needs -D${var}=...")
  endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE pe RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()

# The export names follow the heading "[Ordinal/Name Pointer] Table" up to
# the first empty line.
string(FIND "${pe}" "[Ordinal/Name Pointer] Table" at)
if(at LESS 0)
  message(FATAL_ERROR "no export table in ${DLL}:\n${pe}")
endif()
string(SUBSTRING "${pe}" ${at} -1 table)
string(FIND "${table}" "\n\n" end)
string(SUBSTRING "${table}" 0 ${end} table)
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" entries "${table}")
set(names)
foreach(e IN LISTS entries)
  string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" n "${e}")
  list(APPEND names "${n}")
endforeach()
list(SORT names)
if(NOT names STREQUAL "sendSMS;sendSMS2")
  message(FATAL_ERROR "exports are '${names}', expected exactly sendSMS2 and sendSMS:\n${table}")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${pe}")
string(REPLACE "DLL Name: " "" imports "${imports}")
string(TOUPPER "${imports}" imports)
foreach(dll IN LISTS imports)
  if(NOT dll MATCHES "^(KERNEL32|ADVAPI32|WS2_32|MSVCRT|USER32)\\.DLL$")
    message(FATAL_ERROR "${DLL} imports ${dll}: a Windows user would need it beside the DLL")
  endif()
endforeach()

string(REPLACE "." ", " version_text "${VERSION}.0")
set(FILE ${DLL})
set(FIXED ${VERSION}.0)
set(STRINGS
  "FileVersion=${version_text}"
  "ProductVersion=${version_text}"
  "CompanyName=Zelvo"
  "FileDescription=Zelvo SMS gateway client"
  "InternalName=zelvonet"
  "OriginalFilename=zelvonet.dll"
  "ProductName=Zelvo SMS")
include(${CMAKE_CURRENT_LIST_DIR}/check_version_resource.cmake)

message(STATUS "exports: ${names}; imports: ${imports}")
