# Reads the version resource in a Windows program, DLL, object or .res file
# and checks it: FIXED (a.b.c.d) as file and product version in the fixed
# part, and every KEY=VALUE of STRINGS in the string table.
# Usage: cmake -DFILE=<file> -DFIXED=1.0.3.0 "-DSTRINGS=FileVersion=1.0;..." -P check_version_resource.cmake
# (also included by check_dll.cmake with these variables set).
foreach(var FILE FIXED STRINGS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_version_resource.cmake needs -D${var}=...")
  endif()
endforeach()

# The fixed part follows the signature 0xFEEF04BD: struct version, then file
# version MS, LS and product version MS, LS, little-endian 32-bit words with
# MS = major << 16 | minor and LS = patch << 16 | build.
file(READ ${FILE} hex HEX)
string(FIND "${hex}" "bd04effe" sig)
if(sig LESS 0)
  message(FATAL_ERROR "${FILE} has no version resource")
endif()
function(word_at offset out)  # the little-endian 16-bit value at a hex offset
  string(SUBSTRING "${hex}" ${offset} 4 w)
  string(SUBSTRING "${w}" 0 2 lo)
  string(SUBSTRING "${w}" 2 2 hi)
  math(EXPR v "0x${hi}${lo}")
  set(${out} ${v} PARENT_SCOPE)
endfunction()
set(fixed)
foreach(part 16 32)  # in hex digits: file version at +8 bytes, product version at +16
  math(EXPR ms "${sig} + ${part}")
  math(EXPR ms_hi "${ms} + 4")
  math(EXPR ls "${ms} + 8")
  math(EXPR ls_hi "${ms} + 12")
  word_at(${ms_hi} a)
  word_at(${ms} b)
  word_at(${ls_hi} c)
  word_at(${ls} d)
  list(APPEND fixed "${a}.${b}.${c}.${d}")
endforeach()
if(NOT fixed STREQUAL "${FIXED};${FIXED}")
  message(FATAL_ERROR "${FILE}: fixed file;product version is ${fixed}, expected ${FIXED}")
endif()

# The strings are UTF-16LE: a key, its NUL, padding to 32 bits, the value and
# its NUL.
function(utf16 text out)
  string(HEX "${text}" h)
  string(REGEX REPLACE "(..)" "\\100" h "${h}")
  set(${out} "${h}" PARENT_SCOPE)
endfunction()
foreach(pair IN LISTS STRINGS)
  string(REGEX REPLACE "=.*" "" key "${pair}")
  string(REGEX REPLACE "^[^=]*=" "" value "${pair}")
  utf16("${key}" k)
  utf16("${value}" v)
  if(NOT hex MATCHES "${k}0000(0000)?${v}0000")
    message(FATAL_ERROR "${FILE}: the version resource lacks ${key} \"${value}\"")
  endif()
endforeach()
message(STATUS "${FILE}: version ${FIXED} (file and product); ${STRINGS}")
