#pragma once

// The conversion judges binary data with the reader's own test (LooksBinary),
// on the work file as on its page.
#include "mimeparts.h"

#include <QList>
#include <QString>
#include <QStringView>

#include <optional>

class Dialogs;
class StepGuard;

// The four header lines shown above a message's body. Each holds the block's
// own label ("Subject: ") and the field's value as written, continuation lines
// joined to it; empty when the message has no such field.
struct HeaderLines {
    QString fromLine;
    QString toLine;
    QString subjectLine;
    QString dateLine;

    bool complete() const
    {
        return !fromLine.isEmpty() && !toLine.isEmpty() && !subjectLine.isEmpty() && !dateLine.isEmpty();
    }
};

// Cuts the text at CR LF and at a bare LF; a CR on its own does not cut. A
// text ending in a line break yields a last empty line, an empty text none.
// The views point into `text`.
QList<QStringView> CutLines(QStringView text);

// Finds the From, To, Subject and Date fields of the message's own header, up
// to the first empty line, as readers do: the name in any letter case, any
// blanks or none after the colon ("DATE:Mon, ..."). A later line replaces an
// earlier one; the scan stops on the line where all four are known. A field
// the header lacks stays empty rather than being taken from quoted text, a
// forwarded message or an attachment's headers.
HeaderLines ScanHeaderLines(const QList<QStringView>& lines);

// The block shown above the body: From and To with their angle brackets as
// square ones, then Subject and Date, separated by "<br>" and ended by
// "<br><br>". Encoded words are decoded and the whole block is plain ASCII
// HTML without '=' (entities and numeric character references), so it can go
// into any part, quoted-printable and 8-bit charsets included.
QString BuildHeaderBlock(const HeaderLines& values);

// The message's own Cc field as a "Cc: " line (continuation lines joined), by
// the rule of the four: any letter case and spacing, in the header up to its
// first empty line, a later one replacing an earlier one.
// Empty when there is none.
QString ScanCcLine(const QList<QStringView>& lines);

// What the block may show below the four lines, for archives and productions
// that ask for it; the window's block never does.
struct HeaderExtras {
    bool cc = false;
    bool attachments = false;
    // Shown after "Attachments: ", comma-separated ("report.pdf (120 KB)");
    // no line when empty.
    QStringList attachmentDescriptions;
};

// The block with a "Cc: " line (square brackets like From and To) when
// `ccLine` is not empty, and an "Attachments: " line when there are
// descriptions, below the four and before the empty line.
QString BuildHeaderBlock(const HeaderLines& values, const QString& ccLine,
                         const QStringList& attachmentDescriptions);

// The block as it goes into the page: in an element of its own (see
// kHeaderBlockTag) whose style no rule of the message's CSS overrides, black on
// white in the engine's plain font and size, so the header reads the same on
// dark, tinted and tiny-print mail. Plain ASCII HTML without '=', like the
// block.
QString HeaderBlockElement(const QString& block);

// The position just after the '>' that closes the first "<body" (any letter
// case) of the text, or -1 when there is no such tag or no '>' after it.
qsizetype FindBodyTagEnd(QStringView text);

// Writes the page for a message held in memory, an attached message, to
// `pagePath`, as PrepareMessagePage builds a work file's: the block after the
// first body tag, else in the part a reader shows, else above the text as a
// page of its own. Two-byte text (it starts with a byte order mark, in either
// byte order) becomes the UTF-8 bytes of its characters and is parsed as the
// 8-bit message it is; binary data, that merely starting FF or FE included,
// is written as it is. A lone zero byte among the header lines becomes a
// blank (WithHeaderZeroBytesBlanked). Throws StepError when it cannot be
// written.
void WriteMessagePage(const QByteArray& message, const QString& pagePath);

// Turns the work file at `mhtPath` into the page the office engine opens: the
// header block at the top of the message's body. Each step runs under the
// conversion run's guard with its own number (158 reading, 160 cutting the
// lines, 162 the scan, 194 and 196 the insertion, 204 writing); a failed step
// is reported and the next one goes on, so a page that cannot be built is
// written back as it was read. Reading also reports its own failures.
void PrepareMessagePage(const QString& mhtPath, StepGuard& guard);
// The same with extra lines in the block; the Cc line is scanned in step 162,
// the block built in 194.
void PrepareMessagePage(const QString& mhtPath, StepGuard& guard, const HeaderExtras& extras);
// The same under a guard of its own that reports as the conversion run does.
void PrepareMessagePage(const QString& mhtPath, Dialogs& dialogs);
