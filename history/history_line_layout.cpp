#include "history_line_layout.h"

#include "history_store.h"

#include <QString>
#include <QTextOption>
#include <QtMath>

#include <algorithm>
#include <new>
#include <stdexcept>

int shownWidth(unsigned char byte) {
    if (byte < 0x20 || byte == 0x7f)
        return 2;
    if (byte >= 0x80 && byte < 0xa0)
        return 4;
    return 1;
}

LineLayout::LineLayout(std::string_view line, int width, const QFont& font, const QPaintDevice* device)
    : layout(QString(), font, device),
      bytes(qsizetype(line.size())),
      shownBytes(int(std::min(bytes, kMaxShownBytes))) {
    static const char hex[] = "0123456789ABCDEF";
    QString text;
    text.reserve(shownBytes);
    for (int i = 0; i < shownBytes; ++i) {
        const auto b = static_cast<unsigned char>(line[std::size_t(i)]);
        const int w = shownWidth(b);
        if (w == 1) {
            // A soft hyphen would vanish inside a row.
            text += QChar(char16_t(b == 0xad ? '-' : b));
            continue;
        }
        shown.push_back({i, int(text.size()), w});
        if (w == 2) {
            text += QLatin1Char('^');
            text += QLatin1Char(b == 0x7f ? '?' : char(b + 0x40));
        } else {
            text += QLatin1Char('<');
            text += QLatin1Char(hex[b >> 4]);
            text += QLatin1Char(hex[b & 15]);
            text += QLatin1Char('>');
        }
    }
    layout.setText(text);

    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setTextDirection(Qt::LeftToRight);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    layout.beginLayout();
    qreal y = 0;
    for (QTextLine row = layout.createLine(); row.isValid(); row = layout.createLine()) {
        row.setLineWidth(width);
        row.setPosition(QPointF(0, y));
        y += row.height();
    }
    layout.endLayout();
    height = std::max(1, qCeil(y));
}

int LineLayout::toLayout(qsizetype position) const {
    const int byte = int(std::clamp<qsizetype>(position, 0, shownBytes));
    auto it = std::lower_bound(shown.begin(), shown.end(), byte, [](const Shown& s, int b) { return s.byte < b; });
    if (it == shown.begin())
        return byte;
    --it;
    return it->at + it->width + (byte - it->byte - 1);
}

qsizetype LineLayout::toByte(int pos) const {
    auto it = std::upper_bound(shown.begin(), shown.end(), pos, [](int p, const Shown& s) { return p < s.at; });
    if (it == shown.begin())
        return pos;
    --it;
    if (pos < it->at + it->width)
        return it->byte + (2 * (pos - it->at) >= it->width ? 1 : 0);
    return it->byte + 1 + (pos - it->at - it->width);
}

QTextLine LineLayout::rowOf(qsizetype byte) const {
    const QTextLine row = layout.lineForTextPosition(toLayout(byte));
    return row.isValid() ? row : layout.lineAt(layout.lineCount() - 1);
}

QTextLine LineLayout::rowAtY(qreal y) const {
    for (int r = 0; r < layout.lineCount(); ++r) {
        const QTextLine row = layout.lineAt(r);
        if (y < row.y() + row.height())
            return row;
    }
    return layout.lineAt(layout.lineCount() - 1);
}

LineLayout& LineLayoutCache::get(const HistoryStore& store, qsizetype line, int width, const QFont& font,
                                 const QPaintDevice* device) {
    if (staleFrom_ >= 0) {
        layouts_.erase(layouts_.lower_bound(staleFrom_), layouts_.end());
        staleFrom_ = -1;
    }
    qsizetype length = 0;
    try {
        if (width != width_ || !blank_) {
            layouts_.clear();
            blank_ = std::make_unique<LineLayout>(std::string_view(), width, font, device);
            width_ = width;
        }
        auto found = layouts_.find(line);
        if (found != layouts_.end())
            return *found->second;
        // The store's view of the line lasts only until its next call: it is
        // copied into the layout at once.
        const std::string_view text = store.lineText(line);
        length = qsizetype(text.size());
        auto entry = std::make_unique<LineLayout>(text, width, font, device);
        return *layouts_.emplace(line, std::move(entry)).first->second;
    } catch (const std::bad_alloc&) {
        if (!blank_)
            throw;
    } catch (const std::length_error&) {
        if (!blank_)
            throw;
    }
    // Out of memory: free what can be rebuilt and show the line blank.
    layouts_.clear();
    ranOut_ = true;
    blank_->bytes = length;
    return *blank_;
}

void LineLayoutCache::invalidateFrom(qsizetype line) {
    staleFrom_ = staleFrom_ < 0 ? line : std::min(staleFrom_, line);
}

void LineLayoutCache::clear() {
    layouts_.clear();
    blank_.reset();
    staleFrom_ = -1;
}

void LineLayoutCache::prune(qsizetype from, qsizetype to, qsizetype endFrom) {
    if (layouts_.size() <= kLimit)
        return;
    for (auto it = layouts_.begin(); it != layouts_.end();) {
        const qsizetype line = it->first;
        const bool keep = (line >= from && line <= to) || line >= endFrom;
        it = keep ? std::next(it) : layouts_.erase(it);
    }
}
