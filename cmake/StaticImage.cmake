# How the program image links: every library but the C library statically, so that an installer
# file starts on machines with no X library, Motif or libstdc++ of their own; every other program
# (the packer, the demos, the tests) links the shared ones. The two libraries defined here, `motif`
# (the toolkit: Motif over Xt over Xlib, libXpm for the logo, Xft and fontconfig) and `zlib`,
# choose by the linking program's SONARIS_STATIC property, which sonaris_static_image sets. Under
# the sanitizers and in the fuzz build the image stays dynamic: their runtimes do not go together
# with static archives. Needs the toolkit's find_package and find_library results of the top level.
if(SONARIS_SANITIZE OR SONARIS_FUZZ)
  set(SONARIS_STATIC_IMAGE OFF)
else()
  set(SONARIS_STATIC_IMAGE ON)
endif()
set(static "$<BOOL:$<TARGET_PROPERTY:SONARIS_STATIC>>")
# The oldest C library the shipped images start on (glibc 2.17: RHEL 7, and arm64's first): the
# shipped image's rule refuses one that asks for more (cmake/GlibcFloor.cmake), and the packer
# warns of an image that does.
set(SONARIS_GLIBC_FLOOR 2.17)

# Debian's own archives, in the order of cmake/image-libraries.txt, which scripts/collect-licences
# reads for their notices. The C library, libm, and libdl and libpthread (part of the C library
# from 2.34 on) stay shared.
set(toolkit_static)
if(SONARIS_STATIC_IMAGE)
  set(image_archives)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/image-libraries.txt)
  file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/image-libraries.txt image_libraries REGEX "^[^#]")
  foreach(line ${image_libraries})
    string(REGEX REPLACE " .*" "" archives "${line}")
    string(REPLACE "," ";" archives "${archives}")
    list(APPEND image_archives ${archives})
  endforeach()
  foreach(lib ${image_archives})
    find_library(STATIC_${lib}_ARCHIVE lib${lib}.a)
    if(NOT STATIC_${lib}_ARCHIVE)
      message(FATAL_ERROR "lib${lib}.a is missing: the program image links it statically (scripts/install-deps)")
    endif()
    list(APPEND toolkit_static ${STATIC_${lib}_ARCHIVE})
  endforeach()
  list(APPEND toolkit_static Threads::Threads ${CMAKE_DL_LIBS} m)
endif()

# sonaris_static_image(TARGET): links TARGET as the program image. installer/onexlib.cpp keeps the
# system's shared Xlib out of the process (libXcursor would load it); installer/glibcfloor.cpp
# answers what the archives ask of a C library newer than 2.17 (pow through --wrap).
function(sonaris_static_image target)
  if(SONARIS_STATIC_IMAGE)
    set_target_properties(${target} PROPERTIES SONARIS_STATIC ON)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/installer/onexlib.cpp
                                     ${PROJECT_SOURCE_DIR}/installer/glibcfloor.cpp)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc -Wl,--wrap=dlopen -Wl,--wrap=pow)
  endif()
endfunction()

add_library(motif INTERFACE)
target_include_directories(motif SYSTEM INTERFACE ${MOTIF_INCLUDE_DIR} ${X11_INCLUDE_DIR} ${XFT_INCLUDE_DIRS})
target_link_libraries(motif INTERFACE
  "$<IF:${static},${toolkit_static},${MOTIF_LIBRARY};${X11_Xt_LIB};${X11_Xpm_LIB};${X11_Xext_LIB};${X11_X11_LIB};${XFT_LINK_LIBRARIES}>")

# zlib the same way: whatever links `zlib` makes the same choice.
add_library(zlib INTERFACE)
target_include_directories(zlib SYSTEM INTERFACE ${ZLIB_INCLUDE_DIR})
target_link_libraries(zlib INTERFACE "$<IF:${static},${STATIC_z_ARCHIVE},${ZLIB_SHARED_LIBRARY}>")
