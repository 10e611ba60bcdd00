#pragma once
// The real window, created as the entry creates it, with the port table narrowed
// to the pseudo-terminals a test maps.

#include "Unit1.h"
#include "history_view.h"
#include "port_table.h"
#include "pty_pair.h"

#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>

// Readable failure messages for texts.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override { UseOnlyOverriddenPorts(true); }
    void TearDown() override {
        form.reset();
        ClearPortOverrides();
    }

    TForm1& Open() {
        form = std::make_unique<TForm1>();
        form->FormCreate();
        form->show();
        return *form;
    }

    QString History() const { return form->Memo1->toPlainText(); }

    // Lets the window's thread run until `text` shows in the history.
    bool WaitForHistory(const QString& text, int timeoutMs = 3000) {
        return QTest::qWaitFor([&] { return History().contains(text); }, timeoutMs);
    }

    // Connects to the port selected in the list; true when it opened.
    bool Connect() {
        QTest::mouseClick(form->Button3, Qt::LeftButton);
        return !form->Button3->isEnabled();
    }

    std::unique_ptr<TForm1> form;
};
