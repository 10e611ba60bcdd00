// The window as laid out, and the state it starts in.
#include "window_fixture.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionButton>

namespace {

struct ControlRow {
    const char* name;
    const char* parent;
    const char* caption;  // nullptr: no caption to check
    int left, top, width, height;
};

void PrintTo(const ControlRow& row, std::ostream* out) { *out << row.name; }

const ControlRow kControls[] = {
    {"GroupBox4", "Form1", "", 0, 0, 601, 369},
    {"GroupBox1", "GroupBox4", "Settings", 8, 8, 217, 177},
    {"Label1", "GroupBox1", "Com Port:", 8, 16, 46, 13},
    {"Label2", "GroupBox1", "Baud:", 8, 40, 28, 13},
    {"Label3", "GroupBox1", "Stop Bits:", 8, 64, 45, 13},
    {"Label4", "GroupBox1", "Parity:", 8, 88, 29, 13},
    {"Label5", "GroupBox1", "Data bits:", 8, 136, 45, 13},
    {"CheckBox1", "GroupBox1", "Check Parity", 64, 112, 97, 17},
    {"ComboBox1", "GroupBox1", nullptr, 64, 16, 145, 21},
    {"ComboBox2", "GroupBox1", nullptr, 64, 40, 145, 21},
    {"ComboBox3", "GroupBox1", nullptr, 64, 64, 145, 21},
    {"ComboBox4", "GroupBox1", nullptr, 64, 88, 145, 21},
    {"ComboBox5", "GroupBox1", nullptr, 64, 136, 145, 21},
    {"GroupBox3", "GroupBox4", "Communication", 232, 8, 361, 321},
    {"Edit1", "GroupBox3", nullptr, 8, 16, 345, 21},
    {"Button1", "GroupBox3", "Send", 184, 48, 75, 25},
    {"CheckBox4", "GroupBox3", "Send as typing", 8, 40, 97, 17},
    {"CheckBox5", "GroupBox3", "Send as number", 8, 56, 97, 17},
    {"GroupBox5", "GroupBox3", "Format ", 8, 80, 345, 41},
    {"RadioButton1", "GroupBox5", "ASCII", 8, 16, 57, 17},
    {"RadioButton2", "GroupBox5", "HEX", 120, 16, 49, 17},
    {"RadioButton3", "GroupBox5", "DEC", 224, 16, 49, 17},
    {"Button2", "GroupBox3", "Clear History", 272, 48, 75, 25},
    // The history's frame belongs to the window, over the same place in the
    // Communication group, so that the history stays readable while disconnected.
    {"GroupBox9", "GroupBox4", "", 240, 136, 345, 177},
    {"Memo1", "GroupBox9", nullptr, 2, 15, 341, 160},
    {"GroupBox2", "GroupBox4", "Commands", 8, 192, 217, 137},
    {"GroupBox6", "GroupBox2", "RTS", 8, 16, 97, 65},
    {"RadioButton4", "GroupBox6", "On", 8, 32, 49, 17},
    {"RadioButton5", "GroupBox6", "Off", 8, 16, 41, 17},
    {"GroupBox7", "GroupBox2", "DTR", 112, 16, 97, 65},
    {"RadioButton6", "GroupBox7", "Off", 8, 16, 49, 17},
    {"RadioButton7", "GroupBox7", "On", 8, 32, 49, 17},
    {"Button5", "GroupBox4", "Close", 512, 336, 75, 25},
    {"Button3", "GroupBox4", "Connect", 8, 336, 97, 25},
    {"Button4", "GroupBox4", "Disconnect", 112, 336, 97, 25},
};

// Siblings in tab order, as the layout table numbers them.
const std::vector<std::vector<const char*>> kTabOrders = {
    {"GroupBox1", "GroupBox3", "GroupBox2", "Button5", "Button3", "Button4"},
    {"CheckBox1", "ComboBox1", "ComboBox2", "ComboBox3", "ComboBox4", "ComboBox5"},
    {"Edit1", "Button1", "CheckBox4", "CheckBox5", "GroupBox5", "Button2", "GroupBox9"},
    {"GroupBox6", "GroupBox7"},
    {"RadioButton4", "RadioButton5"},
    {"RadioButton6", "RadioButton7"},
};

QString Caption(QWidget* w) {
    if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    return {};
}

class ControlLayout : public WindowTest, public ::testing::WithParamInterface<ControlRow> {};

TEST_P(ControlLayout, MatchesTable) {
    const ControlRow& row = GetParam();
    TForm1& w = Open();
    auto* control = w.findChild<QWidget*>(row.name);
    ASSERT_NE(control, nullptr) << row.name;
    EXPECT_EQ(control->parentWidget()->objectName(), row.parent);
    EXPECT_EQ(control->geometry(), QRect(row.left, row.top, row.width, row.height));
    if (row.caption) {
        EXPECT_EQ(Caption(control), row.caption);
    }
}

INSTANTIATE_TEST_SUITE_P(Window, ControlLayout, ::testing::ValuesIn(kControls),
                         [](const auto& info) { return std::string(info.param.name); });

// Linux has no "MS Sans Serif"; whatever stands in for it must keep each caption
// inside the rectangle it was laid out for.
TEST_P(ControlLayout, CaptionFitsItsControl) {
    const ControlRow& row = GetParam();
    TForm1& w = Open();
    auto* control = w.findChild<QWidget*>(row.name);
    const QString caption = Caption(control);
    if (caption.isEmpty() || qobject_cast<QGroupBox*>(control)) return;
    int room = control->width();
    if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        QStyleOptionButton option;
        option.initFrom(button);
        const bool check = qobject_cast<QCheckBox*>(button) != nullptr;
        const bool radio = qobject_cast<QRadioButton*>(button) != nullptr;
        if (check || radio) {
            const QRect text = button->style()->subElementRect(
                check ? QStyle::SE_CheckBoxContents : QStyle::SE_RadioButtonContents, &option, button);
            room = text.width();
        } else {
            room -= 2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin, &option, button);
        }
    }
    EXPECT_LE(control->fontMetrics().horizontalAdvance(caption), room)
        << row.name << " in " << control->font().family().toStdString();
}

TEST_F(WindowTest, WindowIsFixedAtItsPlace) {
    TForm1& w = Open();
    EXPECT_EQ(w.windowTitle(), "Morrel COM Port Tool ver 1.1");
    EXPECT_EQ(w.size(), QSize(601, 369));
    EXPECT_EQ(w.minimumSize(), w.maximumSize());
    EXPECT_EQ(w.pos(), QPoint(263, 121));
    EXPECT_FALSE(w.windowIcon().isNull());
    EXPECT_EQ(w.windowIcon().availableSizes().size(), 5);
}

TEST_F(WindowTest, FocusChainFollowsTabOrderAmongSiblings) {
    TForm1& w = Open();
    QStringList chain;
    QWidget* next = &w;
    do {
        chain << next->objectName();
        next = next->nextInFocusChain();
    } while (next != &w);
    for (const auto& siblings : kTabOrders) {
        qsizetype last = -1;
        for (const char* name : siblings) {
            const qsizetype at = chain.indexOf(name);
            ASSERT_GE(at, 0) << name;
            EXPECT_GT(at, last) << name << " comes too early";
            last = at;
        }
    }
}

TEST_F(WindowTest, StartsDisconnectedWithDefaults) {
    TForm1& w = Open();
    EXPECT_TRUE(w.Button3->isEnabled());
    EXPECT_FALSE(w.Button4->isEnabled());
    EXPECT_TRUE(w.Button5->isEnabled());
    EXPECT_TRUE(w.GroupBox1->isEnabled());
    EXPECT_TRUE(w.GroupBox2->isEnabled());
    EXPECT_FALSE(w.GroupBox3->isEnabled());
    for (QWidget* inside : {static_cast<QWidget*>(w.Edit1), static_cast<QWidget*>(w.Button1),
                            static_cast<QWidget*>(w.Button2), static_cast<QWidget*>(w.RadioButton2)})
        EXPECT_FALSE(inside->isEnabled()) << inside->objectName().toStdString();
    EXPECT_TRUE(w.Memo1->isEnabled()) << "the history stays readable";

    EXPECT_TRUE(w.RadioButton1->isChecked());
    EXPECT_TRUE(w.RadioButton5->isChecked());
    EXPECT_FALSE(w.RadioButton4->isChecked());
    EXPECT_TRUE(w.RadioButton6->isChecked());
    EXPECT_FALSE(w.RadioButton7->isChecked());
    for (QCheckBox* box : {w.CheckBox1, w.CheckBox4, w.CheckBox5}) EXPECT_FALSE(box->isChecked());

    EXPECT_EQ(w.ComboBox2->currentText(), "9600");
    EXPECT_EQ(w.ComboBox2->count(), 20);
    EXPECT_EQ(w.ComboBox3->currentText(), "One Stop Bit");
    EXPECT_EQ(w.ComboBox4->currentText(), "None");
    EXPECT_EQ(w.ComboBox5->currentText(), "Eight");
    for (QComboBox* combo : {w.ComboBox1, w.ComboBox2, w.ComboBox3, w.ComboBox4, w.ComboBox5})
        EXPECT_TRUE(combo->isEditable());

    EXPECT_EQ(History(), "");
    EXPECT_EQ(w.Edit1->text(), "");
    EXPECT_EQ(w.Memo1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
}

TEST_F(WindowTest, RadioButtonsAreExclusiveWithinTheirOwnGroup) {
    TForm1& w = Open();
    QTest::mouseClick(w.RadioButton4, Qt::LeftButton);
    QTest::mouseClick(w.RadioButton7, Qt::LeftButton);
    EXPECT_TRUE(w.RadioButton4->isChecked());
    EXPECT_FALSE(w.RadioButton5->isChecked());
    EXPECT_TRUE(w.RadioButton7->isChecked());
    EXPECT_FALSE(w.RadioButton6->isChecked());
    EXPECT_TRUE(w.RadioButton1->isChecked());
}

TEST_F(WindowTest, PortListHoldsTheMappedPortsInOrder) {
    PtyPair a, b, c;
    MappedPort p12(12, a), p3(3, b), p40(40, c);
    TForm1& w = Open();
    ASSERT_EQ(w.ComboBox1->count(), 3);
    EXPECT_EQ(w.ComboBox1->itemText(0), "COM3");
    EXPECT_EQ(w.ComboBox1->itemText(1), "COM12");
    EXPECT_EQ(w.ComboBox1->itemText(2), "COM40");
    EXPECT_EQ(w.ComboBox1->currentIndex(), 0);
    EXPECT_EQ(w.ComboBox1->currentText(), "COM3");
}

TEST_F(WindowTest, PortListIsEmptyWithoutPorts) {
    TForm1& w = Open();
    EXPECT_EQ(w.ComboBox1->count(), 0);
    EXPECT_EQ(w.ComboBox1->currentIndex(), -1);
}

TEST_F(WindowTest, DisabledGroupTakesNoClicksOrKeys) {
    TForm1& w = Open();
    QTest::mouseClick(w.CheckBox4, Qt::LeftButton);
    QTest::mouseClick(w.RadioButton3, Qt::LeftButton);
    w.Edit1->setFocus();
    QTest::keyClicks(w.Edit1, "abc");
    EXPECT_FALSE(w.CheckBox4->isChecked());
    EXPECT_TRUE(w.RadioButton1->isChecked());
    EXPECT_EQ(w.Edit1->text(), "");
}

}  // namespace
