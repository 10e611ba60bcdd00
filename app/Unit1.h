#pragma once
// The main window: settings, connect and disconnect, sending, and the history.

#include "Unit2.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <string_view>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class HistoryView;

class TForm1 : public QWidget {
    Q_OBJECT
public:
    explicit TForm1(QWidget* owner = nullptr);
    ~TForm1() override;

    // The history's one write operation: appends at the end, whatever the user
    // has selected or where the caret is.
    void AppendHistory(const QString& text);

    QGroupBox* GroupBox4;
    QGroupBox* GroupBox1;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    QCheckBox* CheckBox1;
    QComboBox* ComboBox1;
    QComboBox* ComboBox2;
    QComboBox* ComboBox3;
    QComboBox* ComboBox4;
    QComboBox* ComboBox5;
    QGroupBox* GroupBox3;
    QLineEdit* Edit1;
    QPushButton* Button1;
    QCheckBox* CheckBox4;
    QCheckBox* CheckBox5;
    QGroupBox* GroupBox5;
    QRadioButton* RadioButton1;
    QRadioButton* RadioButton2;
    QRadioButton* RadioButton3;
    QPushButton* Button2;
    QGroupBox* GroupBox9;
    HistoryView* Memo1;
    QGroupBox* GroupBox2;
    QGroupBox* GroupBox6;
    QRadioButton* RadioButton4;
    QRadioButton* RadioButton5;
    QGroupBox* GroupBox7;
    QRadioButton* RadioButton6;
    QRadioButton* RadioButton7;
    QPushButton* Button5;
    QPushButton* Button3;
    QPushButton* Button4;

public slots:
    void FormCreate();
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    void Button5Click();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void FormClose();
    void Edit1KeyPress(QChar key);
    void SendText();
    void SendNumber();
    void ReaderLinesReady();
    void TakeReaderLines();
    void ShowReceived(const SimpleThread::Batch& batch);
    void SetConnectedControls(bool connected);
    void ReportLineInForce();
    void AppendSent(std::size_t written, std::string_view bytes);
    void PortLost(unsigned long error);
    void TryReopen();

    SimpleThread* ReaderThread = nullptr;
    std::atomic<int> receiveFormat_{0};
    bool connected_ = false;
    bool lost_ = false;       // connected, but the device failed and is closed
    QString connectedName_;   // as the connect record showed it
    QTimer takeTimer_;
    QElapsedTimer sinceTake_;
    bool streamingTake_ = false;  // the last take found lines streaming in
    QTimer reopenTimer_;      // while lost: looks for the device again
};

extern TForm1* Form1;
