# sonaris_text_literal(VAR FILE): sets VAR to the text of FILE as the inside of a C string literal,
# one source line per line of text, and reconfigures when FILE changes.
function(sonaris_text_literal var file)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
  file(READ ${file} text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  string(REPLACE "?" "\\?" text "${text}")  # no trigraph can form
  string(REPLACE "\t" "\\t" text "${text}")
  string(REPLACE "\r" "\\r" text "${text}")  # a raw CR would end the literal
  string(REPLACE "\n" "\\n\"\n    \"" text "${text}")
  set(${var} "${text}" PARENT_SCOPE)
endfunction()
