#pragma once
// How one line of the history looks on screen: its 8-bit characters wrapped at the
// view's width, control bytes shown in notation. Positions inside a line are bytes
// of the line; the layout's own positions differ where a byte takes more than one
// character on screen.

#include <QTextLayout>
#include <QtGlobal>

#include <map>
#include <memory>
#include <string_view>
#include <vector>

class HistoryStore;

// How many characters a byte takes on screen. Control bytes, which fonts draw as
// nothing or as an empty box, are shown in caret notation (^M, ^@, ^?) and the C1
// controls 0x80-0x9F as <80>..<9F>, so that a terminal user sees exactly what
// arrived.
int shownWidth(unsigned char byte);

class LineLayout {
public:
    // Only the first kMaxShownBytes of a line are laid out: scrolling goes by
    // whole lines, and that much is already far taller than any screen, while
    // laying out megabytes would freeze the window.
    static constexpr qsizetype kMaxShownBytes = qsizetype{1} << 16;

    struct Shown {
        int byte;
        int at;  // where its notation starts in the layout's text
        int width;
    };

    LineLayout(std::string_view line, int width, const QFont& font, const QPaintDevice* device);

    int toLayout(qsizetype byte) const;
    // A layout position inside a notation goes to the nearer end of its byte.
    qsizetype toByte(int pos) const;
    QTextLine rowOf(qsizetype byte) const;
    int rowCount() const { return layout.lineCount(); }
    qreal xOf(qsizetype byte) const { return rowOf(byte).cursorToX(toLayout(byte)); }
    qsizetype byteAt(const QTextLine& row, qreal x) const { return toByte(row.xToCursor(x)); }
    // The row at height y within the line (the last one below it).
    QTextLine rowAtY(qreal y) const;

    QTextLayout layout;
    qsizetype bytes;  // the whole line's length, also past what is laid out
    int shownBytes;
    int height = 0;
    std::vector<Shown> shown;
};

// The layouts of the lines near the view and near the end, made on demand.
class LineLayoutCache {
public:
    // The line's layout at this width and font. When memory runs out the cache is
    // emptied and a blank stand-in returned, and ranOutOfMemory() says so.
    LineLayout& get(const HistoryStore& store, qsizetype line, int width, const QFont& font,
                    const QPaintDevice* device);
    // The layouts from `line` on no longer match the text.
    void invalidateFrom(qsizetype line);
    void clear();
    // Past kLimit layouts, keeps only those within [from, to] and from endFrom on.
    void prune(qsizetype from, qsizetype to, qsizetype endFrom);
    bool ranOutOfMemory() const { return ranOut_; }
    void resetOutOfMemory() { ranOut_ = false; }

private:
    static constexpr std::size_t kLimit = 256;

    std::map<qsizetype, std::unique_ptr<LineLayout>> layouts_;
    std::unique_ptr<LineLayout> blank_;  // made with the width, while memory lasts
    qsizetype staleFrom_ = -1;
    int width_ = -1;
    bool ranOut_ = false;
};
