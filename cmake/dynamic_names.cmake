# dynamic_names(FILE OPTION OUT): the names in FILE's dynamic symbol table as
# `nm -D OPTION` lists them (for example --defined-only or --undefined-only),
# without symbol versions. Stops the calling script when nm fails.
function(dynamic_names file option out)
  execute_process(COMMAND nm -D ${option} ${file} OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm -D ${option} failed on ${file}")
  endif()
  string(REGEX MATCHALL "[^\n]+" lines "${text}")
  set(names "")
  foreach(line IN LISTS lines)
    # "<address> <type> <name>[@version]"; undefined symbols have no address.
    if(line MATCHES "^[0-9a-fA-F ]* ([A-Za-z]) ([^ @]+)[^ ]*$")
      list(APPEND names "${CMAKE_MATCH_2}")
    endif()
  endforeach()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()
