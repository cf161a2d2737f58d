// The two labels around the licence on page 1.
#include "data/installer_data.h"

const char Page1TopText[] =
    "Installation and use of the Sonaris 8 requires\n"
    "acceptance of the following terms and conditions:";

const char Page1BottomText[] =
    "Click \"Accept\" to accept the terms of the license agreement\n"
    "and continue with the Sonaris 8 Setup program.";
