// Move-only owners for the C resources the installer holds: stdio streams, compound strings and
// text allocated by the toolkit. Destructors never throw; an explicit close reports its error.
#ifndef SONARIS_OWNERS_H
#define SONARIS_OWNERS_H

#include <Xm/Xm.h>

#include <cstdio>
#include <memory>

struct FileCloser {
    void operator()(std::FILE *f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Closes the stream and reports whether everything written to it reached the file.
inline bool Close(File &file) {
    return file ? std::fclose(file.release()) == 0 : true;
}

struct XmStringFreer {
    void operator()(XmString s) const noexcept { XmStringFree(s); }
};
using XmStr = std::unique_ptr<std::remove_pointer_t<XmString>, XmStringFreer>;

// A compound string in which every "\n" is a line break.
inline XmStr MakeXmString(const char *text) {
    return XmStr(XmStringCreateLtoR(const_cast<char *>(text), const_cast<char *>(XmSTRING_DEFAULT_CHARSET)));
}

struct XtFreer {
    void operator()(char *p) const noexcept { XtFree(p); }
};
using XtText = std::unique_ptr<char, XtFreer>;

#endif
