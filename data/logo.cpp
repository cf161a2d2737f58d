// The side-panel logo. logo.xpm is written by data/make-logo.cpp; the declaration in the header,
// seen first, gives the array its external linkage.
#include "data/installer_data.h"

#include "data/logo.xpm"
