#include "filelistview.h"
#include "formfixture.h"
#include "steperror.h"

#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QUrl>

namespace {
QStringList paths(int count)
{
    QStringList out;
    for (int i = 1; i <= count; ++i)
        out << QStringLiteral("/mail/%1.eml").arg(i, 2, 10, QLatin1Char('0'));
    return out;
}

QPoint centreOf(FileListView* list, int row)
{
    return list->visualItemRect(list->topLevelItem(row)).center();
}

void sendMouse(FileListView* list, QEvent::Type type, QPoint pos, Qt::MouseButtons buttons)
{
    QWidget* viewport = list->viewport();
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, QPointF(pos), viewport->mapToGlobal(QPointF(pos)), button, buttons,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &event);
}

void press(FileListView* list, int row)
{
    sendMouse(list, QEvent::MouseButtonPress, centreOf(list, row), Qt::LeftButton);
}

void dragTo(FileListView* list, QPoint pos)
{
    sendMouse(list, QEvent::MouseMove, pos, Qt::LeftButton);
}

void release(FileListView* list, QPoint pos)
{
    sendMouse(list, QEvent::MouseButtonRelease, pos, Qt::NoButton);
}

void doubleClick(FileListView* list, QPoint pos)
{
    sendMouse(list, QEvent::MouseButtonPress, pos, Qt::LeftButton);
    sendMouse(list, QEvent::MouseButtonRelease, pos, Qt::NoButton);
    sendMouse(list, QEvent::MouseButtonDblClick, pos, Qt::LeftButton);
    sendMouse(list, QEvent::MouseButtonRelease, pos, Qt::NoButton);
}

// Sends a drag-enter or drag-move carrying the data; whether the list took it.
bool offer(FileListView* list, QEvent::Type type, QMimeData* data)
{
    const QPoint pos(10, 10);
    if (type == QEvent::DragEnter) {
        QDragEnterEvent event(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        event.setAccepted(true);
        QCoreApplication::sendEvent(list->viewport(), &event);
        return event.isAccepted();
    }
    QDragMoveEvent event(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    event.setAccepted(true);
    QCoreApplication::sendEvent(list->viewport(), &event);
    return event.isAccepted();
}
} // namespace

class TestFileListView : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void deleteRemovesTheSelectedItemWithAnyModifiers();
    void otherKeysRemoveNothing();
    void doubleClickRemovesTheSelectedItem();
    void nothingSelectedOrEmptyDoesNothing();
    void clearListEmptiesWithoutAsking();
    void removingAndClearingWaitWhileBusy();
    void draggingExchangesStepByStep();
    void aQuickMoveExchangesOnlyTheEnds();
    void equalTextsAreNeverExchanged();
    void aDragWithoutItsItemDoesNothing();
    void dragShowsTheIconAndReleaseRestoresThePointer();
    void dragScrollsOnlyInTheEdgeBands();
    void dragsWithoutFilesAreRefused();
    void droppedFilesAreHandedOn();
    void cursorFiles();

private:
    std::unique_ptr<FormFixture> f;
    FileListView* list = nullptr;
};

void TestFileListView::init()
{
    f = std::make_unique<FormFixture>();
    f->loadAndShow();
    list = f->child<FileListView>("ListView1");
    f->form->appendItems(paths(5));
}

void TestFileListView::cleanup()
{
    f.reset();
}

void TestFileListView::deleteRemovesTheSelectedItemWithAnyModifiers()
{
    const QStringList all = paths(5);
    list->setCurrentItem(list->topLevelItem(1));
    QTest::keyClick(list, Qt::Key_Delete);
    list->setCurrentItem(list->topLevelItem(1));
    QTest::keyClick(list, Qt::Key_Delete, Qt::ShiftModifier);
    list->setCurrentItem(list->topLevelItem(0));
    QTest::keyClick(list, Qt::Key_Delete, Qt::ControlModifier | Qt::AltModifier);
    QCOMPARE(f->form->items(), (QStringList{all[3], all[4]}));
    QVERIFY(f->dialogs.shown.isEmpty());
}

void TestFileListView::otherKeysRemoveNothing()
{
    list->setCurrentItem(list->topLevelItem(2));
    for (const Qt::Key key : {Qt::Key_Backspace, Qt::Key_Escape, Qt::Key_D, Qt::Key_Minus})
        QTest::keyClick(list, key);
    QCOMPARE(f->form->items(), paths(5));
}

void TestFileListView::doubleClickRemovesTheSelectedItem()
{
    // The selected item goes, wherever the double-click lands.
    list->setCurrentItem(list->topLevelItem(3));
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(centreOf(list, 3)), QPointF(), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(list->viewport(), &dbl);
    QStringList expected = paths(5);
    expected.removeAt(3);
    QCOMPARE(f->form->items(), expected);

    doubleClick(list, centreOf(list, 0));
    expected.removeAt(0);
    QCOMPARE(f->form->items(), expected);
}

void TestFileListView::nothingSelectedOrEmptyDoesNothing()
{
    list->clearSelection();
    list->setCurrentItem(nullptr);
    QTest::keyClick(list, Qt::Key_Delete);
    QCOMPARE(f->form->itemCount(), 5);

    f->form->PushButton6_Click();
    QCOMPARE(f->form->itemCount(), 0);
    QTest::keyClick(list, Qt::Key_Delete);
    doubleClick(list, QPoint(20, 20));
    QCOMPARE(f->form->itemCount(), 0);
    QVERIFY(f->dialogs.shown.isEmpty());
}

void TestFileListView::clearListEmptiesWithoutAsking()
{
    f->form->appendItems(paths(300));
    QTest::mouseClick(f->child<QPushButton>("PushButton6"), Qt::LeftButton);
    QCOMPARE(f->form->itemCount(), 0);
    QVERIFY(f->dialogs.shown.isEmpty());
}

void TestFileListView::removingAndClearingWaitWhileBusy()
{
    f->form->setBusy(true);
    list->setCurrentItem(list->topLevelItem(0));
    QTest::keyClick(list, Qt::Key_Delete);
    doubleClick(list, centreOf(list, 0));
    QTest::mouseClick(f->child<QPushButton>("PushButton6"), Qt::LeftButton);
    QCOMPARE(f->form->items(), paths(5));

    // Adding and dragging are not held up by the busy pointer.
    f->form->appendItems({QStringLiteral("/mail/late.eml")});
    press(list, 0);
    dragTo(list, centreOf(list, 1));
    release(list, centreOf(list, 1));
    QCOMPARE(f->form->itemText(2), paths(5)[0]);
    QCOMPARE(f->form->itemCount(), 6);

    f->form->setBusy(false);
    QTest::mouseClick(f->child<QPushButton>("PushButton6"), Qt::LeftButton);
    QCOMPARE(f->form->itemCount(), 0);
}

void TestFileListView::draggingExchangesStepByStep()
{
    const QStringList p = paths(5);
    press(list, 1);
    QVERIFY(list->mouseIsDown());
    QCOMPARE(list->dragRow(), 1);

    dragTo(list, centreOf(list, 2));
    QCOMPARE(f->form->items(), (QStringList{p[0], p[2], p[1], p[3], p[4]}));
    QCOMPARE(list->currentItem(), list->topLevelItem(2));
    QVERIFY(list->topLevelItem(2)->isSelected());

    // Still carrying the same path: over item 4 it moves on.
    dragTo(list, centreOf(list, 3));
    QCOMPARE(f->form->items(), (QStringList{p[0], p[2], p[3], p[1], p[4]}));
    // Small moves within the same row change nothing.
    dragTo(list, centreOf(list, 3) + QPoint(3, 1));
    QCOMPARE(f->form->items(), (QStringList{p[0], p[2], p[3], p[1], p[4]}));
    // And back up past the start.
    dragTo(list, centreOf(list, 2));
    dragTo(list, centreOf(list, 1));
    dragTo(list, centreOf(list, 0));
    QCOMPARE(f->form->items(), (QStringList{p[1], p[0], p[2], p[3], p[4]}));
    release(list, centreOf(list, 0));
    QVERIFY(!list->mouseIsDown());

    // Moves with the button up drag nothing.
    dragTo(list, centreOf(list, 4));
    sendMouse(list, QEvent::MouseMove, centreOf(list, 4), Qt::NoButton);
    QCOMPARE(f->form->items(), (QStringList{p[1], p[0], p[2], p[3], p[4]}));
}

void TestFileListView::aQuickMoveExchangesOnlyTheEnds()
{
    const QStringList p = paths(5);
    press(list, 0);
    dragTo(list, centreOf(list, 4));
    release(list, centreOf(list, 4));
    QCOMPARE(f->form->items(), (QStringList{p[4], p[1], p[2], p[3], p[0]}));
}

void TestFileListView::equalTextsAreNeverExchanged()
{
    list->clear();
    f->form->appendItems({"/a.eml", "/same.eml", "/same.eml", "/b.eml"});
    press(list, 1);
    dragTo(list, centreOf(list, 2));
    QCOMPARE(list->dragRow(), 1);
    dragTo(list, centreOf(list, 3));
    QCOMPARE(f->form->items(), (QStringList{"/a.eml", "/b.eml", "/same.eml", "/same.eml"}));
}

void TestFileListView::aDragWithoutItsItemDoesNothing()
{
    press(list, 1);
    release(list, centreOf(list, 1));
    QTest::keyClick(list, Qt::Key_Delete);
    QCOMPARE(list->dragRow(), -1);
    dragTo(list, centreOf(list, 3));
    QStringList expected = paths(5);
    expected.removeAt(1);
    QCOMPARE(f->form->items(), expected);
    release(list, centreOf(list, 3));

    // A drag that starts beside the items moves nothing, not even the item
    // clicked before it.
    press(list, 0);
    release(list, centreOf(list, 0));
    sendMouse(list, QEvent::MouseButtonPress, QPoint(5, list->viewport()->height() - 2), Qt::LeftButton);
    QCOMPARE(list->dragRow(), -1);
    dragTo(list, centreOf(list, 2));
    QCOMPARE(f->form->items(), expected);
}

void TestFileListView::dragShowsTheIconAndReleaseRestoresThePointer()
{
    press(list, 0);
    QCOMPARE(list->viewport()->cursor().shape(), Qt::BitmapCursor);
    release(list, centreOf(list, 0));
    QVERIFY(!list->viewport()->testAttribute(Qt::WA_SetCursor));

    // Without drag.ico the drag works with the plain pointer.
    QVERIFY(QFile::remove(f->programFolder + QStringLiteral("/drag.ico")));
    press(list, 0);
    QVERIFY(!list->viewport()->testAttribute(Qt::WA_SetCursor));
    dragTo(list, centreOf(list, 1));
    QCOMPARE(f->form->itemText(2), paths(5)[0]);
}

void TestFileListView::dragScrollsOnlyInTheEdgeBands()
{
    list->clear();
    f->form->appendItems(paths(60));
    QCoreApplication::processEvents();
    QScrollBar* bar = list->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    const int rowHeight = list->visualItemRect(list->topLevelItem(0)).height();
    const int viewportHeight = list->viewport()->height();

    // The middle of the list: exchanges, no scrolling.
    press(list, 2);
    dragTo(list, centreOf(list, 3));
    QCOMPARE(bar->value(), 0);

    // The bottom band: the row below the hovered one comes into view.
    const QPoint bottom(20, viewportHeight - rowHeight / 2);
    QTreeWidgetItem* hovered = list->itemAt(bottom);
    QVERIFY(hovered);
    const int hoveredRow = list->indexOfTopLevelItem(hovered);
    dragTo(list, bottom);
    QVERIFY(bar->value() > 0);
    QVERIFY(list->viewport()->rect().contains(list->visualItemRect(list->topLevelItem(hoveredRow + 1))));
    release(list, bottom);

    // The top band: the row above comes into view.
    bar->setValue(bar->maximum() / 2);
    const int before = bar->value();
    const QPoint top(20, rowHeight / 2);
    const int topRow = list->indexOfTopLevelItem(list->itemAt(top));
    press(list, topRow + 3);
    dragTo(list, top);
    QVERIFY(bar->value() < before);
    QVERIFY(list->viewport()->rect().contains(list->visualItemRect(list->topLevelItem(topRow - 1)).center()));
    release(list, top);
}

void TestFileListView::dragsWithoutFilesAreRefused()
{
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile(QStringLiteral("/mail/new.eml"))});
    QVERIFY(offer(list, QEvent::DragEnter, &files));
    QVERIFY(offer(list, QEvent::DragMove, &files));

    // Qt sends moves to the widget that took the drag's entry; the list then
    // refuses data without files on every move as well.
    QMimeData text;
    text.setText(QStringLiteral("/mail/01.eml"));
    QVERIFY(!offer(list, QEvent::DragMove, &text));
    QVERIFY(!offer(list, QEvent::DragEnter, &text));

    QMimeData web;
    web.setUrls({QUrl(QStringLiteral("https://velmora.example/a.eml"))});
    QVERIFY(!offer(list, QEvent::DragEnter, &web));
}

void TestFileListView::droppedFilesAreHandedOn()
{
    QSignalSpy dropped(list, &FileListView::filesDropped);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QStringLiteral("/mail/b c.eml")),
                  QUrl(QStringLiteral("https://x.example/")),
                  QUrl::fromLocalFile(QStringLiteral("/mail/folder"))});
    QVERIFY(offer(list, QEvent::DragEnter, &data));
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(list->viewport(), &drop);
    QVERIFY(drop.isAccepted());
    QCOMPARE(dropped.size(), 1);
    QCOMPARE(dropped.first().first().toStringList(),
             (QStringList{QStringLiteral("/mail/b c.eml"), QStringLiteral("/mail/folder")}));

    // Even routed to the list, a drop without files adds nothing.
    const QStringList before = f->form->items();
    QVERIFY(offer(list, QEvent::DragEnter, &data));
    QMimeData text;
    text.setText(QStringLiteral("/mail/x.eml"));
    QDropEvent textDrop(QPointF(10, 10), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    textDrop.setAccepted(true);
    QCoreApplication::sendEvent(list->viewport(), &textDrop);
    QVERIFY(!textDrop.isAccepted());
    QCOMPARE(dropped.size(), 1);
    QCOMPARE(f->form->items(), before);
}

void TestFileListView::cursorFiles()
{
    // The shipped hand points with its finger tip; the drag icon's hot spot
    // is its centre.
    const auto hand = LoadCursorFile(QStringLiteral(QM_SOURCE_DIR "/resources/HAND-M.CUR"));
    QVERIFY(hand);
    QCOMPARE(hand->hotSpot(), QPoint(11, 2));
    QCOMPARE(hand->pixmap().size(), QSize(32, 32));
    const auto drag = LoadCursorFile(QStringLiteral(QM_SOURCE_DIR "/resources/drag.ico"));
    QVERIFY(drag);
    QCOMPARE(drag->hotSpot(), QPoint(16, 16));

    QVERIFY(!LoadCursorFile(f->dir.filePath(QStringLiteral("absent.cur"))));
    QFile junk(f->dir.filePath(QStringLiteral("junk.cur")));
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write(QByteArray("\0\0\2\0junk", 8));
    junk.close();
    QVERIFY_THROWS_EXCEPTION(StepError, LoadCursorFile(junk.fileName()));
}

QTEST_MAIN(TestFileListView)
#include "test_filelistview.moc"
