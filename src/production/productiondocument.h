#pragma once

#include "renderoptions.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// One document of a production as its layout found it: a message, or one of
// the attachments that follow it. The paths name work files, which live only
// until the document's images, text and native are in the volume.
struct LaidOutDocument {
    enum class Type { Email, Attachment };
    Type type = Type::Email;
    // The document this one is attached to, as an index into the family's
    // list; -1 for the message the family starts with.
    int parent = -1;
    // An attached message is an e-mail in its own right, with the fields below.
    bool isMessage = true;

    QString fileName;
    qint64 fileSize = 0;
    QString md5;
    QString sha1;

    // Of a message (the family's own or an attached one); empty otherwise.
    QString from;
    QString to;
    QString cc;
    QString bcc;
    QString subject;
    QString dateSent; // MM/DD/YYYY
    QString timeSent; // HH:MM:SS +zone
    QString messageId;
    QString inReplyTo;

    // The laid-out pages; empty for a native, whose one page is its slip
    // sheet, made once its number is known.
    QString pdfPath;
    // The document's text (UTF-8), or empty when it has none.
    QString textPath;
    // The file as it came, when it is produced in its native form.
    QString nativePath;
    // Why the attachment is shown by a notice page instead of its own pages.
    QString notice;
    int pages = 0;

    bool isNative() const { return !nativePath.isEmpty(); }
    QString extension() const;

    QJsonObject toJson() const;
    static LaidOutDocument fromJson(const QJsonObject& object);
};

// A message with its attachments (and theirs) in the order they are produced.
struct Family {
    QList<LaidOutDocument> documents;

    int pageCount() const;
    QJsonObject toJson() const;
    static Family fromJson(const QJsonObject& object);
};

// Where the documents of a family stand once their numbers are known:
// numbers run on from the family's first page through every document.
struct NumberedDocument {
    qint64 begin = 0;
    qint64 end = 0;
    qint64 familyBegin = 0;
    qint64 familyEnd = 0;
    // The number of the document it is attached to; 0 for the family's
    // message.
    qint64 parentBegin = 0;
    int attachCount = 0;
};

// The numbers of a family whose first page is `firstNumber`.
QList<NumberedDocument> NumberFamily(const Family& family, qint64 firstNumber);

// The layout of a production volume. Images go into folders of at most
// `kImagesPerFolder` by their place in the production: IMAGES/0001 holds the
// first thousand numbers, IMAGES/0002 the next; a document's text and native
// go into the folder of its first page.
class VolumeLayout {
public:
    static constexpr int kImagesPerFolder = 1000;

    VolumeLayout(QString root, BatesNumbering numbering, QString volume);

    const QString& root() const { return m_root; }
    const QString& volume() const { return m_volume; }
    const BatesNumbering& numbering() const { return m_numbering; }

    // "0001" for the folder of the number.
    QString folderOf(qint64 number) const;
    // Paths relative to the root, with '/': IMAGES/0001/ABC-000000001.tif.
    QString imagePath(qint64 number) const;
    QString textPath(qint64 begin) const;
    QString nativePath(qint64 begin, const QString& extension) const;
    QString optPath() const;
    QString datPath() const;
    QString csvPath() const;
    // What a run keeps to be resumed; not part of what is handed over.
    QString journalPath() const;

    QString absolute(const QString& relative) const;
    // As load files write it: backslashes.
    static QString loadFilePath(const QString& relative);

private:
    QString m_root;
    BatesNumbering m_numbering;
    QString m_volume;
};
