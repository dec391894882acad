#pragma once

#include "mhtmlreader.h"

#include <QObject>
#include <QPageLayout>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class QWebEnginePage;
class QWebEngineProfile;
class PageRequestGuard;
class PagePartServer;

// The paper a page is printed on: A4 or Letter by the user's locale, with
// margins a reader's printout has, and the width left for the text in CSS
// pixels (96 per inch).
struct PageGeometry {
    QPageLayout layout;
    int textWidthPx = 0;

    static PageGeometry a4();
    static PageGeometry letter();
    // Letter where the user's locale (LC_ALL, LC_PAPER, LANG) uses it, A4 elsewhere.
    static PageGeometry forLocale();
};

// The URL schemes the page engine serves messages under. Chromium must know
// them before the application object exists.
void RegisterPageSchemes();

// Chromium's switches for the page engine; call before the application
// object exists. Keeps every host name from resolving, so not even a DNS
// look-up leaves the machine, and switches the sandbox off only for root,
// where Chromium refuses to start with it.
void PreparePageEngineEnvironment();

// Qt WebEngine laying mail pages out as a reader shows them and printing them
// to PDF. One page object is reused for every message. Nothing leaves the
// machine: JavaScript is off for the message, the profile keeps nothing, and
// every request that does not name one of the message's own parts (or a data:
// image) is refused.
class PageEngine : public QObject {
    Q_OBJECT
public:
    explicit PageEngine(QObject* parent = nullptr);
    ~PageEngine() override;

    // Empty on success, else the reason.
    using Done = std::function<void(const QString& error)>;

    // Loads `page` and prints it to `pdfPath`, and when `textPath` is not
    // empty writes the page's text there as Chromium gives it (UTF-8). `done`
    // is called once, from the event loop, also when the time limit runs out
    // first; after that the engine is spent (needsReplacement()), since
    // Chromium may still be busy with the page.
    void printToPdf(std::shared_ptr<const MailPage> page, const QString& pdfPath, const QString& textPath,
                    const PageGeometry& geometry, int timeLimitMs, Done done);

    bool isBusy() const { return bool(m_done); }
    bool needsReplacement() const { return m_spent; }
    // Requests refused since the engine started: what a page tried to fetch.
    int refusedRequests() const;

private:
    void onLoadFinished(bool ok);
    void onPdfPrinted(const QString& path, bool ok);
    void finish(const QString& error);

    std::unique_ptr<PageRequestGuard> m_guard;
    std::unique_ptr<PagePartServer> m_server;
    QWebEngineProfile* m_profile = nullptr; // owned through the QObject tree
    QWebEnginePage* m_page = nullptr;       // owned through the QObject tree
    QTimer m_timer;
    Done m_done;
    QString m_pdfPath;
    QString m_textPath;
    PageGeometry m_geometry;
    bool m_spent = false;
    bool m_printing = false;
    int m_generation = 0;
};
