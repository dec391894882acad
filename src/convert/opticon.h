#pragma once

#include "renderoptions.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The Opticon load file of a Bates-numbered run, which review platforms read
// to find each page image and where each document starts. One line per page:
//   ABC000001,ABC,msg_0001.tiff,Y,,,3
// the page's number, the volume, the image path (relative to the load file,
// Windows separators), "Y" on a document's first page, two empty fields
// (folder and box breaks) and the document's page count on its first page.
// Lines end in CR LF.
class OpticonLoadFile {
public:
    // `folder` is where the load file goes; image paths are given relative
    // to it. The volume is the Bates prefix.
    OpticonLoadFile(BatesNumbering numbering, QString folder);

    // One converted message: its page images in order, the first numbered
    // `firstNumber`.
    void addDocument(qint64 firstNumber, const QStringList& imagePaths);

    QByteArray text() const { return m_text; }
    // <folder>/<prefix>.opt
    QString path() const;
    // Replaces the file in one step. Throws std::runtime_error.
    void write() const;

private:
    BatesNumbering m_numbering;
    QString m_folder;
    QByteArray m_text;
};
