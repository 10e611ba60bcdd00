#include "Unit1.h"

#include "Unit2.h"
#include "connection.h"
#include "file_send.h"
#include "history_view.h"
#include "line_report.h"
#include "line_settings.h"
#include "ports.h"
#include "transmit.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QScreen>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>

TForm1* Form1 = nullptr;

// The icons live in a static library; nothing would pull them in otherwise.
static void InitIcons() { Q_INIT_RESOURCE(icons); }

namespace {

const QString kLineEnd = QStringLiteral("\r\n");

// Places a control at its fixed place in its parent. Controls are created in tab
// order within their parent, so that Qt's focus chain is the tab order.
template <typename Control>
Control* Place(QWidget* parent, const char* name, const QString& caption, int left, int top,
               int width, int height) {
    auto* control = new Control(caption, parent);
    control->setObjectName(QString::fromLatin1(name));
    control->setGeometry(left, top, width, height);
    return control;
}

QComboBox* PlaceCombo(QWidget* parent, const char* name, int left, int top) {
    auto* combo = new QComboBox(parent);
    combo->setObjectName(QString::fromLatin1(name));
    combo->setEditable(true);
    combo->setInsertPolicy(QComboBox::NoInsert);
    combo->setEditText(QString::fromLatin1(name));
    combo->setGeometry(left, top, 145, 21);
    return combo;
}

// The character a key press gives the input line, as a Windows edit control
// would receive it: printable text, or the control code of the key.
QChar TypedCharacter(const QKeyEvent* event) {
    const int key = event->key();
    // Tab moves the focus and Delete edits the line: neither is a typed character.
    if (key == Qt::Key_Tab || key == Qt::Key_Backtab || key == Qt::Key_Delete) return QChar();
    if ((event->modifiers() & Qt::ControlModifier) && key >= Qt::Key_A && key <= Qt::Key_Z)
        return QChar(key - Qt::Key_A + 1);
    switch (key) {
    case Qt::Key_Backspace: return QChar(8);
    case Qt::Key_Return:
    case Qt::Key_Enter: return QChar(13);
    case Qt::Key_Escape: return QChar(27);
    default: break;
    }
    const QString text = event->text();
    return text.isEmpty() ? QChar() : text.front();
}

// The position a selector's text stands for: the item it equals (letter case
// aside), which the selector then shows as selected, or none (-1) when the text
// names no item, so that a connect never applies a choice the box does not show.
int ChosenPosition(QComboBox* box) {
    const int at = box->findText(box->currentText().trimmed(), Qt::MatchFixedString);
    if (at >= 0 && at != box->currentIndex()) box->setCurrentIndex(at);
    return at;
}

// How often a lost port is looked for: quick enough to feel immediate, cheap
// enough not to show on the processor.
constexpr int kReopenIntervalMs = 250;

QString LossReason(unsigned long error) {
    switch (error) {
    case ERROR_DEVICE_NOT_CONNECTED: return QStringLiteral("device gone");
    case ERROR_BROKEN_PIPE: return QStringLiteral("hung up");
    default: return QStringLiteral("I/O error");
    }
}

}  // namespace

TForm1::TForm1(QWidget* owner) : QWidget(owner) {
    InitIcons();
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Morrel COM Port Tool ver 1.1"));
    // Linux has no "MS Sans Serif"; a narrow sans keeps every caption inside the
    // control it was laid out for.
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Nimbus Sans Narrow"),
                                QStringLiteral("Liberation Sans Narrow"),
                                QStringLiteral("DejaVu Sans Condensed")});
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(11);
    setFont(font);
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128})
        icon.addFile(QStringLiteral(":/icons/morrelcom-%1.png").arg(size), QSize(size, size));
    setWindowIcon(icon);
    CreateControls();
    CreateMenuBar();
    NameControls();
    const int menuHeight = MenuBar->sizeHint().height();
    MenuBar->setGeometry(0, 0, 601, menuHeight);
    FormArea->setGeometry(0, menuHeight, 601, 369);
    setFixedSize(601, 369 + menuHeight);
    PlaceOnScreen();

    ReaderThread = new SimpleThread(&receiveFormat_);
    connect(ReaderThread, &SimpleThread::linesReady, this, &TForm1::ReaderLinesReady,
            Qt::QueuedConnection);
    takeTimer_.setSingleShot(true);
    connect(&takeTimer_, &QTimer::timeout, this, &TForm1::TakeReaderLines);
    reopenTimer_.setInterval(kReopenIntervalMs);
    connect(&reopenTimer_, &QTimer::timeout, this, &TForm1::TryReopen);
    fileSend = new FileSend(*this, ReaderThread);
}

TForm1::~TForm1() {
    // Once the window is going, the reader adds nothing more to the history. It
    // ends first, so that no signal of its is under way while we disconnect.
    takeTimer_.stop();
    reopenTimer_.stop();
    fileSend->Stop(QString());  // it writes to the port and watches the reader
    ReaderThread->Shutdown();
    disconnect(ReaderThread, nullptr, this, nullptr);
    delete ReaderThread;
    if (connected_) CloseHandle(PortHandle);
    if (Form1 == this) Form1 = nullptr;
}

void TForm1::PlaceOnScreen() {
    QPoint at(263, 121);
    if (const QScreen* where = screen()) {
        const QRect room = where->availableGeometry();
        at.setX(std::max(room.left(), std::min(at.x(), room.right() + 1 - width())));
        at.setY(std::max(room.top(), std::min(at.y(), room.bottom() + 1 - height())));
    }
    move(at);
}

void TForm1::CreateControls() {
    FormArea = new QWidget(this);
    FormArea->setObjectName(QStringLiteral("FormArea"));
    GroupBox4 = Place<QGroupBox>(FormArea, "GroupBox4", QString(), 0, 0, 601, 369);

    GroupBox1 = Place<QGroupBox>(GroupBox4, "GroupBox1", "Settings", 8, 8, 217, 177);
    Label1 = Place<QLabel>(GroupBox1, "Label1", "Com Port:", 8, 16, 46, 13);
    Label2 = Place<QLabel>(GroupBox1, "Label2", "Baud:", 8, 40, 28, 13);
    Label3 = Place<QLabel>(GroupBox1, "Label3", "Stop Bits:", 8, 64, 45, 13);
    Label4 = Place<QLabel>(GroupBox1, "Label4", "Parity:", 8, 88, 29, 13);
    Label5 = Place<QLabel>(GroupBox1, "Label5", "Data bits:", 8, 136, 45, 13);
    CheckBox1 = Place<QCheckBox>(GroupBox1, "CheckBox1", "Check Parity", 64, 112, 97, 17);
    ComboBox1 = PlaceCombo(GroupBox1, "ComboBox1", 64, 16);
    ComboBox2 = PlaceCombo(GroupBox1, "ComboBox2", 64, 40);
    ComboBox3 = PlaceCombo(GroupBox1, "ComboBox3", 64, 64);
    ComboBox4 = PlaceCombo(GroupBox1, "ComboBox4", 64, 88);
    ComboBox5 = PlaceCombo(GroupBox1, "ComboBox5", 64, 136);

    GroupBox3 = Place<QGroupBox>(GroupBox4, "GroupBox3", "Communication", 232, 8, 361, 321);
    Edit1 = Place<QLineEdit>(GroupBox3, "Edit1", "Edit1", 8, 16, 345, 21);
    Button1 = Place<QPushButton>(GroupBox3, "Button1", "Send", 184, 48, 75, 25);
    CheckBox4 = Place<QCheckBox>(GroupBox3, "CheckBox4", "Send as typing", 8, 40, 97, 17);
    CheckBox5 = Place<QCheckBox>(GroupBox3, "CheckBox5", "Send as number", 8, 56, 97, 17);
    GroupBox5 = Place<QGroupBox>(GroupBox3, "GroupBox5", "Format ", 8, 80, 345, 41);
    RadioButton1 = Place<QRadioButton>(GroupBox5, "RadioButton1", "ASCII", 8, 16, 57, 17);
    RadioButton2 = Place<QRadioButton>(GroupBox5, "RadioButton2", "HEX", 120, 16, 49, 17);
    RadioButton3 = Place<QRadioButton>(GroupBox5, "RadioButton3", "DEC", 224, 16, 49, 17);
    Button2 = Place<QPushButton>(GroupBox3, "Button2", "Clear History", 272, 48, 75, 25);
    // The history sits where the Communication group places it, but belongs to
    // the window, so that disabling the group while disconnected does not lock
    // away a finished session: it can always be scrolled, selected and copied.
    GroupBox9 = Place<QGroupBox>(GroupBox4, "GroupBox9", QString(), 232 + 8, 8 + 128, 345, 177);
    Memo1 = new HistoryView(GroupBox9);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setGeometry(2, 15, 341, 160);
    Memo1->setPlainText(QStringLiteral("Memo1"));

    GroupBox2 = Place<QGroupBox>(GroupBox4, "GroupBox2", "Commands", 8, 192, 217, 137);
    GroupBox6 = Place<QGroupBox>(GroupBox2, "GroupBox6", "RTS", 8, 16, 97, 65);
    RadioButton4 = Place<QRadioButton>(GroupBox6, "RadioButton4", "On", 8, 32, 49, 17);
    RadioButton5 = Place<QRadioButton>(GroupBox6, "RadioButton5", "Off", 8, 16, 41, 17);
    GroupBox7 = Place<QGroupBox>(GroupBox2, "GroupBox7", "DTR", 112, 16, 97, 65);
    RadioButton6 = Place<QRadioButton>(GroupBox7, "RadioButton6", "Off", 8, 16, 49, 17);
    RadioButton7 = Place<QRadioButton>(GroupBox7, "RadioButton7", "On", 8, 32, 49, 17);

    Button5 = Place<QPushButton>(GroupBox4, "Button5", "Close", 512, 336, 75, 25);
    Button3 = Place<QPushButton>(GroupBox4, "Button3", "Connect", 8, 336, 97, 25);
    Button4 = Place<QPushButton>(GroupBox4, "Button4", "Disconnect", 112, 336, 97, 25);
    GroupBox9->raise();

    for (QPushButton* button : {Button1, Button2, Button3, Button4, Button5})
        button->setAutoDefault(false);

    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
    connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
    connect(Button4, &QPushButton::clicked, this, &TForm1::Button4Click);
    connect(Button5, &QPushButton::clicked, this, &TForm1::Button5Click);
    Edit1->installEventFilter(this);
    // Shortcuts are matched after this window has seen them: the menu's states
    // are brought up to date first.
    installEventFilter(this);

    // The reader takes the format from this value, never from the buttons.
    const std::pair<QRadioButton*, ReceiveFormat> formats[] = {
        {RadioButton1, ReceiveFormat::Ascii},
        {RadioButton2, ReceiveFormat::Hex},
        {RadioButton3, ReceiveFormat::Dec},
    };
    for (auto [button, format] : formats) {
        connect(button, &QRadioButton::toggled, this, [this, format = format](bool checked) {
            if (checked) receiveFormat_.store(static_cast<int>(format));
        });
    }
}

void TForm1::FormCreate() {
    for (const std::string& name : ScanPorts())
        ComboBox1->addItem(QString::fromStdString(name));
    ComboBox1->setCurrentIndex(0);
    if (ComboBox1->count() == 0) ComboBox1->setEditText(QString());

    QComboBox* const selectors[] = {ComboBox2, ComboBox3, ComboBox4, ComboBox5};
    for (size_t i = 0; i < kSettingLists.size(); ++i) {
        for (const SettingChoice& choice : kSettingLists[i].choices)
            selectors[i]->addItem(QString::fromLatin1(choice.item));
        selectors[i]->setCurrentIndex(kSettingLists[i].defaultPosition);
    }

    Memo1->clear();
    Edit1->clear();
    Button4->setEnabled(false);
    RadioButton5->setChecked(true);
    RadioButton6->setChecked(true);
    GroupBox3->setEnabled(false);
    Memo1->setReadOnly(true);
    RadioButton1->setChecked(true);
}

void TForm1::AppendHistory(const QString& text) {
    Memo1->appendText(text);
}

// Waking the window costs far more than appending a batch, so while lines stream
// in they are taken 100 ms apart, as often as the view shows them; a line that
// comes alone is taken at once.
void TForm1::ReaderLinesReady() {
    constexpr qint64 kTakeIntervalMs = 100;
    if (takeTimer_.isActive()) return;
    const qint64 wait =
        streamingTake_ && sinceTake_.isValid() ? kTakeIntervalMs - sinceTake_.elapsed() : 0;
    if (wait <= 0)
        TakeReaderLines();
    else
        takeTimer_.start(static_cast<int>(wait));
}

void TForm1::TakeReaderLines() {
    sinceTake_.start();
    const SimpleThread::Batch batch = ReaderThread->TakeBatch();
    streamingTake_ = std::count(batch.lines.begin(), batch.lines.end(), '\n') > 1;
    ShowReceived(batch);
    if (batch.loss) PortLost(batch.loss);
}

void TForm1::ShowReceived(const SimpleThread::Batch& batch) {
    // Each read's lines with the time the read returned.
    const std::string_view lines = batch.lines;
    std::size_t from = 0;
    for (const SimpleThread::ReadTime& read : batch.times) {
        Memo1->appendLatin1(lines.substr(from, read.end - from), HistoryTime{read.mono, read.wall});
        from = read.end;
    }
    if (from < lines.size()) Memo1->appendLatin1(lines.substr(from));
    if (batch.droppedBytes)
        AppendHistory(QStringLiteral("[%1 received bytes dropped: out of memory]")
                          .arg(batch.droppedBytes) + kLineEnd);
}

// The device failed under a live connection. The window stays connected, so that
// Disconnect works as always, and looks for the device at the same path.
void TForm1::PortLost(unsigned long error) {
    if (!connected_ || lost_) return;
    AppendHistory(connectedName_ + QStringLiteral(" Lost (") + LossReason(error) + ")" + kLineEnd);
    fileSend->Stop(LossReason(error));
    ReaderThread->StopReading();
    PurgeComm(PortHandle, PURGE_RXABORT);
    ReaderThread->WaitOutOfRead();
    // Closing at once frees the device, so a re-plugged adapter gets its old name.
    CloseLostPort();
    lost_ = true;
    reopenTimer_.start();
}

void TForm1::TryReopen() {
    if (!connected_ || !lost_ || !ReopenConnectPath()) return;
    reopenTimer_.stop();
    lost_ = false;
    ReaderThread->StartReading(PortHandle);
    AppendHistory(connectedName_ + QStringLiteral(" Reopened") + kLineEnd);
}

void TForm1::SetConnectedControls(bool connected) {
    if (connected) {
        Button3->setEnabled(false);
        Button4->setEnabled(true);
    } else {
        Button4->setEnabled(false);
        Button3->setEnabled(true);
    }
    GroupBox1->setEnabled(!connected);
    GroupBox6->setEnabled(!connected);
    GroupBox7->setEnabled(!connected);
    GroupBox3->setEnabled(connected);
    // Readable always, editable only with the rest of the Communication group.
    Memo1->setReadOnly(!connected);
    UpdateMenuStates();
}

void TForm1::Button3Click() {
    const QString text = ComboBox1->currentText();
    BuildConnectPath(text.toLatin1().toStdString());
    const bool opened = OpenConnectPath();
    const HistoryTime openedAt = HistoryTime::now();
    AppendHistory(text.left(5));
    if (!opened) {
        AppendHistory(QStringLiteral(" Not Opened"));
        // Why, when the layer knows, on a line of its own after the usual record.
        const auto why = [&](const char* reason) { AppendHistory(kLineEnd + text.left(5) + reason); };
        switch (GetLastError()) {
        case ERROR_SHARING_VIOLATION: why(" is in use by another program"); break;
        case ERROR_ACCESS_DENIED: why(": permission denied"); break;
        case ERROR_FILE_NOT_FOUND: why(": no such device"); break;
        default: break;
        }
    } else {
        AppendHistory(QStringLiteral(" Opened"));
        Memo1->noteConnect(openedAt);
        connectedName_ = text.left(5);
        Memo1->setSaveNamePrefix(connectedName_);
        LineChoices choices;
        choices.baudPosition = ChosenPosition(ComboBox2);
        choices.stopBitsPosition = ChosenPosition(ComboBox3);
        choices.parityPosition = ChosenPosition(ComboBox4);
        choices.checkParity = CheckBox1->isChecked();
        choices.dataBitsPosition = ChosenPosition(ComboBox5);
        choices.rtsOff = RadioButton5->isChecked();
        choices.rtsOn = RadioButton4->isChecked();
        choices.dtrOff = RadioButton6->isChecked();
        choices.dtrOn = RadioButton7->isChecked();
        ConfigureConnection(choices);
        ReaderThread->StartReading(PortHandle);
        connected_ = true;
        SetConnectedControls(true);
    }
    AppendHistory(kLineEnd);
    if (opened) ReportLineInForce();
}

// One line after the connect record when the line in force is not what the
// selectors show: a choice the driver refused or changed, or a typed text that
// names no item.
void TForm1::ReportLineInForce() {
    ShownSettings shown;
    shown.baud = ComboBox2->currentText();
    shown.stopBits = ComboBox3->currentText();
    shown.parity = ComboBox4->currentText();
    shown.dataBits = ComboBox5->currentText();
    shown.checkParity = CheckBox1->isChecked();
    shown.rtsOn = RadioButton4->isChecked();
    shown.dtrOn = RadioButton7->isChecked();
    COMMPROP device;
    if (!GetCommProperties(PortHandle, &device)) return;
    const QString report = InForceReport(InForceState, shown, device);
    if (!report.isEmpty()) AppendHistory(report + kLineEnd);
}

void TForm1::Button4Click() {
    fileSend->Stop(QStringLiteral("disconnected"));
    reopenTimer_.stop();
    Sleep(250);
    ReaderThread->StopReading();
    if (!lost_) {
        PurgeComm(PortHandle, PURGE_RXABORT);
        // The aborted read ends within microseconds; only then may the handle change.
        ReaderThread->WaitOutOfRead();
    }
    // What this connection received shows before its end, and nothing of it comes
    // after; a loss not taken yet ends with it.
    takeTimer_.stop();
    ShowReceived(ReaderThread->TakeBatch());
    const DWORD unsent = lost_ ? 0 : DiscardUnsentOutput();
    if (unsent)
        AppendHistory(QStringLiteral("[%1 %2 not sent: the line stopped taking them]")
                          .arg(unsent)
                          .arg(unsent == 1 ? QStringLiteral("byte") : QStringLiteral("bytes")) +
                      kLineEnd);
    AppendHistory(ComboBox1->currentText().left(5));
    AppendHistory(QStringLiteral(" Closed") + kLineEnd);
    Memo1->flushLog();
    SetConnectedControls(false);
    if (!lost_) RestoreAndClose();
    connected_ = false;
    lost_ = false;
}

void TForm1::Button1Click() {
    if (fileSend->RefuseSend()) return;
    recall_.add(Edit1->text());
    if (CheckBox5->isChecked())
        SendNumber();
    else
        SendText();
}

// The line in the input mode and with the line end the Send menu chose.
void TForm1::SendText() {
    const EncodedLine line = EncodeLine(Edit1->text(), inputMode_, lineEnd_,
                                        static_cast<ReceiveFormat>(receiveFormat_.load()));
    if (!line.valid) {
        AppendHistory(QString::fromLatin1(line.shown) + kLineEnd);
        return;
    }
    DWORD written = 0;
    if (!line.bytes.empty())
        WriteFile(PortHandle, line.bytes.data(), static_cast<DWORD>(line.bytes.size()), &written, nullptr);
    AppendSent(written, line.bytes.size(), line.shown);
}

// The record of one transmission: the prefix says whether every byte went out.
void TForm1::AppendSent(std::size_t written, std::size_t count, std::string_view shown) {
    AppendHistory(SentRecordPrefix(written, count));
    Memo1->appendLatin1(shown);
    AppendHistory(kLineEnd);
}

void TForm1::SendNumber() {
    const std::optional<unsigned char> byte = NumberByte(Edit1->text());
    if (!byte) {
        AppendHistory(QStringLiteral("Invalid Number") + kLineEnd);
        return;
    }
    DWORD written = 0;
    WriteFile(PortHandle, &*byte, 1, &written, nullptr);
    AppendHistory(SentRecordPrefix(written, 1));
    AppendHistory(QString::number(*byte));
    AppendHistory(QStringLiteral(" (as number)") + kLineEnd);
}

void TForm1::Edit1KeyPress(QChar key) {
    if (CheckBox4->isChecked()) {
        if (fileSend->RefuseSend()) return;
        const char byte = CharByte(key);
        const bool sent = TransmitCommChar(PortHandle, byte);
        AppendSent(sent ? 1 : 0, 1, std::string_view(&byte, 1));
    }
    if (key.unicode() == 13) Button1Click();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == this && event->type() == QEvent::ShortcutOverride) UpdateMenuStates();
    // While keys are sent as typed, the menu's shortcuts (Ctrl+S, Ctrl+Q: XOFF and
    // XON) go to the device like every other key.
    if (watched == Edit1 && event->type() == QEvent::ShortcutOverride && CheckBox4->isChecked() &&
        !TypedCharacter(static_cast<QKeyEvent*>(event)).isNull())
        event->accept();
    if (watched == Edit1 && event->type() == QEvent::KeyPress) {
        const auto* press = static_cast<QKeyEvent*>(event);
        const bool plain = (press->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
        if ((press->key() == Qt::Key_Up || press->key() == Qt::Key_Down) && plain) {
            RecallLine(press->key() == Qt::Key_Up);
            return true;
        }
        const QChar key = TypedCharacter(static_cast<QKeyEvent*>(event));
        if (!key.isNull()) Edit1KeyPress(key);
    }
    // Dead keys, compose and input methods hand over their text this way, not as
    // key presses; it is typed all the same. A character beyond the Basic
    // Multilingual Plane is one character, sent as one "?".
    if (watched == Edit1 && event->type() == QEvent::InputMethod) {
        const QString typed = static_cast<QInputMethodEvent*>(event)->commitString();
        for (qsizetype i = 0; i < typed.size(); ++i) {
            const bool pair = typed[i].isHighSurrogate() && i + 1 < typed.size() &&
                              typed[i + 1].isLowSurrogate();
            Edit1KeyPress(pair ? QChar(u'?') : typed[i]);
            if (pair) ++i;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TForm1::Button2Click() {
    Memo1->clear();
}

void TForm1::Button5Click() {
    if (RequestQuit(false)) QCoreApplication::quit();
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (!RequestQuit(true)) {
        event->ignore();
        return;
    }
    FormClose();
    event->accept();
}

void TForm1::FormClose() {
    ReaderThread->Terminate();
}
