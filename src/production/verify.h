#pragma once

#include <QString>
#include <QStringList>

// Reads a production volume back through its load files, as a review
// platform would, and lists what is wrong with it: rows whose field count is
// not the header's, images the .opt names that are missing or that libtiff
// cannot read, numbers with gaps or doubles, rows that disagree with the
// .opt, documents outside their family's range, and text and native links
// that lead nowhere. An empty list: nothing is wrong.
struct VerifyResult {
    QStringList problems;
    int documents = 0;
    int pages = 0;
};
VerifyResult VerifyProduction(const QString& root);
