#pragma once

#include "renderoptions.h"

#include <QStringList>

// What the command line may ask of a message's pictures beyond the window's
// fixed output. The window never sets any of it.
struct ImagingOptions {
    // Resolution, colour mode, one file per page, and the Bates number of the
    // run's first page.
    RenderOptions render;
    // Lines below the four of the header block.
    bool headerCc = false;
    bool headerAttachments = false;
    // The pages of each attachment after the message's own.
    bool attachments = false;

    bool changesNothing() const
    {
        return render.dpi == kDefaultDpi && render.colour == ColourMode::Auto &&
               render.pages == PageFiles::Multi && !render.bates && !headerCc && !headerAttachments &&
               !attachments;
    }
};

// vexlo's arguments for the documents (the message's pages first) and the
// output, with the options and the Bates number of the message's first page.
// Options that change nothing give the original two-argument form. A path
// that starts with '-' is passed as "./-...", so it is never read as an
// option.
QStringList RendererArguments(const ImagingOptions& options, qint64 firstBatesNumber,
                              const QStringList& documents, const QString& outputPath);
