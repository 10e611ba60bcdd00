#include "history_find_bar.h"

#include "history_store.h"
#include "history_view.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QVBoxLayout>

#include <new>

namespace {

// Often enough to look alive, seldom enough to cost nothing.
constexpr int kProgressMs = 100;
// A longer selection is not what the user means to look for.
constexpr qsizetype kLongestTakenSelection = 256;

}  // namespace

HistoryFindBar::HistoryFindBar(HistoryView* view, QWidget* parent) : QDialog(parent), view_(view) {
    setObjectName(QStringLiteral("FindBox"));
    setWindowTitle(tr("Find"));
    setModal(false);
    setAccessibleName(tr("Find in history"));

    auto* label = new QLabel(tr("Fi&nd:"), this);
    text_ = new QLineEdit(this);
    text_->setObjectName(QStringLiteral("FindText"));
    text_->setAccessibleName(tr("Text to find"));
    label->setBuddy(text_);
    matchCase_ = new QCheckBox(tr("Match &case"), this);
    matchCase_->setObjectName(QStringLiteral("FindMatchCase"));
    matchCase_->setAccessibleName(tr("Match case"));
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("FindStatus"));
    status_->setAccessibleName(tr("Find status"));
    // Room for the longest status, so that the box never changes size.
    status_->setMinimumWidth(status_->fontMetrics().horizontalAdvance(tr("History changed: search stopped")) + 8);

    auto button = [this](const char* name, const QString& caption, const QString& accessible) {
        auto* b = new QPushButton(caption, this);
        b->setObjectName(QString::fromLatin1(name));
        b->setAccessibleName(accessible);
        b->setAutoDefault(false);
        return b;
    };
    next_ = button("FindNext", tr("&Next"), tr("Find next"));
    previous_ = button("FindPrevious", tr("&Previous"), tr("Find previous"));
    stop_ = button("FindStop", tr("&Stop"), tr("Stop searching"));
    close_ = button("FindClose", tr("Close"), tr("Close find"));
    next_->setDefault(true);  // Return
    stop_->setEnabled(false);

    auto* grid = new QGridLayout(this);
    grid->addWidget(label, 0, 0);
    grid->addWidget(text_, 0, 1);
    grid->addWidget(matchCase_, 1, 1);
    grid->addWidget(status_, 2, 0, 1, 2);
    auto* buttons = new QVBoxLayout;
    for (QPushButton* b : {next_, previous_, stop_, close_})
        buttons->addWidget(b);
    buttons->addStretch();
    grid->addLayout(buttons, 0, 2, 4, 1);
    grid->setRowStretch(3, 1);
    grid->setColumnMinimumWidth(1, 200);
    setTabOrder(text_, matchCase_);
    setTabOrder(matchCase_, next_);

    connect(next_, &QPushButton::clicked, this, &HistoryFindBar::findNext);
    connect(previous_, &QPushButton::clicked, this, &HistoryFindBar::findPrevious);
    connect(stop_, &QPushButton::clicked, this, [this] {
        stopSearch();
        setStatus(tr("Stopped"));
    });
    connect(close_, &QPushButton::clicked, this, &QDialog::reject);  // Escape does the same
    auto* f3 = new QShortcut(QKeySequence(Qt::Key_F3), this);
    connect(f3, &QShortcut::activated, this, &HistoryFindBar::findNext);
    auto* shiftF3 = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3), this);
    connect(shiftF3, &QShortcut::activated, this, &HistoryFindBar::findPrevious);

    connect(&search_, &HistorySearch::finished, this, &HistoryFindBar::finished);
    connect(&progressTimer_, &QTimer::timeout, this, &HistoryFindBar::showProgress);
}

HistoryFindBar::~HistoryFindBar() = default;

void HistoryFindBar::showFind() {
    if (view_->hasSelection()) {
        const auto [from, to] = view_->selectionRange();
        if (to - from <= kLongestTakenSelection)
            text_->setText(view_->selectedText());
    }
    if (!placed_) placeBesideWindow();
    show();
    raise();
    activateWindow();
    text_->setFocus();
    text_->selectAll();
}

void HistoryFindBar::placeBesideWindow() {
    placed_ = true;
    const QWidget* window = view_->window();
    const QScreen* screen = window->screen();
    if (!screen) return;
    const QRect room = screen->availableGeometry();
    const QRect beside = window->frameGeometry();
    const QSize size = sizeHint();
    constexpr int kGap = 8;
    // Right of the window, left of it, then below it; else where Qt puts it.
    for (const QPoint at : {QPoint(beside.right() + 1 + kGap, beside.top()),
                            QPoint(beside.left() - kGap - size.width(), beside.top()),
                            QPoint(beside.left(), beside.bottom() + 1 + kGap)}) {
        if (room.contains(QRect(at, size))) {
            move(at);
            return;
        }
    }
}

void HistoryFindBar::findNext() { find(HistorySearch::Direction::Forward); }

void HistoryFindBar::findPrevious() { find(HistorySearch::Direction::Backward); }

QString HistoryFindBar::text() const { return text_->text(); }

QString HistoryFindBar::statusText() const { return status_->text(); }

void HistoryFindBar::stopSearch() {
    search_.stop();
    setSearching(false);
}

void HistoryFindBar::hideEvent(QHideEvent* event) {
    if (search_.isRunning()) {
        stopSearch();
        setStatus(QString());
    }
    QDialog::hideEvent(event);
}

void HistoryFindBar::find(HistorySearch::Direction direction) {
    stopSearch();
    const QString wanted = text_->text();
    HistorySearch::Query query;
    query.matchCase = matchCase_->isChecked();
    query.direction = direction;
    query.text.reserve(std::size_t(wanted.size()));
    for (const QChar c : wanted) {
        // The history holds Latin-1 only: nothing else can be in it.
        if (c.unicode() > 0xff) {
            setStatus(tr("Not found"));
            return;
        }
        query.text.push_back(char(c.unicode()));
    }
    const auto [start, end] = view_->selectionRange();
    query.from = direction == HistorySearch::Direction::Forward ? end : start;
    std::optional<HistoryShown> snapshot;
    try {
        snapshot.emplace(view_->store().snapshot(), view_->stamps());
    } catch (const std::bad_alloc&) {
        setStatus(tr("Not enough memory to search"));
        return;
    }
    frontChanges_ = view_->store().frontChanges();
    search_.start(std::move(*snapshot), std::move(query));
    setSearching(true);
    showProgress();
}

bool HistoryFindBar::historyChanged() const { return view_->store().frontChanges() != frontChanges_; }

void HistoryFindBar::showProgress() {
    if (historyChanged()) {
        stopSearch();
        setStatus(tr("History changed: search stopped"));
        return;
    }
    const qint64 total = std::max<qint64>(1, search_.total());
    const int percent = int(std::min<qint64>(100, search_.looked() * 100 / total));
    setStatus(tr("Searching\u2026 %1 %").arg(percent));
}

void HistoryFindBar::finished(const HistorySearch::Result& result) {
    setSearching(false);
    if (historyChanged()) {
        setStatus(tr("History changed: search stopped"));
        return;
    }
    switch (result.outcome) {
    case HistorySearch::Outcome::Found:
        view_->setSelection(result.start, result.end);
        view_->showRange(result.start, result.end);
        setStatus(result.wrapped ? tr("Wrapped around") : QString());
        break;
    case HistorySearch::Outcome::NotFound:
        setStatus(tr("Not found"));
        break;
    case HistorySearch::Outcome::OutOfMemory:
        setStatus(tr("Not enough memory to search"));
        break;
    }
}

void HistoryFindBar::setStatus(const QString& text) { status_->setText(text); }

void HistoryFindBar::setSearching(bool searching) {
    stop_->setEnabled(searching);
    if (searching)
        progressTimer_.start(kProgressMs);
    else
        progressTimer_.stop();
}
