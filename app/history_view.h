#pragma once
// The history (Memo1): a scrolling, word-wrapped, editable text of 8-bit characters
// that can hold hours of received data compactly. Text lives in a HistoryStore
// (one byte a character, a small line index); only the visible lines are laid out
// and painted.
//
// Positions are character offsets into toPlainText(), where every line break is
// one '\n'.

#include <QAbstractScrollArea>
#include <QString>
#include <memory>
#include <string_view>

class HistoryStore;

class HistoryView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit HistoryView(QWidget* parent = nullptr);
    ~HistoryView() override;

    // Appends at the end, whatever the caret or selection: those stay where they
    // were. "\r\n" (also split across two appends) and "\n" are one line break;
    // other control bytes, a lone "\r" included, stay as characters. The view
    // follows the end while it shows the end. One call, one repaint at most.
    void appendLatin1(std::string_view bytes);
    // The same for text from the user interface: Latin-1, "?" for other characters.
    void appendText(const QString& text);

    void clear();
    void setPlainText(const QString& text);
    QString toPlainText() const;
    qsizetype lineCount() const;
    qsizetype characterCount() const;

    qsizetype caretPosition() const;
    void setCaretPosition(qsizetype position);
    // Selects from anchor to position (the caret ends at position).
    void setSelection(qsizetype anchor, qsizetype position);
    bool hasSelection() const;
    QString selectedText() const;
    void selectAll();
    void copy() const;

    // True while the last line is in view: appends keep it in view.
    bool isShowingEnd() const;

    const HistoryStore& store() const;

    // Brings the scroll bar and the view's position up to date with the text now.
    // Otherwise this happens on the next pass of the event loop, and at most about
    // sixty times a second while data floods in.
    void flushPendingLayout();

    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
