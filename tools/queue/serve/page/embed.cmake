# cmake -DDIR=DIR -DFILES=a.html,b.js -DOUT=FILE.cpp -P embed.cmake
# Writes OUT: each of FILES (in DIR) as a byte array named after the file
# (app.js: zelvoqueue::page::app_js and app_js_size), for page.cpp.
string(REPLACE "," ";" FILES "${FILES}")
set(text "// Written by tools/queue/serve/page/embed.cmake from the files beside it.\n")
string(APPEND text "#include <cstddef>\n\nnamespace zelvoqueue::page {\n")
foreach(name IN LISTS FILES)
  file(READ "${DIR}/${name}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){16})" "\\1\n" bytes "${bytes}")
  string(MAKE_C_IDENTIFIER "${name}" id)
  string(APPEND text "\nextern const unsigned char ${id}[] = {\n${bytes}};\n"
                     "extern const std::size_t ${id}_size = sizeof ${id};\n")
endforeach()
string(APPEND text "\n}  // namespace zelvoqueue::page\n")
file(WRITE "${OUT}" "${text}")
