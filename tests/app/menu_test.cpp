// The menu bar: where it stands, its items, their shortcuts and when they are
// disabled; and the names every control gives assistive technology.
#include "window_fixture.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>

namespace {

using MenuTest = WindowTest;

QAction* Item(const TForm1& form, const char* name) { return form.findChild<QAction*>(QString::fromLatin1(name)); }

// The form keeps its own area below the menu bar: the window grows by the bar's
// height, and every control stays where it is within the form.
TEST_F(MenuTest, TheFormStandsWholeBelowTheMenuBar) {
    TForm1& form = Open();
    const int bar = form.MenuBar->height();
    EXPECT_GT(bar, 0);
    EXPECT_EQ(form.MenuBar->geometry(), QRect(0, 0, 601, bar));
    EXPECT_EQ(form.size(), QSize(601, 369 + bar));
    EXPECT_EQ(form.GroupBox4->mapTo(&form, QPoint(0, 0)), QPoint(0, bar));
    EXPECT_EQ(form.GroupBox4->size(), QSize(601, 369));
    EXPECT_EQ(form.Button4->mapTo(form.GroupBox4, QPoint(0, 0)), QPoint(112, 336));
    // At the form's place where the screen has room for it there (offscreen,
    // 800 wide: not across), else moved only as far as it takes to be all on it.
    const QRect room = form.screen()->availableGeometry();
    EXPECT_TRUE(room.contains(QRect(form.pos(), form.size())));
    EXPECT_EQ(form.pos(), QPoint(std::min(263, room.right() + 1 - form.width()), 121));
}

struct ItemCase {
    const char* name;
    const char* menu;
    const char* text;  // with its mnemonic
    QKeySequence shortcut;
};

// Every item, in its menu, with its mnemonic and shortcut; the real shortcuts act.
TEST_F(MenuTest, ItemsStandInTheirMenusWithMnemonicsAndShortcuts) {
    TForm1& form = Open();
    const ItemCase items[] = {
        {"SaveHistoryAs", "FileMenu", "&Save History As\u2026", QKeySequence("Ctrl+S")},
        {"LogToFile", "FileMenu", "&Log to File\u2026", {}},
        {"Quit", "FileMenu", "&Quit", QKeySequence("Ctrl+Q")},
        {"Copy", "EditMenu", "&Copy", QKeySequence::Copy},
        {"SelectAll", "EditMenu", "Select &All", QKeySequence::SelectAll},
        {"Find", "EditMenu", "&Find\u2026", QKeySequence("Ctrl+F")},
        {"FindNext", "EditMenu", "Find &Next", QKeySequence(Qt::Key_F3)},
        {"FindPrevious", "EditMenu", "Find Pre&vious", QKeySequence(Qt::SHIFT | Qt::Key_F3)},
        {"ClearHistory", "EditMenu", "C&lear History", {}},
        {"TimestampsNone", "TimestampsMenu", "&None", {}},
        {"TimestampsTimeOfDay", "TimestampsMenu", "&Time of Day", {}},
        {"TimestampsSinceConnect", "TimestampsMenu", "Since &Connect", {}},
        {"TimestampsSincePrevious", "TimestampsMenu", "Since &Previous Line", {}},
        {"LineEndNone", "LineEndMenu", "&None", {}},
        {"LineEndCr", "LineEndMenu", "&CR", {}},
        {"LineEndLf", "LineEndMenu", "&LF", {}},
        {"LineEndCrLf", "LineEndMenu", "CR L&F", {}},
        {"InputText", "InputMenu", "&Text", {}},
        {"InputHexBytes", "InputMenu", "&Hex Bytes", {}},
        {"InputEscapes", "InputMenu", "Text with &Escapes", {}},
        {"SendBreak", "SendMenu", "Send &Break", {}},
        {"KeyboardShortcuts", "HelpMenu", "&Keyboard Shortcuts", {}},
        {"About", "HelpMenu", "&About", {}},
    };
    for (const ItemCase& c : items) {
        SCOPED_TRACE(c.name);
        QAction* action = Item(form, c.name);
        ASSERT_NE(action, nullptr);
        const auto* menu = form.findChild<QMenu*>(QString::fromLatin1(c.menu));
        ASSERT_NE(menu, nullptr);
        EXPECT_TRUE(menu->actions().contains(action));
        EXPECT_EQ(action->text(), QString::fromUtf8(c.text));
        EXPECT_EQ(action->shortcut(), c.shortcut);
    }
    QStringList titles;
    for (QAction* menu : form.MenuBar->actions()) titles << menu->text();
    EXPECT_EQ(titles, QStringList({"&File", "&Edit", "&View", "&Send", "&Help"}));
    EXPECT_TRUE(Item(form, "LineEndNone")->isChecked() && Item(form, "InputText")->isChecked()) << "start as always";

    QSignalSpy quit(Item(form, "Quit"), &QAction::triggered);
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    form.Button3->setFocus();
    QTest::keyClick(form.Button3, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(quit.count(), 1);
}

// Items that cannot act are disabled: Send Break and Clear History while
// disconnected, Copy with no selection, Save with nothing to save.
TEST_F(MenuTest, ItemsThatCannotActAreDisabled) {
    PtyPair pty;
    MappedPort port(3, pty);
    TForm1& form = Open();
    QMenu* edit = form.findChild<QMenu*>("EditMenu");
    const auto enabled = [&] {
        emit edit->aboutToShow();
        std::string states;
        for (const char* name : {"SendBreak", "ClearHistory", "Copy", "SaveHistoryAs"})
            states += Item(form, name)->isEnabled() ? '1' : '0';
        return states;
    };
    EXPECT_EQ(enabled(), "0000");
    ASSERT_TRUE(Connect());
    EXPECT_EQ(enabled(), "1101");
    form.Memo1->selectAll();
    EXPECT_EQ(enabled(), "1111");
    Disconnect();
    EXPECT_EQ(enabled(), "0011");
    // One save at a time.
    QTemporaryDir dir;
    ASSERT_TRUE(form.Memo1->saveHistory(dir.filePath(QStringLiteral("saved.txt"))));
    EXPECT_EQ(enabled(), "0010");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form.Memo1->isSaving(); }, 10000));
    EXPECT_EQ(enabled(), "0011");
}

// Every control says what it is; captions alike ("On", "Off") are told apart.
TEST_F(MenuTest, EveryControlHasAnAccessibleName) {
    TForm1& form = Open();
    const std::pair<const char*, const char*> named[] = {
        {"RadioButton4", "RTS On"},     {"RadioButton5", "RTS Off"},  {"RadioButton6", "DTR Off"},
        {"RadioButton7", "DTR On"},     {"RadioButton1", "Format ASCII"}, {"Edit1", "Text to send"},
        {"Memo1", "History"},           {"ComboBox1", "Com Port"},    {"ComboBox2", "Baud"},
        {"Button1", "Send"},
    };
    for (const auto& [object, name] : named)
        EXPECT_EQ(form.findChild<QWidget*>(object)->accessibleName(), name) << object;
    // The table's controls are named by kind and number; none is left unnamed.
    int controls = 0;
    for (QWidget* w : form.findChildren<QWidget*>()) {
        if (!QRegularExpression("^(GroupBox|Label|CheckBox|ComboBox|Edit|Button|RadioButton|Memo)\\d+$")
                 .match(w->objectName())
                 .hasMatch())
            continue;
        ++controls;
        EXPECT_FALSE(w->accessibleName().isEmpty()) << w->objectName().toStdString();
    }
    EXPECT_EQ(controls, 35);
    EXPECT_FALSE(form.MenuBar->accessibleName().isEmpty());
}

}  // namespace
