// What the combo box tests share: a realized shell to put combo boxes in, compound strings, and
// reading what a combo box shows.
#ifndef SONARIS_TESTS_COMBOBOX_SUPPORT_H
#define SONARIS_TESTS_COMBOBOX_SUPPORT_H

// GoogleTest before the X headers: X.h defines None, a name GoogleTest uses.
#include <gtest/gtest.h>

#include "combobox/DtComboBoxP.h"
#include "combobox/xmstr.h"
#include "tests/xtoolkit.h"

#include <string>
#include <utility>
#include <vector>

namespace combotest {

using xtoolkit::TextOf;

DtComboBoxPart &Part(Widget combo);
std::string FieldText(Widget combo);  // the text field's value
std::string LabelText(Widget combo);  // the label's labelString
int SelectedPosition(Widget combo);
int ItemCount(Widget combo);

using Args = std::vector<std::pair<const char *, XtArgVal>>;

// Each test gets a fresh shell with a bulletin board in it, realized and mapped at (x, y).
class ComboBoxTest : public testing::Test {
protected:
    void SetUp() override { Open(100, 100); }
    void TearDown() override;
    void Open(int x, int y);

    // A managed combo box in the board.
    Widget Create(const Args &args, const char *name = "combo");
    // A managed combo box of the given type holding the items, first added first.
    Widget CreateWith(int type, const std::vector<const char *> &items, const Args &more = {});

    Widget shell_ = nullptr;
    Widget board_ = nullptr;
};

}  // namespace combotest

#endif
