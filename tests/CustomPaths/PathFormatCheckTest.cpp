#include "CustomPaths/PathFormatCheck.h"

#include <gtest/gtest.h>

namespace {

TEST(PathFormatCheck, FormatsAreJudgedOnTheSampleMessage)
{
    struct Row {
        const char *kind, *format;
        bool accepted;
    };
    const Row rows[] = {
        {"pdf", "%Y/%m/__subject__.pdf", true},
        {"pdf", "none", true}, // shorter than five: no PDFs, which is a choice
        {"eml", "", true},
        {"attachment", "%Y/__subject__ (attachments)/__filename__", true},
        {"attachment", "%Y/__subject__.bin", false},
        {"pdf", "%Y/\n__subject__.pdf", false},
        {"pdf", "%Y\t__subject__.pdf", false},
        {"pdf", "/////", false},
        {"pdf", "%Y/../..//.pdf", true}, // made safe by the engine, not refused
        {"jpeg", "%Y/__subject__.jpg", false},
    };
    for (const Row &row : rows) {
        const QString reason = PathFormatCheck::rejectionReason(QString::fromLatin1(row.kind), QString::fromLatin1(row.format));
        EXPECT_EQ(reason.isEmpty(), row.accepted) << row.kind << " " << row.format << ": " << reason.toStdString();
    }
}

} // namespace
