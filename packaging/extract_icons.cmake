# Takes the 16, 32, 48 and 64 pixel images out of the program's .ico as
# OUT/zelvodesk_<size>.png.
# Usage: cmake -DICOTOOL=<icotool> -DICO=<file.ico> -DOUT=<dir> -P extract_icons.cmake
foreach(size 16 32 48 64)
  execute_process(
    COMMAND ${ICOTOOL} -x --width=${size} --height=${size} --bit-depth=32
            -o ${OUT}/zelvodesk_${size}.png ${ICO}
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT EXISTS ${OUT}/zelvodesk_${size}.png)
    message(FATAL_ERROR "${ICO} holds no ${size}x${size} image of 32 bits per pixel")
  endif()
endforeach()
