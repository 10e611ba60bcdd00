#pragma once
// The lines sent this session, for Up and Down in the input line, as a shell
// keeps its history: newest first, the line being edited kept as the newest
// entry, the same line twice in a row kept once. In memory only.

#include <QString>
#include <QStringList>
#include <optional>

class SendRecall {
public:
    static constexpr qsizetype kMaxEntries = 100;

    // A line was sent: it becomes the newest entry (an empty line, or the same as
    // the newest, adds nothing), and stepping starts again from the line being edited.
    void add(const QString& line);
    // The next older entry; `editing` is what the input line holds, kept when
    // stepping starts from the line being edited. Nothing when there is no older one.
    std::optional<QString> older(const QString& editing);
    // The next newer entry, or the line that was being edited once past the
    // newest. Nothing when not stepping.
    std::optional<QString> newer();

    qsizetype size() const { return entries_.size(); }

private:
    QStringList entries_;    // oldest first
    qsizetype at_ = 0;       // the entry shown; entries_.size() for the line being edited
    QString editing_;
};
