#include "shell/text_fit.h"

#include <gtest/gtest.h>

namespace {

TEST(TextFitTest, GrowsAboutTheCentreAndMovesClearOfNeighboursWhereThereIsRoom)
{
    const QRect label(10, 20, 50, 12);
    struct Row {
        const char* what;
        int height;
        std::vector<QRect> obstacles;
        QRect grown;
    };
    const Row rows[] = {
        {"tall enough", 12, {}, label},
        {"free", 16, {}, QRect(10, 18, 50, 16)},
        {"edit right below", 16, {QRect(10, 33, 50, 18)}, QRect(10, 17, 50, 16)},
        {"title right above", 16, {QRect(0, 0, 80, 19)}, QRect(10, 19, 50, 16)},
        {"other columns", 16, {QRect(61, 0, 10, 60)}, QRect(10, 18, 50, 16)},
        {"already overlapping", 16, {QRect(30, 25, 10, 30)}, QRect(10, 18, 50, 16)},
        // 15 pixels between them: still centred, as readable as it can be
        {"no room", 16, {QRect(0, 0, 80, 19), QRect(0, 34, 80, 5)}, QRect(10, 18, 50, 16)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(growAboutCentre(label, row.height, row.obstacles), row.grown);
    }
}

}   // namespace
