#pragma once
// The main window: settings, connect and disconnect, sending, and the history.

#include "Unit2.h"
#include "history_stamps.h"
#include "send_encoding.h"
#include "send_recall.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <string_view>

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPushButton;
class QRadioButton;
class HistoryView;
class HistoryFindBar;
class FileSend;

class TForm1 : public QWidget {
    Q_OBJECT
    friend class FileSend;  // takes the reader's lines before its record
public:
    explicit TForm1(QWidget* owner = nullptr);
    ~TForm1() override;

    // The history's one write operation: appends at the end, whatever the user
    // has selected or where the caret is.
    void AppendHistory(const QString& text);
    // View > Timestamps, as chosen there (or by --timestamps).
    void SetTimestampMode(TimestampMode mode);

    // ---- the ways the program ends (window_ending.cpp)
    // The Close button, File > Quit and the window's close all ask here. True when
    // the program may end now. While a save runs it asks first: wait for it (the
    // program then ends when it has saved, and stays when it failed), stop it and
    // end, or (Escape) go back to the window. `closingWindow` says which way to
    // end once a waited-for save is done.
    bool RequestQuit(bool closingWindow);
    // A signal asked the program to end: a running save is given
    // SignalSaveWaitMs to finish, with the event loop running, and is then
    // stopped; the message loop then ends with 128 + signo.
    void EndBySignal(int signo);
    int SignalSaveWaitMs = 30000;
    // After the message loop, before the window goes: the reader stops and what
    // it had read shows in the history (and so in the log), and a connected port
    // is closed, which puts its settings back as found.
    void EndSession();

    // Above the form: the form keeps its own area below the menu bar, where every
    // control stands where it always has.
    QMenuBar* MenuBar = nullptr;
    QMenu* SendMenu = nullptr;
    // Send File… and Pacing…: while a file goes out nothing else may.
    FileSend* fileSend = nullptr;
    QWidget* FormArea = nullptr;

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
    void AppendSent(std::size_t written, std::size_t count, std::string_view shown);
    void PortLost(unsigned long error);
    void TryReopen();
    // The menu bar (menu_bar.cpp), the controls' names for assistive technology
    // (accessible_names.cpp), and the ways of sending it adds (sending.cpp).
    void CreateMenuBar();
    // At the form's place, moved only as far as it takes to be all on a screen
    // too small for it there (a high scale factor).
    void PlaceOnScreen();
    void UpdateMenuStates();
    void NameControls();
    void SendBreak();
    void RecallLine(bool older);

    SimpleThread* ReaderThread = nullptr;
    std::atomic<int> receiveFormat_{0};
    bool connected_ = false;
    bool lost_ = false;       // connected, but the device failed and is closed
    QString connectedName_;   // as the connect record showed it
    QTimer takeTimer_;
    QElapsedTimer sinceTake_;
    bool streamingTake_ = false;  // the last take found lines streaming in
    QTimer reopenTimer_;      // while lost: looks for the device again
    QMetaObject::Connection quitAfterSave_;  // the user chose to wait for a save
    LineEnd lineEnd_ = LineEnd::None;
    InputMode inputMode_ = InputMode::Text;
    SendRecall recall_;
    QAction* saveAction_ = nullptr;
    QAction* logAction_ = nullptr;
    QAction* copyAction_ = nullptr;
    QAction* selectAllAction_ = nullptr;
    QAction* clearAction_ = nullptr;
    QAction* breakAction_ = nullptr;
    QMenu* timestampsMenu_ = nullptr;
    HistoryFindBar* findBar_ = nullptr;  // Edit > Find…: made when first asked for
};

extern TForm1* Form1;
