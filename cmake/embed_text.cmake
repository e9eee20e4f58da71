# cmake -DINPUT=FILE -DOUTPUT=HEADER -DNAME=IDENTIFIER -P embed_text.cmake
# Writes a C++ header that holds FILE's text as the raw string literal IDENTIFIER, so that the
# file stays the one source of what the program embeds. The header is rewritten only when its
# text changes.
file(READ ${INPUT} text)
set(delimiter "embedded")
string(FIND "${text}" ")${delimiter}\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} holds )${delimiter}\", which would end the literal early")
endif()
get_filename_component(source ${INPUT} NAME)
file(WRITE ${OUTPUT}.new
  "// Generated from ${source} at build time: edit that file, not this one.\n"
  "#pragma once\n\n"
  "constexpr char ${NAME}[] = R\"${delimiter}(${text})${delimiter}\";\n")
configure_file(${OUTPUT}.new ${OUTPUT} COPYONLY)
file(REMOVE ${OUTPUT}.new)
