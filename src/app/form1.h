#pragma once

#include "filelisttarget.h"

#include <QCursor>
#include <QWidget>
#include <exception>
#include <functional>
#include <optional>

class CaptionProgressBar;
class Dialogs;
class FileListView;
class ProgressBar;
class QFrame;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class SettingsStore;

// The program's one window. Its child widgets carry the control names
// (ListView1, PushButton1, ...), its handlers the control_event names.
//
// What other parts of the program plug in (all optional):
//   checkOfficeCanStart  the last step of start-up; false ends the program
//                        (the check has told the user why).
//   startConverting      "Start Converting". Receives the window, from which
//                        a run reads, as often as it likes:
//                          itemCount(), itemText(i) (1-based; a drag during
//                          the run changes what later indexes hold),
//                          saveToFolder() (Option1), saveBesideOriginal()
//                          (Option2), destinationFolder() (Text1's text),
//                          progressBar(), setBusy(true/false), isBusy(),
//                          dialogs().
//                        The hook runs unguarded; it brings its own guard.
//   drawHomePageNumber   1..100; the home page opens on a 7.
//   endProcess           what closing the window does; by default the
//                        process ends at once, in the middle of any wait.
class Form1 : public QWidget, public FileListTarget {
    Q_OBJECT
public:
    struct Hooks {
        std::function<bool()> checkOfficeCanStart;
        std::function<void(Form1&)> startConverting;
        std::function<int()> drawHomePageNumber;
        std::function<void()> endProcess;
    };

    Form1(Dialogs& dialogs, SettingsStore& settings, Hooks hooks, QString programFolder,
          QWidget* parent = nullptr);
    ~Form1() override;

    // The start-up sequence; runs once, before the window is shown.
    void Form_Load();

    // FileListTarget
    void appendItems(const QStringList& paths) override;
    QStringList items() const override;
    int itemCount() const override;
    void setBusy(bool busy) override;
    bool isBusy() const override;

    QString itemText(int index) const;
    bool saveToFolder() const;
    bool saveBesideOriginal() const;
    QString destinationFolder() const;
    ProgressBar& progressBar();
    Dialogs& dialogs() const { return m_dialogs; }
    SettingsStore& settings() const { return m_settings; }
    QString programFolder() const { return m_programFolder; }

    // Whether the hand cursor file was loaded at start-up.
    bool hasHandCursor() const { return m_handCursor.has_value(); }

    // Handlers, public so tests can drive them as the user would.
    void PushButton1_Click();
    void PushButton2_Click();
    void PushButton4_Click();
    void PushButton6_Click();
    void PushButton7_Click();
    void PushButton9_Click();
    void Option1_Click();
    void Option2_Click();
    void Text1_Change();
    void ListView1_OLEDragDrop(const QStringList& paths);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    QPushButton* makeButton(const char* name, const QString& caption, void (Form1::*handler)());
    void storeOptions();
    // Handlers reached through Qt signals must not throw into Qt. Inside
    // withHandlerErrors() a failure is carried out to the guarded step that
    // made the change; otherwise the user is told once.
    void runHandler(const std::function<void()>& handler);
    void withHandlerErrors(const std::function<void()>& body);
    static void setOptionValue(QRadioButton* option, bool value);
    // The pointer rules: the hand over push buttons, the arrow elsewhere, and
    // never over the busy pointer.
    void pointerOverButton();
    void pointerOverBackground();

    Dialogs& m_dialogs;
    SettingsStore& m_settings;
    Hooks m_hooks;
    QString m_programFolder;
    std::optional<QCursor> m_handCursor;
    QString m_lastFolderDot;
    int m_deferDepth = 0;
    std::exception_ptr m_deferred;
    bool m_handlerFailureShown = false;

    FileListView* m_list = nullptr;
    CaptionProgressBar* m_progress = nullptr;
    QPushButton* m_addFiles = nullptr;
    QPushButton* m_addFolder = nullptr;
    QPushButton* m_start = nullptr;
    QPushButton* m_clear = nullptr;
    QPushButton* m_samples = nullptr;
    QPushButton* m_browse = nullptr;
    QGroupBox* m_frame1 = nullptr;
    QRadioButton* m_option1 = nullptr;
    QRadioButton* m_option2 = nullptr;
    QFrame* m_frame3 = nullptr;
    QLineEdit* m_text1 = nullptr;
};
