# Fails when the program IMAGE asks for a C library symbol of a newer version than FLOOR, naming
# each such symbol: the loader of an older glibc would refuse to start it ("version `GLIBC_2.29'
# not found"), silent mode included. Run by the shipped image's rule (installer/CMakeLists.txt):
#
#   cmake -DREADELF=readelf -DIMAGE=sonaris-installer -DFLOOR=2.17 -P GlibcFloor.cmake
execute_process(COMMAND ${READELF} --dyn-syms --wide ${IMAGE}
  OUTPUT_VARIABLE symbols ERROR_VARIABLE complaint RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${READELF} cannot read the symbols of ${IMAGE}: ${complaint}")
endif()
# readelf names a versioned symbol NAME@GLIBC_2.17 (NAME@@... where the image defines it).
string(REGEX MATCHALL "[^ \n]+@GLIBC_[0-9.]+" references "${symbols}")
set(newer)
foreach(reference ${references})
  string(REGEX REPLACE ".*@GLIBC_" "" version "${reference}")
  if(version VERSION_GREATER FLOOR)
    string(REPLACE "@@" "@" reference "${reference}")
    list(APPEND newer "${reference}")
  endif()
endforeach()
if(newer)
  list(REMOVE_DUPLICATES newer)
  list(SORT newer)
  list(JOIN newer ", " named)
  message(FATAL_ERROR "${IMAGE} needs these symbols of a glibc newer than ${FLOOR}, the oldest the "
    "shipped images start on: ${named}. Give them a definition bound to an older version "
    "(installer/glibcfloor.cpp), or leave out the code that needs them.")
endif()
