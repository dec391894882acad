#include "renderoptions.h"

#include <QFileInfo>

std::optional<ColourMode> ParseColourMode(const QString& name)
{
    const QString lower = name.toLower();
    if (lower == QLatin1String("auto"))
        return ColourMode::Auto;
    if (lower == QLatin1String("colour") || lower == QLatin1String("color"))
        return ColourMode::Colour;
    if (lower == QLatin1String("grey") || lower == QLatin1String("gray"))
        return ColourMode::Grey;
    if (lower == QLatin1String("mono"))
        return ColourMode::Mono;
    return std::nullopt;
}

QString ColourModeName(ColourMode mode)
{
    switch (mode) {
    case ColourMode::Colour:
        return QStringLiteral("colour");
    case ColourMode::Grey:
        return QStringLiteral("grey");
    case ColourMode::Mono:
        return QStringLiteral("mono");
    case ColourMode::Auto:
        break;
    }
    return QStringLiteral("auto");
}

QStringList PageOptionArguments(const RenderOptions& options)
{
    QStringList arguments;
    if (options.dpi != kDefaultDpi)
        arguments << QStringLiteral("--dpi") << QString::number(options.dpi);
    if (options.colour != ColourMode::Auto)
        arguments << QStringLiteral("--colour") << ColourModeName(options.colour);
    if (options.pages == PageFiles::Single)
        arguments << QStringLiteral("--pages") << QStringLiteral("single");
    return arguments;
}

QString BatesNumbering::number(qint64 value) const
{
    return prefix + QStringLiteral("%1").arg(value, digits, 10, QLatin1Char('0'));
}

std::optional<BatesNumbering> BatesNumbering::parse(const QString& text)
{
    qsizetype digitsFrom = text.size();
    while (digitsFrom > 0 && text.at(digitsFrom - 1).isDigit() && text.at(digitsFrom - 1).unicode() < 128)
        --digitsFrom;
    BatesNumbering numbering;
    numbering.prefix = text.left(digitsFrom);
    if (numbering.prefix.isEmpty())
        return std::nullopt;
    // The prefix names the load file and stands in its comma-separated lines.
    for (const QChar c : numbering.prefix)
        if (c.unicode() < 0x20 || c == u'/' || c == u'\\' || c == u',' || c == u'"' || c.unicode() == 0x7F)
            return std::nullopt;
    if (numbering.prefix.startsWith(u'.') || numbering.prefix.startsWith(u'-'))
        return std::nullopt;
    const QString digits = text.mid(digitsFrom);
    if (!digits.isEmpty()) {
        if (digits.size() > 15)
            return std::nullopt;
        numbering.first = digits.toLongLong();
        numbering.digits = int(digits.size());
    }
    return numbering;
}

QString PageFilePath(const QString& outputPath, int pageNumber)
{
    QString stem = outputPath;
    const QString suffix = QFileInfo(outputPath).suffix();
    if (!suffix.isEmpty())
        stem.chop(suffix.size() + 1);
    return stem + QStringLiteral("_%1.").arg(pageNumber, 4, 10, QLatin1Char('0')) +
           (suffix.isEmpty() ? QStringLiteral("tiff") : suffix);
}

QStringList ExistingPageFiles(const QString& outputPath, int fromPage)
{
    QStringList files;
    for (int page = fromPage;; ++page) {
        const QString path = PageFilePath(outputPath, page);
        if (!QFileInfo(path).isFile())
            return files;
        files.append(path);
    }
}
