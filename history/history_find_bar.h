#pragma once
// The Find box: a small non-modal window beside the main one, so the form's own
// controls keep their places. It searches the history (HistorySearch) while
// reception goes on, selects the match in the view and scrolls it into view.
// Next goes on from the end of the selection, Previous from its start.
//
// Keys: Return and F3 find the next match, Shift+F3 the previous one, Escape
// closes the box (and stops a search still running). Its status line says
// "Searching… 42 %", "Not found" or "Wrapped around"; nothing ever pops up.
//
// A search whose history was cleared, or lost its oldest lines, while it ran is
// stopped and its result dropped: its positions no longer mean anything.

#include "history_search.h"

#include <QDialog>
#include <QTimer>

#include <cstdint>

class HistoryView;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

class HistoryFindBar : public QDialog {
    Q_OBJECT
public:
    explicit HistoryFindBar(HistoryView* view, QWidget* parent = nullptr);
    ~HistoryFindBar() override;

    // Shows the box with its text field focused and selected; a short selection
    // of the history becomes the text to find.
    void showFind();
    void findNext();
    void findPrevious();
    // Stops a running search; its result is not shown.
    void stopSearch();
    bool isSearching() const { return search_.isRunning(); }
    QString text() const;
    QString statusText() const;

protected:
    void hideEvent(QHideEvent* event) override;

private:
    void find(HistorySearch::Direction direction);
    void showProgress();
    void finished(const HistorySearch::Result& result);
    void setStatus(const QString& text);
    void setSearching(bool searching);
    bool historyChanged() const;
    // The first time it shows: beside the window, where it hides no history.
    void placeBesideWindow();

    HistoryView* view_;
    bool placed_ = false;
    HistorySearch search_;
    QTimer progressTimer_;
    std::uint64_t frontChanges_ = 0;  // the history's, when the search started
    QLineEdit* text_;
    QCheckBox* matchCase_;
    QPushButton* next_;
    QPushButton* previous_;
    QPushButton* stop_;
    QPushButton* close_;
    QLabel* status_;
};
