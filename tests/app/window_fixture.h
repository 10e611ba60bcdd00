#pragma once
// The real window, created as the entry creates it and driven as a user drives
// it; the fixtures narrow the port table to the pseudo-terminals a test maps.

#include "Unit1.h"
#include "history_view.h"
#include "pty_pair.h"
#include "test_seam.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

// Readable failure messages for texts.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

// The window driven as a user drives it.
struct WindowDriver {
    TForm1& Open() {
        form = std::make_unique<TForm1>();
        form->FormCreate();
        form->show();
        return *form;
    }

    QString History() const { return form->Memo1->toPlainText(); }

    // Lets the window's thread run until `text` shows in the history.
    bool WaitForHistory(const QString& text, int timeoutMs = 10000) {
        return QTest::qWaitFor([&] { return History().contains(text); }, timeoutMs);
    }

    // Connects to the port selected in the list; true when it opened.
    bool Connect() {
        QTest::mouseClick(form->Button3, Qt::LeftButton);
        return !form->Button3->isEnabled();
    }
    void Disconnect() {
        QTest::mouseClick(form->Button4, Qt::LeftButton);
        EXPECT_TRUE(form->Button3->isEnabled()) << "still connected after Disconnect";
    }
    void Send(const QString& text) {
        form->Edit1->setText(text);
        QTest::mouseClick(form->Button1, Qt::LeftButton);
    }

    std::unique_ptr<TForm1> form;
};

class WindowTest : public ::testing::Test, public WindowDriver {
protected:
    void SetUp() override { UseOnlyOverriddenPorts(true); }
    void TearDown() override {
        form.reset();
        ClearPortOverrides();
    }
};

// The window connected to a pseudo-terminal on COM3.
class ConnectedWindowTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        Open();
        ASSERT_TRUE(Connect());
        history0 = History();
    }
    // What the window added to the history since it connected.
    QString Added() const { return History().mid(history0.size()); }
    void Type(Qt::Key key, Qt::KeyboardModifiers modifiers = {}) { QTest::keyClick(form->Edit1, key, modifiers); }
    // Clicks a box, and gives the input line the focus back.
    void Tick(QCheckBox* box) {
        QTest::mouseClick(box, Qt::LeftButton);
        form->Edit1->setFocus();
    }

    PtyPair pty;
    MappedPort port{3, pty};
    QString history0;
};
