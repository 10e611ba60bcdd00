#pragma once
// How an amount of data is written for people, the same in every message:
// "512 bytes", "64 MiB", "1.9 GiB".

#include <QString>

namespace history {

QString sizeText(qsizetype bytes);

}  // namespace history
