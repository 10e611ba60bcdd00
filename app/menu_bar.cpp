// The window's menu bar: File, Edit, View, Send and Help. Every item does what a
// control or the history's context menu already does, or chooses how a line is
// sent; the choices start as the form behaves without them.
#include "Unit1.h"

#include "history_find_bar.h"
#include "history_view.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>

#include <functional>

namespace {

// A named item: tests and assistive technology find it by its name.
QAction* AddItem(QMenu* menu, const char* name, const QString& text) {
    QAction* action = menu->addAction(text);
    action->setObjectName(QString::fromLatin1(name));
    return action;
}

// One exclusive choice per item, the first checked.
template <typename Value>
QMenu* AddChoices(QMenu* parent, const QString& title, const char* name,
                  std::initializer_list<std::pair<const char*, QString>> items,
                  std::function<void(Value)> chosen) {
    QMenu* menu = parent->addMenu(title);
    menu->setObjectName(QString::fromLatin1(name));
    auto* group = new QActionGroup(menu);
    int value = 0;
    for (const auto& [itemName, text] : items) {
        QAction* action = AddItem(menu, itemName, text);
        action->setCheckable(true);
        action->setChecked(value == 0);
        group->addAction(action);
        QObject::connect(action, &QAction::triggered, menu, [chosen, v = value] { chosen(static_cast<Value>(v)); });
        ++value;
    }
    return menu;
}

const char* const kShortcutsText =
    "<table>"
    "<tr><td>Ctrl+S</td><td>Save History As\u2026</td></tr>"
    "<tr><td>Ctrl+Q</td><td>Quit</td></tr>"
    "<tr><td>Return</td><td>in the input line: send the line</td></tr>"
    "<tr><td>Up, Down</td><td>in the input line: the lines sent before, newest first</td></tr>"
    "<tr><td>Ctrl+C, Ctrl+A</td><td>in the history: copy, select all</td></tr>"
    "<tr><td>Ctrl+F</td><td>Find in the history\u2026</td></tr>"
    "<tr><td>F3, Shift+F3</td><td>Find Next, Find Previous</td></tr>"
    "<tr><td>Return, Escape</td><td>in the Find box: find next, close the box</td></tr>"
    "</table>"
    "<p>While \"Send as typing\" is checked, every key typed in the input line goes to the "
    "device, Ctrl+S and Ctrl+Q included.</p>";

}  // namespace

void TForm1::CreateMenuBar() {
    MenuBar = new QMenuBar(this);
    MenuBar->setObjectName(QStringLiteral("MenuBar"));
    // Inside the window on every desktop, so the form below keeps its place.
    MenuBar->setNativeMenuBar(false);

    QMenu* file = MenuBar->addMenu(tr("&File"));
    file->setObjectName(QStringLiteral("FileMenu"));
    saveAction_ = AddItem(file, "SaveHistoryAs", tr("&Save History As\u2026"));
    saveAction_->setShortcut(QKeySequence(tr("Ctrl+S")));
    connect(saveAction_, &QAction::triggered, this, [this] {
        if (Memo1->characterCount() > 0) Memo1->chooseSaveFile();
    });
    logAction_ = AddItem(file, "LogToFile", tr("&Log to File\u2026"));
    logAction_->setCheckable(true);
    connect(logAction_, &QAction::triggered, this, [this](bool on) {
        if (on)
            Memo1->chooseLogFile();
        else
            Memo1->stopLog();
        logAction_->setChecked(Memo1->isLogging());
    });
    file->addSeparator();
    QAction* quit = AddItem(file, "Quit", tr("&Quit"));
    quit->setShortcut(QKeySequence(tr("Ctrl+Q")));
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, this, &TForm1::Button5Click);

    QMenu* edit = MenuBar->addMenu(tr("&Edit"));
    edit->setObjectName(QStringLiteral("EditMenu"));
    // The history takes these keys itself while it has the focus, and the input
    // line takes them for its own text: here they are only shown.
    copyAction_ = AddItem(edit, "Copy", tr("&Copy"));
    copyAction_->setShortcut(QKeySequence::Copy);
    copyAction_->setShortcutContext(Qt::WidgetShortcut);
    connect(copyAction_, &QAction::triggered, this, [this] { Memo1->copy(); });
    selectAllAction_ = AddItem(edit, "SelectAll", tr("Select &All"));
    selectAllAction_->setShortcut(QKeySequence::SelectAll);
    selectAllAction_->setShortcutContext(Qt::WidgetShortcut);
    connect(selectAllAction_, &QAction::triggered, this, [this] { Memo1->selectAll(); });
    edit->addSeparator();
    // The Find box is made on first use: until then nothing of it exists.
    auto findBar = [this] {
        if (!findBar_) findBar_ = new HistoryFindBar(Memo1, this);
        return findBar_;
    };
    QAction* find = AddItem(edit, "Find", tr("&Find\u2026"));
    find->setShortcut(QKeySequence(tr("Ctrl+F")));
    connect(find, &QAction::triggered, this, [findBar] { findBar()->showFind(); });
    // With a text to find, the box shows the outcome; without one it asks for it.
    auto findAgain = [findBar](bool forward) {
        HistoryFindBar* bar = findBar();
        if (bar->text().isEmpty()) {
            bar->showFind();
            return;
        }
        bar->show();
        if (forward)
            bar->findNext();
        else
            bar->findPrevious();
    };
    QAction* findNext = AddItem(edit, "FindNext", tr("Find &Next"));
    findNext->setShortcut(QKeySequence(Qt::Key_F3));
    connect(findNext, &QAction::triggered, this, [findAgain] { findAgain(true); });
    QAction* findPrevious = AddItem(edit, "FindPrevious", tr("Find Pre&vious"));
    findPrevious->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3));
    connect(findPrevious, &QAction::triggered, this, [findAgain] { findAgain(false); });
    edit->addSeparator();
    clearAction_ = AddItem(edit, "ClearHistory", tr("C&lear History"));
    connect(clearAction_, &QAction::triggered, this, &TForm1::Button2Click);

    QMenu* view = MenuBar->addMenu(tr("&View"));
    view->setObjectName(QStringLiteral("ViewMenu"));
    timestampsMenu_ = AddChoices<TimestampMode>(view, tr("&Timestamps"), "TimestampsMenu",
                                                {{"TimestampsNone", tr("&None")},
                                                 {"TimestampsTimeOfDay", tr("&Time of Day")},
                                                 {"TimestampsSinceConnect", tr("Since &Connect")},
                                                 {"TimestampsSincePrevious", tr("Since &Previous Line")}},
                                                [this](TimestampMode mode) { Memo1->setTimestampMode(mode); });

    SendMenu = MenuBar->addMenu(tr("&Send"));
    SendMenu->setObjectName(QStringLiteral("SendMenu"));
    AddChoices<LineEnd>(SendMenu, tr("Line &End"), "LineEndMenu",
                        {{"LineEndNone", tr("&None")},
                         {"LineEndCr", tr("&CR")},
                         {"LineEndLf", tr("&LF")},
                         {"LineEndCrLf", tr("CR L&F")}},
                        [this](LineEnd end) { lineEnd_ = end; });
    AddChoices<InputMode>(SendMenu, tr("&Input"), "InputMenu",
                          {{"InputText", tr("&Text")},
                           {"InputHexBytes", tr("&Hex Bytes")},
                           {"InputEscapes", tr("Text with &Escapes")}},
                          [this](InputMode mode) { inputMode_ = mode; });
    SendMenu->addSeparator();
    breakAction_ = AddItem(SendMenu, "SendBreak", tr("Send &Break"));
    connect(breakAction_, &QAction::triggered, this, &TForm1::SendBreak);

    QMenu* help = MenuBar->addMenu(tr("&Help"));
    help->setObjectName(QStringLiteral("HelpMenu"));
    connect(AddItem(help, "KeyboardShortcuts", tr("&Keyboard Shortcuts")), &QAction::triggered, this, [this] {
        QMessageBox::information(this, tr("Keyboard Shortcuts"), QString::fromUtf8(kShortcutsText));
    });
    QAction* about = AddItem(help, "About", tr("&About"));
    about->setMenuRole(QAction::AboutRole);
    connect(about, &QAction::triggered, this, [this] {
        QMessageBox::about(this, tr("About Morrel COM Port Tool"),
                           tr("<b>Morrel COM Port Tool</b> %1<p>A serial-port terminal for Linux.</p>"
                              "<p>Licence: proprietary; all rights reserved.</p>")
                               .arg(QStringLiteral(MORREL_VERSION)));
    });

    for (QMenu* menu : {file, edit, view, SendMenu, help})
        connect(menu, &QMenu::aboutToShow, this, &TForm1::UpdateMenuStates);
    UpdateMenuStates();
}

void TForm1::SetTimestampMode(TimestampMode mode) {
    Memo1->setTimestampMode(mode);
    timestampsMenu_->actions().at(static_cast<int>(mode))->setChecked(true);
}

// Items that cannot act now are disabled. Called as a menu opens, before a
// shortcut is matched, and when the connection changes.
void TForm1::UpdateMenuStates() {
    if (!MenuBar) return;
    saveAction_->setEnabled(Memo1->characterCount() > 0 && !Memo1->isSaving());
    logAction_->setChecked(Memo1->isLogging());
    copyAction_->setEnabled(Memo1->hasSelection());
    selectAllAction_->setEnabled(Memo1->characterCount() > 0);
    clearAction_->setEnabled(Button2->isEnabled());
    breakAction_->setEnabled(connected_ && !lost_);
}
