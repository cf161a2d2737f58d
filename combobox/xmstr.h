// A move-only owner of a compound string, and the localized string a program makes its items of.
#ifndef SONARIS_COMBOBOX_XMSTR_H
#define SONARIS_COMBOBOX_XMSTR_H

#include <Xm/Xm.h>

#include <memory>
#include <type_traits>

struct XmStringFreer {
    void operator()(XmString s) const noexcept { XmStringFree(s); }
};
using XmStr = std::unique_ptr<std::remove_pointer_t<XmString>, XmStringFreer>;

inline XmStr Str(const char *text) { return XmStr(XmStringCreateLocalized(const_cast<char *>(text))); }

#endif
