#include "pageengine.h"

#include <QBuffer>
#include <QMutex>
#include <QMutexLocker>
#include <QPageSize>
#include <QSaveFile>
#include <QSizeF>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInfo>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>
#include <QWebEngineUrlSchemeHandler>

#include <unistd.h>

namespace {

// Pages are served as quillmark://m<N>/page.html: a host of their own for each
// message, so nothing of one message can be served to the next.
const QByteArray kPageScheme = QByteArrayLiteral("quillmark");
// cid: references are answered by the same server, straight from the parts.
const QByteArray kCidScheme = QByteArrayLiteral("cid");
const QString kPageFile = QStringLiteral("page.html");

constexpr double kMarginMm = 15.0;
constexpr double kCssPixelsPerMm = 96.0 / 25.4;
// Below half size mail text is hard to read on paper and in a picture.
constexpr double kMinimumZoom = 0.5;

PageGeometry geometryFor(QPageSize::PageSizeId id)
{
    const QPageSize size(id);
    PageGeometry geometry;
    geometry.layout =
        QPageLayout(size, QPageLayout::Portrait, QMarginsF(kMarginMm, kMarginMm, kMarginMm, kMarginMm),
                    QPageLayout::Millimeter);
    geometry.textWidthPx = int((size.size(QPageSize::Millimeter).width() - 2 * kMarginMm) * kCssPixelsPerMm);
    return geometry;
}

// Run in a world of its own after the page has loaded, so it works with the
// message's JavaScript off. Holds the paper and margins against the message's
// own @page rules and keeps the header block at its own size. Then fits the
// page to the text width as a reader fits it to its window: pictures wider
// than the text are scaled down to it with their shape kept, and only what is
// still too wide zooms the page, never below kMinimumZoom, where text stays
// readable. What is wider even then wraps: preformatted and unbroken lines,
// tables with their widths given up. Chromium itself would shrink a printout
// by at most half more and cut off the rest, text included.
QString fitScript(const PageGeometry& geometry)
{
    const QSizeF paper = geometry.layout.pageSize().size(QPageSize::Millimeter);
    return QStringLiteral(R"((function () {
  var root = document.documentElement;
  if (!root) return 0;
  var textWidth = %4, floor = %5;
  var style = document.createElement('style');
  style.textContent = '@page { size: %1mm %2mm !important; margin: %3mm !important }';
  (document.head || root).appendChild(style);
  function force(element, name, value) { element.style.setProperty(name, value, 'important'); }

  var header = document.querySelector('%6');
  if (header) {
    var scale = 1;
    for (var up = header.parentElement; up; up = up.parentElement)
      scale *= parseFloat(getComputedStyle(up).zoom) || 1;
    if (Math.abs(scale - 1) > 0.001) force(header, 'zoom', String(1 / scale));
  }

  var width = root.style.width;
  root.style.width = textWidth + 'px';
  var media = document.querySelectorAll('img, video, svg, canvas, iframe, object, embed');
  var pictures = [];
  for (var i = 0; i < media.length; ++i) {
    if (media[i].ownerSVGElement) continue;
    var box = media[i].getBoundingClientRect();
    if (box.width > textWidth) pictures.push([media[i], box.width, box.height]);
  }
  pictures.forEach(function (picture) {
    var element = picture[0];
    force(element, 'box-sizing', 'border-box');
    force(element, 'max-width', 'min(100%, ' + textWidth + 'px)');
    force(element, 'min-width', '0');
    if (picture[2] > 0) {
      force(element, 'aspect-ratio', picture[1] + ' / ' + picture[2]);
      force(element, 'height', 'auto');
      force(element, 'min-height', '0');
    }
  });

  var needed = root.scrollWidth;
  var zoom = needed > textWidth ? textWidth / needed : 1;
  if (zoom < floor) {
    zoom = floor;
    var room = textWidth / floor;
    root.style.width = room + 'px';
    var all = document.body ? document.body.getElementsByTagName('*') : [];
    var lines = [], boxes = [];
    for (var j = 0; j < all.length; ++j) {
      var element = all[j];
      var rect = element.getBoundingClientRect();
      var space = getComputedStyle(element).whiteSpace;
      if ((space === 'pre' || space === 'nowrap') &&
          (rect.right > room + 1 || element.scrollWidth > element.clientWidth + 1))
        lines.push([element, space]);
      if (rect.width > room + 1 && !element.ownerSVGElement &&
          !/^(TD|TH|TR|TBODY|THEAD|TFOOT|COL|COLGROUP|CAPTION)$/.test(element.tagName))
        boxes.push(element);
    }
    lines.forEach(function (line) {
      force(line[0], 'white-space', line[1] === 'pre' ? 'pre-wrap' : 'normal');
      force(line[0], 'overflow-wrap', 'anywhere');
    });
    boxes.forEach(function (element) {
      force(element, 'box-sizing', 'border-box');
      force(element, 'min-width', '0');
      if (element.tagName === 'TABLE') {
        force(element, 'width', 'auto');
        force(element, 'table-layout', 'auto');
        var cells = element.querySelectorAll('td, th, col, colgroup');
        for (var k = 0; k < cells.length; ++k) {
          force(cells[k], 'width', 'auto');
          force(cells[k], 'min-width', '0');
          force(cells[k], 'overflow-wrap', 'anywhere');
        }
      } else {
        force(element, 'max-width', '100%');
      }
    });
  }
  root.style.width = width;
  if (zoom < 1) root.style.zoom = zoom;
  // Pictures fill the text width of the zoomed page too.
  pictures.forEach(function (picture) {
    force(picture[0], 'max-width', 'min(100%, ' + textWidth / zoom + 'px)');
  });
  return needed;
})())")
        .arg(paper.width())
        .arg(paper.height())
        .arg(kMarginMm)
        .arg(geometry.textWidthPx)
        .arg(kMinimumZoom)
        .arg(QLatin1String(kHeaderBlockTag));
}

} // namespace

PageGeometry PageGeometry::a4()
{
    return geometryFor(QPageSize::A4);
}

PageGeometry PageGeometry::letter()
{
    return geometryFor(QPageSize::Letter);
}

PageGeometry PageGeometry::forLocale()
{
    QByteArray locale;
    for (const char* variable : {"LC_ALL", "LC_PAPER", "LANG"}) {
        locale = qgetenv(variable);
        if (!locale.isEmpty())
            break;
    }
    // Territories whose paper is Letter; everyone else uses A4.
    static const QList<QByteArray> letterTerritories = {"US", "CA", "MX", "CL", "CO", "CR", "GT", "PA",
                                                        "PH", "PR", "SV", "VE", "DO", "NI", "HN", "BZ"};
    const qsizetype underscore = locale.indexOf('_');
    if (underscore >= 0 && letterTerritories.contains(locale.mid(underscore + 1, 2)))
        return letter();
    return a4();
}

void RegisterPageSchemes()
{
    QWebEngineUrlScheme page(kPageScheme);
    page.setSyntax(QWebEngineUrlScheme::Syntax::Host);
    page.setFlags(QWebEngineUrlScheme::SecureScheme);
    QWebEngineUrlScheme::registerScheme(page);

    QWebEngineUrlScheme cid(kCidScheme);
    cid.setSyntax(QWebEngineUrlScheme::Syntax::Path);
    cid.setFlags(QWebEngineUrlScheme::SecureScheme);
    QWebEngineUrlScheme::registerScheme(cid);
}

void PreparePageEngineEnvironment()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    // No host name resolves, so a reference that slipped past the request
    // guard could not even be looked up; no GPU, as the host has no display.
    flags += " --host-resolver-rules=\"MAP * ~NOTFOUND\" --disable-gpu --no-proxy-server"
             " --disable-background-networking --disable-component-update";
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.trimmed());
    // Chromium's sandbox needs a user namespace, which root (a container, CI)
    // does not get, and Chromium will not run as root with it on. Everyone
    // else keeps it: the renderer that parses the message stays confined.
    if (::geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
}

// Lets through what belongs to the message being shown and refuses the rest.
class PageRequestGuard : public QWebEngineUrlRequestInterceptor {
public:
    void setCurrentHost(const QString& host)
    {
        const QMutexLocker lock(&m_mutex);
        m_host = host;
    }

    int refused() const
    {
        const QMutexLocker lock(&m_mutex);
        return m_refused;
    }

    void interceptRequest(QWebEngineUrlRequestInfo& info) override
    {
        const QUrl url = info.requestUrl();
        const QByteArray scheme = url.scheme().toLatin1();
        const QMutexLocker lock(&m_mutex);
        if ((scheme == kPageScheme && url.host() == m_host) || scheme == kCidScheme ||
            (scheme == "data" && url.path().startsWith(QLatin1String("image/"))))
            return;
        ++m_refused;
        info.block(true);
    }

private:
    mutable QMutex m_mutex;
    QString m_host;
    int m_refused = 0;
};

// Answers the page and its parts from memory.
class PagePartServer : public QWebEngineUrlSchemeHandler {
public:
    void setPage(const QString& host, std::shared_ptr<const MailPage> page)
    {
        m_host = host;
        m_page = std::move(page);
    }

    void requestStarted(QWebEngineUrlRequestJob* job) override
    {
        const QUrl url = job->requestUrl();
        const MailPart* part = nullptr;
        if (!m_page) {
            job->fail(QWebEngineUrlRequestJob::UrlNotFound);
            return;
        }
        if (url.scheme().toLatin1() == kCidScheme) {
            part = m_page->partWithContentId(url.path(QUrl::FullyDecoded));
        } else if (url.host() == m_host) {
            const QString path = url.path(QUrl::FullyDecoded).mid(1);
            if (path == kPageFile) {
                reply(job, QByteArrayLiteral("text/html;charset=utf-8"), m_page->html);
                return;
            }
            part = m_page->partAtLocation(path);
        }
        if (!part) {
            job->fail(QWebEngineUrlRequestJob::UrlNotFound);
            return;
        }
        reply(job, part->mimeType, part->data);
    }

private:
    static void reply(QWebEngineUrlRequestJob* job, const QByteArray& mimeType, const QByteArray& data)
    {
        auto* buffer = new QBuffer(job); // the job owns it and ends with the request
        buffer->setData(data);
        buffer->open(QIODevice::ReadOnly);
        job->reply(mimeType, buffer);
    }

    QString m_host;
    std::shared_ptr<const MailPage> m_page;
};

// Refuses every navigation but the load of the page itself: a meta refresh,
// a form or a link cannot take the page anywhere.
class MailWebPage : public QWebEnginePage {
public:
    using QWebEnginePage::QWebEnginePage;
    QUrl allowed;

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType, bool isMainFrame) override
    {
        return isMainFrame && url == allowed;
    }
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString&, int, const QString&) override
    {
    }
};

PageEngine::PageEngine(QObject* parent)
    : QObject(parent), m_guard(std::make_unique<PageRequestGuard>()),
      m_server(std::make_unique<PagePartServer>())
{
    m_profile = new QWebEngineProfile(); // no storage name: off the record
    m_profile->setHttpCacheType(QWebEngineProfile::NoCache);
    m_profile->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
    m_profile->setSpellCheckEnabled(false);
    m_profile->setUrlRequestInterceptor(m_guard.get());
    m_profile->installUrlSchemeHandler(kPageScheme, m_server.get());
    m_profile->installUrlSchemeHandler(kCidScheme, m_server.get());

    QWebEngineSettings* settings = m_profile->settings();
    settings->setAttribute(QWebEngineSettings::JavascriptEnabled, false);
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
    settings->setAttribute(QWebEngineSettings::PluginsEnabled, false);
    settings->setAttribute(QWebEngineSettings::PdfViewerEnabled, false);
    settings->setAttribute(QWebEngineSettings::DnsPrefetchEnabled, false);
    settings->setAttribute(QWebEngineSettings::HyperlinkAuditingEnabled, false);
    settings->setAttribute(QWebEngineSettings::AutoLoadIconsForPage, false);
    settings->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    settings->setAttribute(QWebEngineSettings::PrintElementBackgrounds, true);
    settings->setAttribute(QWebEngineSettings::ShowScrollBars, false);

    m_page = new MailWebPage(m_profile);
    connect(m_page, &QWebEnginePage::loadFinished, this, &PageEngine::onLoadFinished);
    connect(m_page, &QWebEnginePage::pdfPrintingFinished, this, &PageEngine::onPdfPrinted);
    connect(m_page, &QWebEnginePage::renderProcessTerminated, this, [this] {
        m_spent = true;
        finish(QStringLiteral("the page engine's renderer ended while laying out the page"));
    });

    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_spent = true;
        finish(QStringLiteral("the page did not load and print within %1 seconds")
                   .arg((m_timer.interval() + 999) / 1000));
    });
}

PageEngine::~PageEngine()
{
    // The page before its profile, the profile before the guard and server
    // it refers to.
    delete m_page;
    delete m_profile;
}

int PageEngine::refusedRequests() const
{
    return m_guard->refused();
}

void PageEngine::printToPdf(std::shared_ptr<const MailPage> page, const QString& pdfPath,
                            const QString& textPath, const PageGeometry& geometry, int timeLimitMs, Done done)
{
    if (m_done) {
        done(QStringLiteral("the page engine is busy with another page"));
        return;
    }
    if (m_spent) {
        done(QStringLiteral("the page engine must be restarted after a page that did not finish"));
        return;
    }
    m_done = std::move(done);
    m_pdfPath = pdfPath;
    m_textPath = textPath;
    m_geometry = geometry;
    const QString host = QStringLiteral("m%1").arg(++m_generation);
    m_guard->setCurrentHost(host);
    m_server->setPage(host, std::move(page));
    const QUrl url(QStringLiteral("%1://%2/%3").arg(QLatin1String(kPageScheme), host, kPageFile));
    static_cast<MailWebPage*>(m_page)->allowed = url;
    m_timer.start(qMax(1, timeLimitMs));
    // A page without a view counts as hidden, and Chromium does not lay out a
    // hidden page unless something asks for it. An <object> or <embed> holds
    // the load back until a layout has run, so behind a refused stylesheet
    // such a page stayed half loaded until the time limit. Shown, it is laid
    // out as a reader's window lays it out.
    m_page->setVisible(true);
    m_page->load(url);
}

void PageEngine::onLoadFinished(bool ok)
{
    // Only the first answer counts: a refused refresh or link that follows
    // the load must not fail a page that is being printed.
    if (!m_done || m_printing)
        return;
    if (!ok) {
        finish(QStringLiteral("the page could not be laid out"));
        return;
    }
    m_printing = true;
    const int generation = m_generation;
    m_page->runJavaScript(fitScript(m_geometry), QWebEngineScript::ApplicationWorld,
                          [this, generation](const QVariant&) {
                              if (m_done && generation == m_generation)
                                  m_page->printToPdf(m_pdfPath, m_geometry.layout);
                          });
}

void PageEngine::onPdfPrinted(const QString& path, bool ok)
{
    if (!m_done || path != m_pdfPath)
        return;
    if (!ok || m_textPath.isEmpty()) {
        finish(ok ? QString() : QStringLiteral("the page could not be printed to %1").arg(path));
        return;
    }
    // The text of the page as laid out, from the engine that laid it out:
    // what a reader sees, without a second reading of the HTML.
    const int generation = m_generation;
    m_page->toPlainText([this, generation](const QString& text) {
        if (!m_done || generation != m_generation)
            return;
        QSaveFile file(m_textPath);
        const QByteArray bytes = text.toUtf8();
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
            finish(QStringLiteral("the page's text could not be written to %1: %2")
                       .arg(m_textPath, file.errorString()));
        else
            finish(QString());
    });
}

void PageEngine::finish(const QString& error)
{
    if (!m_done)
        return;
    m_timer.stop();
    m_pdfPath.clear();
    m_textPath.clear();
    m_printing = false;
    // Hidden again, so a finished message's animations do not keep the
    // engine drawing while it waits for the next.
    m_page->setVisible(false);
    // The next page must not be served this one's parts.
    m_server->setPage(QString(), nullptr);
    m_guard->setCurrentHost(QString());
    std::exchange(m_done, {})(error);
}
