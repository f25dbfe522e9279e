# Checks zelvonet.dll as a Windows program loads it:
#   - its export table names exactly sendSMS2 and sendSMS, undecorated;
#   - it imports only DLLs that every Windows has (no compiler runtime DLL);
#   - its version resource carries VERSION (x.y.z) as x.y.z.0 in the fixed
#     part and "x, y, z, 0" as FileVersion and ProductVersion, with the
#     product's names.
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

# Version resource. The fixed part follows the signature 0xFEEF04BD:
# struct version, then file version MS, LS and product version MS, LS
# (little-endian 32-bit words; MS = major << 16 | minor).
file(READ ${DLL} hex HEX)
string(FIND "${hex}" "bd04effe" sig)
if(sig LESS 0)
  message(FATAL_ERROR "${DLL} has no version resource")
endif()
function(word_at offset out)  # the little-endian 16-bit value at hex offset
  string(SUBSTRING "${hex}" ${offset} 4 w)
  string(SUBSTRING "${w}" 0 2 lo)
  string(SUBSTRING "${w}" 2 2 hi)
  math(EXPR v "0x${hi}${lo}")
  set(${out} ${v} PARENT_SCOPE)
endfunction()
set(fixed)
foreach(part 16 32)  # hex digits: file version at +8 bytes, product version at +16
  math(EXPR ms "${sig} + ${part}")
  math(EXPR ls "${sig} + ${part} + 8")
  math(EXPR ms_hi "${ms} + 4")
  math(EXPR ls_hi "${ls} + 4")
  word_at(${ms_hi} a)
  word_at(${ms} b)
  word_at(${ls_hi} c)
  word_at(${ls} d)
  list(APPEND fixed "${a}.${b}.${c}.${d}")
endforeach()
if(NOT fixed STREQUAL "${VERSION}.0;${VERSION}.0")
  message(FATAL_ERROR "fixed file/product version is ${fixed}, expected ${VERSION}.0")
endif()

# The strings are UTF-16LE: a key, its NUL, padding to 32 bits, the value.
function(utf16 text out)
  string(HEX "${text}" h)
  string(REGEX REPLACE "(..)" "\\100" h "${h}")
  set(${out} "${h}" PARENT_SCOPE)
endfunction()
string(REPLACE "." ", " version_text "${VERSION}.0")
set(expected
  "FileVersion=${version_text}"
  "ProductVersion=${version_text}"
  "CompanyName=Zelvo"
  "FileDescription=Zelvo SMS gateway client"
  "InternalName=zelvonet"
  "OriginalFilename=zelvonet.dll"
  "ProductName=Zelvo SMS")
foreach(pair IN LISTS expected)
  string(REGEX REPLACE "=.*" "" key "${pair}")
  string(REGEX REPLACE "^[^=]*=" "" value "${pair}")
  utf16("${key}" k)
  utf16("${value}" v)
  if(NOT hex MATCHES "${k}0000(0000)?${v}0000")
    message(FATAL_ERROR "version resource lacks ${key} \"${value}\"")
  endif()
endforeach()

message(STATUS "exports: ${names}; imports: ${imports}; version ${fixed}; strings: ${expected}")
