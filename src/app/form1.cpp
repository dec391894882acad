#include "form1.h"

#include "captionprogressbar.h"
#include "dialogs.h"
#include "filelistview.h"
#include "listfilling.h"
#include "paths.h"
#include "samplefiles.h"
#include "settingsstore.h"
#include "startup.h"
#include "steperror.h"
#include "stepguard.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <cstdio>
#include <cstdlib>

namespace {
const QString kLocationPrefix = QStringLiteral("in Quillmark2021/08/31.Form1.");

QString location(const char* procedure)
{
    return kLocationPrefix + QLatin1String(procedure) + QLatin1Char(' ');
}

const QString kListTip = QStringLiteral("Drag and drop files here. Double-click item to remove it. "
                                        "Move | line to right and out of window to reveal full names.");
} // namespace

Form1::Form1(Dialogs& dialogs, SettingsStore& settings, Hooks hooks, QString programFolder, QWidget* parent)
    : QWidget(parent), m_dialogs(dialogs), m_settings(settings), m_hooks(std::move(hooks)),
      m_programFolder(std::move(programFolder))
{
    if (!m_hooks.endProcess)
        m_hooks.endProcess = [] {
            std::fflush(nullptr);
            std::_Exit(0);
        };
    if (!m_hooks.drawHomePageNumber)
        m_hooks.drawHomePageNumber = DrawHomePageNumber;
    setObjectName(QStringLiteral("Form1"));
    buildControls();
}

Form1::~Form1() = default;

QPushButton* Form1::makeButton(const char* name, const QString& caption, void (Form1::*handler)())
{
    auto* button = new QPushButton(caption, this);
    button->setObjectName(QLatin1String(name));
    button->setAutoDefault(false);
    button->setMouseTracking(true);
    button->installEventFilter(this);
    connect(button, &QPushButton::clicked, this, [this, handler] { (this->*handler)(); });
    return button;
}

void Form1::buildControls()
{
    QFont arial(QStringLiteral("Arial"));
    arial.setPointSizeF(font().pointSizeF() > 0 ? font().pointSizeF() : 9.0);
    setFont(arial);
    setMouseTracking(true);

    m_list = new FileListView(this);
    m_list->setObjectName(QStringLiteral("ListView1"));
    QFont listFont(QStringLiteral("Arial"), 9);
    listFont.setBold(true);
    m_list->setFont(listFont);
    m_list->setToolTip(kListTip);
    m_list->setDragCursorFile(m_programFolder + QStringLiteral("/drag.ico"));
    m_list->setBusyTest([this] { return isBusy(); });
    m_list->setMinimumSize(320, 160);
    connect(m_list, &FileListView::filesDropped, this, &Form1::ListView1_OLEDragDrop);
    connect(m_list, &FileListView::pointerMoved, this, &Form1::pointerOverBackground);

    m_addFiles = makeButton("PushButton1", QStringLiteral("Add EML File(s)"), &Form1::PushButton1_Click);
    m_addFolder =
        makeButton("PushButton4", QStringLiteral("Add All EML File(s) In Folder"), &Form1::PushButton4_Click);
    m_samples =
        makeButton("PushButton7", QStringLiteral("Load Sample/Example Files"), &Form1::PushButton7_Click);
    m_clear = makeButton("PushButton6", QStringLiteral("Clear List"), &Form1::PushButton6_Click);
    m_start = makeButton("PushButton2", QStringLiteral("Start Converting"), &Form1::PushButton2_Click);

    m_frame1 = new QGroupBox(QStringLiteral("Save Option"), this);
    m_frame1->setObjectName(QStringLiteral("Frame1"));
    m_frame1->setMouseTracking(true);
    m_frame1->installEventFilter(this);
    m_option2 = new QRadioButton(QStringLiteral("Save results in folder of original file"), m_frame1);
    m_option2->setObjectName(QStringLiteral("Option2"));
    m_option1 = new QRadioButton(QStringLiteral("Save results to this folder:"), m_frame1);
    m_option1->setObjectName(QStringLiteral("Option1"));

    m_frame3 = new QFrame(m_frame1);
    m_frame3->setObjectName(QStringLiteral("Frame3"));
    m_frame3->setFrameShape(QFrame::NoFrame);
    m_frame3->setMouseTracking(true);
    m_frame3->installEventFilter(this);
    m_text1 = new QLineEdit(m_frame3);
    m_text1->setObjectName(QStringLiteral("Text1"));
    m_text1->setMinimumWidth(220);
    m_browse = new QPushButton(QStringLiteral("..."), m_frame3);
    m_browse->setObjectName(QStringLiteral("PushButton9"));
    m_browse->setAutoDefault(false);
    m_browse->setMouseTracking(true);
    m_browse->installEventFilter(this);
    m_browse->setToolTip(QStringLiteral("Choose the folder"));
    connect(m_browse, &QPushButton::clicked, this, &Form1::PushButton9_Click);

    // Programmatic changes run these handlers as user changes do.
    connect(m_option1, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            runHandler([this] { Option1_Click(); });
    });
    connect(m_option2, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            runHandler([this] { Option2_Click(); });
    });
    connect(m_text1, &QLineEdit::textChanged, this, [this] { runHandler([this] { Text1_Change(); }); });

    m_progress = new CaptionProgressBar(this);
    m_progress->setObjectName(QStringLiteral("ProgressBar1"));
    m_progress->setText(QStringLiteral("Progress Bar"));

    // The list with its buttons, then where the results go and the button
    // that starts, then the progress across the bottom.
    auto* buttons = new QVBoxLayout;
    buttons->setSpacing(8);
    buttons->addWidget(m_addFiles);
    buttons->addWidget(m_addFolder);
    buttons->addWidget(m_samples);
    buttons->addSpacing(16);
    buttons->addWidget(m_clear);
    buttons->addStretch(1);

    auto* folderRow = new QHBoxLayout(m_frame3);
    folderRow->setContentsMargins(0, 0, 0, 0);
    folderRow->setSpacing(6);
    folderRow->addWidget(m_text1, 1);
    folderRow->addWidget(m_browse);

    auto* optionToFolder = new QHBoxLayout;
    optionToFolder->setSpacing(8);
    optionToFolder->addWidget(m_option1);
    optionToFolder->addWidget(m_frame3, 1);

    auto* options = new QVBoxLayout(m_frame1);
    options->setSpacing(8);
    options->addWidget(m_option2);
    options->addLayout(optionToFolder);

    auto* startColumn = new QVBoxLayout;
    startColumn->addStretch(1);
    startColumn->addWidget(m_start);

    // Two columns: the list above the save options on the left, the list's
    // buttons above "Start Converting" on the right.
    auto* page = new QGridLayout(this);
    page->setContentsMargins(14, 14, 14, 14);
    page->setHorizontalSpacing(12);
    page->setVerticalSpacing(12);
    page->addWidget(m_list, 0, 0);
    page->addLayout(buttons, 0, 1);
    page->addWidget(m_frame1, 1, 0);
    page->addLayout(startColumn, 1, 1);
    page->addWidget(m_progress, 2, 0, 1, 2);
    page->setColumnStretch(0, 1);
    page->setRowStretch(0, 1);

    setTabOrder(m_list, m_addFiles);
    setTabOrder(m_addFiles, m_addFolder);
    setTabOrder(m_addFolder, m_samples);
    setTabOrder(m_samples, m_clear);
    setTabOrder(m_clear, m_option2);
    setTabOrder(m_option2, m_option1);
    setTabOrder(m_option1, m_text1);
    setTabOrder(m_text1, m_browse);
    setTabOrder(m_browse, m_start);

    resize(760, 520);
}

void Form1::Form_Load()
{
    StepGuard guard(m_dialogs, location("Form_Load"));
    guard.step(100, [&] { ApplySkin(*this, m_programFolder); });
    const QString handCursorFile = m_programFolder + QStringLiteral("/HAND-M.CUR");
    if (guard.test(102, [&] { return PathExists(handCursorFile); }))
        guard.step(104, [&] { m_handCursor = LoadCursorFile(handCursorFile); });
    guard.step(106, [&] {
        if (m_hooks.drawHomePageNumber() == 7)
            m_dialogs.openInShell(QString::fromLatin1(kHomePage));
    });
    // Taken only while no snapshot is stored.
    guard.step(108, [&] { EnsureSampleSnapshot(m_settings, m_programFolder); });
    guard.step(130, [&] {
        setWindowTitle(QString::fromLatin1(kDisplayName));
        setWindowIcon(QIcon(QStringLiteral(":/quillmark/quillmark.png")));
        m_dialogs.setApplicationTitle(ApplicationTitleFrom(QString::fromLatin1(kDisplayName)));
    });
    guard.step(132, [&] { m_list->setHeaderLabels({QStringLiteral("EML File(s)")}); });
    guard.step(134, [&] { m_list->setColumnWidthTwips(0, 7000); });
    guard.step(136, [&] {
        const QString desktop = GetDesktopFolder();
        const QString text = m_settings.read(QStringLiteral("Text1"), desktop);
        withHandlerErrors([&] { m_text1->setText(text); });
    });
    guard.step(138, [&] {
        const bool on = m_settings.readTruth(QStringLiteral("Option1"), true);
        withHandlerErrors([&] { setOptionValue(m_option1, on); });
    });
    guard.step(140, [&] {
        const bool on = m_settings.readTruth(QStringLiteral("Option2"), false);
        withHandlerErrors([&] { setOptionValue(m_option2, on); });
    });
    if (guard.test(142, [&] { return m_option1->isChecked(); }))
        guard.step(144, [&] { m_frame3->setEnabled(true); });
    else
        guard.step(146, [&] { m_frame3->setEnabled(false); });
    guard.step(148, [&] {
        if (m_hooks.checkOfficeCanStart && !m_hooks.checkOfficeCanStart())
            m_hooks.endProcess();
    });
}

// Selecting an option clears its partner; clearing one leaves the other as it
// was, so a store holding "False" for both shows neither selected.
void Form1::setOptionValue(QRadioButton* option, bool value)
{
    if (value || !option->isChecked()) {
        option->setChecked(value);
        return;
    }
    option->setAutoExclusive(false);
    option->setChecked(false);
    option->setAutoExclusive(true);
}

void Form1::runHandler(const std::function<void()>& handler)
{
    try {
        handler();
        m_handlerFailureShown = false;
        return;
    } catch (const std::exception& e) {
        if (m_deferDepth > 0) {
            m_deferred = std::current_exception();
            return;
        }
        // A store that refuses every write would otherwise answer each
        // keystroke with a box; one report until a write succeeds again.
        if (!m_handlerFailureShown) {
            m_handlerFailureShown = true;
            m_dialogs.messageBox(ExceptionText(e) +
                                     QStringLiteral("\r\n\r\nYour choice is shown but was not saved."),
                                 Dialogs::Exclamation);
        }
    }
}

void Form1::withHandlerErrors(const std::function<void()>& body)
{
    ++m_deferDepth;
    try {
        body();
    } catch (...) {
        --m_deferDepth;
        m_deferred = nullptr;
        throw;
    }
    --m_deferDepth;
    if (m_deferred) {
        const std::exception_ptr failure = std::exchange(m_deferred, nullptr);
        std::rethrow_exception(failure);
    }
}

void Form1::storeOptions()
{
    m_settings.writeTruth(QStringLiteral("Option1"), m_option1->isChecked());
    m_settings.writeTruth(QStringLiteral("Option2"), m_option2->isChecked());
    m_frame3->setEnabled(m_option1->isChecked());
}

void Form1::Option1_Click()
{
    storeOptions();
}

void Form1::Option2_Click()
{
    storeOptions();
}

void Form1::Text1_Change()
{
    m_settings.write(QStringLiteral("Text1"), m_text1->text());
}

void Form1::PushButton9_Click()
{
    StepGuard guard(m_dialogs, location("PushButton9_Click"));
    QString chosen;
    guard.step(100, [&] {
        m_lastFolderDot = m_settings.read(QStringLiteral("LastFolderDot"));
        chosen = m_dialogs.pickFolder(QStringLiteral("Please select folder:"), m_lastFolderDot);
    });
    if (guard.test(102, [&] { return chosen.isEmpty(); }))
        return;
    const bool needsSeparator = guard.test(104, [&] {
        m_lastFolderDot = chosen;
        m_settings.write(QStringLiteral("LastFolderDot"), chosen);
        return !chosen.endsWith(QLatin1Char('/'));
    });
    if (needsSeparator)
        guard.step(106, [&] { withHandlerErrors([&] { m_text1->setText(chosen + QLatin1Char('/')); }); });
    else
        guard.step(108, [&] { withHandlerErrors([&] { m_text1->setText(chosen); }); });
}

void Form1::PushButton1_Click()
{
    AddEmlFiles(m_dialogs, *this);
}

void Form1::PushButton4_Click()
{
    AddAllFilesInFolder(m_dialogs, m_settings, *this);
}

void Form1::PushButton7_Click()
{
    LoadSampleFiles(m_dialogs, m_settings, *this, m_programFolder);
}

void Form1::PushButton6_Click()
{
    StepGuard guard(m_dialogs, location("PushButton6_Click"));
    guard.step(100, [&] { m_list->clearAll(); });
}

void Form1::PushButton2_Click()
{
    if (m_hooks.startConverting)
        m_hooks.startConverting(*this);
    else
        m_dialogs.messageBox(QStringLiteral("Converting is not available in this build."),
                             Dialogs::Exclamation);
}

void Form1::ListView1_OLEDragDrop(const QStringList& paths)
{
    AddDroppedPaths(m_dialogs, paths, *this);
}

void Form1::appendItems(const QStringList& paths)
{
    m_list->appendPaths(paths);
}

QStringList Form1::items() const
{
    return m_list->paths();
}

int Form1::itemCount() const
{
    return m_list->topLevelItemCount();
}

QString Form1::itemText(int index) const
{
    const QTreeWidgetItem* item = m_list->topLevelItem(index - 1);
    return item ? item->text(0) : QString();
}

bool Form1::saveToFolder() const
{
    return m_option1->isChecked();
}

bool Form1::saveBesideOriginal() const
{
    return m_option2->isChecked();
}

QString Form1::destinationFolder() const
{
    return m_text1->text();
}

ProgressBar& Form1::progressBar()
{
    return *m_progress;
}

void Form1::setBusy(bool busy)
{
    if (busy)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
}

bool Form1::isBusy() const
{
    return cursor().shape() == Qt::WaitCursor;
}

void Form1::pointerOverButton()
{
    if (isBusy())
        return;
    if (m_handCursor)
        setCursor(*m_handCursor);
    else
        setCursor(Qt::ArrowCursor);
}

void Form1::pointerOverBackground()
{
    if (!isBusy())
        unsetCursor();
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    const bool move = event->type() == QEvent::MouseMove;
    if (qobject_cast<QPushButton*>(watched)) {
        if (move || event->type() == QEvent::Enter) {
            pointerOverButton();
            // A plain move over a button ends here: passed on, it would reach
            // the frame or window beneath and bring the arrow back.
            if (move && static_cast<QMouseEvent*>(event)->buttons() == Qt::NoButton)
                return true;
        }
    } else if (move && (watched == m_frame1 || watched == m_frame3)) {
        pointerOverBackground();
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::mouseMoveEvent(QMouseEvent* event)
{
    pointerOverBackground();
    QWidget::mouseMoveEvent(event);
}

void Form1::closeEvent(QCloseEvent* event)
{
    // Nothing is left to save (every choice was written when made), and a run
    // or a wait in progress must not hold the window open.
    event->accept();
    m_hooks.endProcess();
}
