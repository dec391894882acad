#include "qtdialogs.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {
// Answers the next message box with the given button; records what it showed.
struct BoxAnswer {
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QList<QMessageBox::StandardButton> buttons;
};

void answerNextBox(QMessageBox::StandardButton press, BoxAnswer& seen)
{
    QTimer::singleShot(0, [press, &seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        seen = {box->windowTitle(), box->text(), box->icon(), {}};
        for (QAbstractButton* b : box->buttons())
            seen.buttons << box->standardButton(b);
        box->button(press)->click();
    });
}
} // namespace

class TestQtDialogs : public QObject {
    Q_OBJECT
private slots:
    void messageBoxStylesAndAnswers();
    void filtersInTheOldFormBecomeQtFilters();
};

void TestQtDialogs::messageBoxStylesAndAnswers()
{
    QtDialogs dialogs;
    dialogs.setApplicationTitle(QStringLiteral("Quillmark Converter"));
    BoxAnswer seen;

    answerNextBox(QMessageBox::Yes, seen);
    QCOMPARE(dialogs.messageBox(QStringLiteral("Go on?"), Dialogs::YesNo), Dialogs::AnswerYes);
    QCOMPARE(seen.title, QStringLiteral("Quillmark Converter"));
    QCOMPARE(seen.buttons.size(), 2);

    answerNextBox(QMessageBox::No, seen);
    QCOMPARE(dialogs.messageBox(QStringLiteral("Go on?"), Dialogs::YesNo), Dialogs::AnswerNo);

    answerNextBox(QMessageBox::Ok, seen);
    QCOMPARE(dialogs.messageBox(QStringLiteral("Broken\r\nin X at line 4\r\rMail us"), Dialogs::Exclamation,
                                QStringLiteral("Application Error")),
             Dialogs::AnswerOk);
    QCOMPARE(seen.title, QStringLiteral("Application Error"));
    QCOMPARE(seen.icon, QMessageBox::Warning);
    QCOMPARE(seen.text, QStringLiteral("Broken\nin X at line 4\n\nMail us"));

    answerNextBox(QMessageBox::Ok, seen);
    QCOMPARE(dialogs.messageBox(QStringLiteral("Done."), Dialogs::OkOnly), Dialogs::AnswerOk);
    QCOMPARE(seen.icon, QMessageBox::NoIcon);
    QCOMPARE(seen.buttons, QList<QMessageBox::StandardButton>{QMessageBox::Ok});
}

void TestQtDialogs::filtersInTheOldFormBecomeQtFilters()
{
    QCOMPARE(QtDialogs::toQtFilter(QStringLiteral("EML Files (*.eml)|*.eml|")),
             QStringLiteral("EML Files (*.eml)"));
    QCOMPARE(QtDialogs::toQtFilter(QStringLiteral("Mail|*.eml;*.msg|All files|*")),
             QStringLiteral("Mail (*.eml *.msg);;All files (*)"));
    QCOMPARE(QtDialogs::toQtFilter(QStringLiteral("Images (*.png *.jpg)")),
             QStringLiteral("Images (*.png *.jpg)"));
}

QTEST_MAIN(TestQtDialogs)
#include "test_qtdialogs.moc"
