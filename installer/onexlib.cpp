// Linked into the statically linked program image only (see sonaris_static_image).
//
// The image carries its own Xlib. Xlib's cursor code loads the shared libXcursor where the system
// has one, and that brings the system's shared Xlib into the process beside ours: two Xlibs on one
// display, each with its own idea of the display's locks (Debian 11's Xlib in the image with
// Debian 12's shared one crashes at the first cursor). So the image loads no libXcursor, as on a
// system without it: cursors come from the server's cursor font. Everything else loads as asked.
#include <cstring>

extern "C" void *__real_dlopen(const char *file, int mode);

extern "C" void *__wrap_dlopen(const char *file, int mode) {
    if (file && std::strncmp(file, "libXcursor", 10) == 0) return nullptr;
    return __real_dlopen(file, mode);
}
