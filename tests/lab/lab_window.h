#pragma once
// The real window on the lab's real ports: the fixed port table, no overrides.

#include "../app/window_fixture.h"
#include "lab.h"
#include "received_line.h"

class LabWindow : public WindowDriver {
public:
    LabWindow() {
        ClearPortOverrides();
        Open();
        // Received bytes as HEX, so every byte value reads back unambiguously (the
        // format buttons are disabled until Connect, so not clicked).
        form->RadioButton2->setChecked(true);
    }

    std::string Text() const { return History().toStdString(); }
    int Count(const QString& text) const { return History().count(text); }

    // Picks `item` in a selector by its text; false when it has no such item.
    static bool Pick(QComboBox* box, const char* item) {
        const int at = box->findText(QString::fromLatin1(item));
        box->setCurrentIndex(at);
        return at >= 0;
    }
    bool Connect(const LabPort& port) { return Pick(form->ComboBox1, port.name) && WindowDriver::Connect(); }

    // Every byte the history shows received, in order; only from its last
    // `chars` characters when given.
    std::string Received(qsizetype chars = -1) const {
        std::string bytes;
        const QString history = History();
        for (QString line : (chars < 0 ? history : history.right(chars)).split('\n')) {
            if (line.endsWith('\r')) line.chop(1);
            ParseReceivedLine(line.toStdString(), ReceiveFormat::Hex, bytes);
        }
        return bytes;
    }
    // Waits until the received bytes end with `tail`.
    bool WaitForReceived(const std::string& tail, int timeoutMs = 20000) {
        // A byte shows as at most 5 characters, and a line holds at least one.
        const qsizetype chars = qsizetype(tail.size()) * 20 + 100;
        return QTest::qWaitFor([&] { return Received(chars).ends_with(tail); }, timeoutMs);
    }
};

#define LAB_ONLY()                                                             \
    do {                                                                       \
        if (!InLab()) GTEST_SKIP() << "needs the lab's guest (tests/lab/run)"; \
    } while (0)
