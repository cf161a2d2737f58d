// Shows one page of the installer window, or the error dialog, for screenshots:
//   window-show 1|2|3|error [toolkit options]
//   window-show install INSTALLER DEST [toolkit options]  (the dialog of a real installation)
#include "combobox/DtComboBox.h"
#include "installer/installer.h"
#include "installer/navigation.h"
#include "installer/window.h"

#include <Xm/TextF.h>
#include <Xm/Xm.h>

#include <string>

int main(int argc, char **argv) {
    const std::string what = argc > 1 ? argv[1] : "1";
    InstallerWidgets.argv = argv;
    BuildWindow(&argc, argv);
    InstallerWidgetsRec &iw = InstallerWidgets;
    if (what == "2") {
        XtManageChild(iw.page2form);
        XtUnmanageChild(iw.page1form);
        XRaiseWindow(XtDisplay(iw.page2dirlabel), XtWindow(iw.page2dirlabel));
        XRaiseWindow(XtDisplay(iw.page2buttons), XtWindow(iw.page2buttons));
    } else if (what == "3") {
        iw.progress = 62.5f;
        XtManageChild(iw.page3form);
        XtUnmanageChild(iw.page1form);
    } else if (what == "error") {
        ShowError("Can not make directory /opt/Sonaris8");
    } else if (what == "install" && argc > 3) {
        static char *installer[] = {argv[2], nullptr};
        iw.argv = installer;
        OpenInstallerFile(installer[0], false);
        Accept(nullptr, nullptr, nullptr);
        Widget field = nullptr;
        XtVaGetValues(iw.page2dircombobox, DtNtextField, &field, nullptr);
        XmTextFieldSetString(field, argv[3]);
        Install(nullptr, nullptr, nullptr);
    }
    XtAppMainLoop(iw.appContext);
}
