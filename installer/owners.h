// Move-only owners for the C resources the installer holds: compound strings (XmStr: combobox/xmstr.h)
// and text allocated by the toolkit (stdio streams: posix/file.h). Destructors never throw.
#ifndef SONARIS_OWNERS_H
#define SONARIS_OWNERS_H

#include "combobox/xmstr.h"
#include "posix/file.h"

#include <Xm/Xm.h>

#include <memory>

// A compound string in which every "\n" is a line break.
inline XmStr MakeXmString(const char *text) {
    return XmStr(XmStringCreateLtoR(const_cast<char *>(text), const_cast<char *>(XmSTRING_DEFAULT_CHARSET)));
}

struct XtFreer {
    void operator()(char *p) const noexcept { XtFree(p); }
};
using XtText = std::unique_ptr<char, XtFreer>;

#endif
