// The order Tab takes through the window's controls: group by group, and within
// each group in the order of its controls, as the form lays them down.
#include "window_fixture.h"

#include <QRegularExpression>

namespace {

using TabOrderTest = WindowTest;

TEST_F(TabOrderTest, TabFollowsTheFormsOrder) {
    TForm1& form = Open();
    const QStringList expected = {
        // Settings
        "CheckBox1", "ComboBox1", "ComboBox2", "ComboBox3", "ComboBox4", "ComboBox5",
        // Communication, the history last
        "Edit1", "Button1", "CheckBox4", "CheckBox5", "RadioButton1", "RadioButton2", "RadioButton3", "Button2",
        "Memo1",
        // Commands: RTS On before Off, although it stands below it
        "RadioButton4", "RadioButton5", "RadioButton6", "RadioButton7",
        // The window's buttons
        "Button5", "Button3", "Button4"};
    const QRegularExpression control("^(CheckBox|ComboBox|Edit|Button|RadioButton|Memo)\\d+$");
    QStringList chain;
    QWidget* w = form.CheckBox1;
    // The chain is a ring through every widget of the window: once round is enough.
    for (int steps = 0; steps < 500 && (chain.isEmpty() || w != form.CheckBox1); ++steps, w = w->nextInFocusChain())
        if ((w->focusPolicy() & Qt::TabFocus) && control.match(w->objectName()).hasMatch())
            chain << w->objectName();
    EXPECT_EQ(chain, expected);
}

}  // namespace
