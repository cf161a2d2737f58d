// The side-panel logo. logo.xpm is written by tools/make-logo.cpp; the declaration in the header,
// seen first, gives the array its external linkage.
#include "installer_data.h"

#include "logo.xpm"
