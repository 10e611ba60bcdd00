// Up and Down through the lines sent, as a shell steps through its history.
#include "send_recall.h"

#include <gtest/gtest.h>

namespace {

// Steps older until nothing is left, then newer until back at the line edited.
std::vector<QString> Walk(SendRecall& recall, const QString& editing) {
    std::vector<QString> seen;
    while (const std::optional<QString> line = recall.older(editing)) seen.push_back(*line);
    while (const std::optional<QString> line = recall.newer()) seen.push_back(*line);
    return seen;
}

TEST(SendRecall, StepsNewestFirstAndBackToTheLineEdited) {
    SendRecall recall;
    EXPECT_EQ(recall.older("draft"), std::nullopt) << "nothing sent yet";
    for (const char* line : {"a", "b", "c"}) recall.add(line);
    EXPECT_EQ(Walk(recall, "draft"), (std::vector<QString>{"c", "b", "a", "b", "c", "draft"}));
    EXPECT_EQ(recall.newer(), std::nullopt) << "not stepping any more";
    // Sending starts the stepping again from the newest.
    EXPECT_EQ(recall.older("x"), "c");
    recall.add("d");
    EXPECT_EQ(recall.older("next"), "d");
    EXPECT_EQ(recall.newer(), "next");
}

TEST(SendRecall, KeepsARepeatOnceNothingEmptyAndTheNewestHundred) {
    SendRecall recall;
    for (const char* line : {"x", "x", "", "y", "x"}) recall.add(line);
    EXPECT_EQ(Walk(recall, ""), (std::vector<QString>{"x", "y", "x", "y", "x", ""}));
    SendRecall full;
    for (int i = 0; i < 105; ++i) full.add(QString::number(i));
    EXPECT_EQ(full.size(), 100);
    std::optional<QString> oldest;
    while (const std::optional<QString> line = full.older("")) oldest = line;
    EXPECT_EQ(oldest, "5");
}

}  // namespace
