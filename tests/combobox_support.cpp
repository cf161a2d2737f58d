#include "tests/combobox_support.h"

#include <Xm/BulletinB.h>

namespace combotest {

using namespace xtoolkit;

DtComboBoxPart &Part(Widget combo) { return reinterpret_cast<DtComboBoxWidget>(combo)->combo_box; }

std::string FieldText(Widget combo) { return TextValue(Part(combo).textField); }

std::string LabelText(Widget combo) { return StringResource(Part(combo).label, XmNlabelString); }

int SelectedPosition(Widget combo) { return Resource(combo, DtNselectedPosition, -99); }

int ItemCount(Widget combo) { return Resource(combo, DtNitemCount, -1); }

void ComboBoxTest::Open(int x, int y) {
    Toolkit &tk = Toolkit::Shared();
    QVZDtInitComboBox(DefaultVisual(tk.display(), DefaultScreen(tk.display())),
                      DefaultDepth(tk.display(), DefaultScreen(tk.display())));
    shell_ = tk.CreateShell("combotest", x, y);
    board_ = XtVaCreateManagedWidget("board", xmBulletinBoardWidgetClass, shell_, XmNmarginWidth, 0,
                                     XmNmarginHeight, 0, XmNresizePolicy, XmRESIZE_ANY, XmNwidth, 10, XmNheight, 10,
                                     nullptr);
    XtRealizeWidget(shell_);
    PumpUntil([this] { return Viewable(shell_); });
}

void ComboBoxTest::TearDown() {
    if (shell_) XtDestroyWidget(shell_);
    shell_ = nullptr;
    Drain();
}

Widget ComboBoxTest::Create(const Args &args, const char *name) {
    std::vector<Arg> list(args.size());
    for (std::size_t i = 0; i < args.size(); ++i) XtSetArg(list[i], const_cast<char *>(args[i].first), args[i].second);
    const Widget combo = QVZDtCreateComboBox(board_, const_cast<char *>(name), list.data(),
                                             static_cast<Cardinal>(list.size()));
    XtManageChild(combo);
    Drain();
    return combo;
}

Widget ComboBoxTest::CreateWith(int type, const std::vector<const char *> &items, const Args &more) {
    Args args = {{DtNtype, type}};
    args.insert(args.end(), more.begin(), more.end());
    const Widget combo = Create(args);
    int position = 1;
    for (const char *item : items) QVZDtComboBoxAddItem(combo, Str(item).get(), position++, False);
    Drain();
    return combo;
}

}  // namespace combotest
