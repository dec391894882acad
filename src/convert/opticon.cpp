#include "opticon.h"

#include "paths.h"

#include <QDir>
#include <QSaveFile>

#include <stdexcept>

OpticonLoadFile::OpticonLoadFile(BatesNumbering numbering, QString folder)
    : m_numbering(std::move(numbering)), m_folder(std::move(folder))
{
}

void OpticonLoadFile::addDocument(qint64 firstNumber, const QStringList& imagePaths)
{
    const QDir folder(m_folder);
    for (qsizetype page = 0; page < imagePaths.size(); ++page) {
        // The format has no quoting: a line break in a name would start a
        // line of its own.
        QString image = VisibleName(folder.relativeFilePath(imagePaths.at(page)));
        image.replace(QLatin1Char('/'), QLatin1Char('\\'));
        const bool first = page == 0;
        const QString line = QStringLiteral("%1,%2,%3,%4,,,%5\r\n")
                                 .arg(m_numbering.number(firstNumber + page), m_numbering.prefix, image,
                                      first ? QStringLiteral("Y") : QString(),
                                      first ? QString::number(imagePaths.size()) : QString());
        m_text += line.toUtf8();
    }
}

QString OpticonLoadFile::path() const
{
    return m_folder + QLatin1Char('/') + m_numbering.prefix + QStringLiteral(".opt");
}

void OpticonLoadFile::write() const
{
    QSaveFile file(path());
    if (!file.open(QIODevice::WriteOnly) || file.write(m_text) != m_text.size() || !file.commit())
        throw std::runtime_error(QStringLiteral("the load file %1 could not be written: %2")
                                     .arg(path(), file.errorString())
                                     .toStdString());
}
