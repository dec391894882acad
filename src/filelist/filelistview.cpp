#include "filelistview.h"

#include "steperror.h"

#include <QDragEnterEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QImageReader>
#include <QMimeData>
#include <QMouseEvent>
#include <QScrollBar>
#include <QUrl>

std::optional<QCursor> LoadCursorFile(const QString& path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    if (!file.open(QIODevice::ReadOnly))
        raiseStepError(
            QStringLiteral("The cursor file %1 could not be read: %2").arg(path, file.errorString()));
    const QByteArray bytes = file.readAll();

    QImage image;
    if (!image.loadFromData(bytes, "ICO") && !image.loadFromData(bytes))
        raiseStepError(QStringLiteral("The cursor file %1 is not a picture.").arg(path));

    // A .cur names its hot spot where a .ico keeps planes and bit count: the
    // first directory entry's bytes 4 to 7 (little-endian x, then y).
    int hotX = image.width() / 2;
    int hotY = image.height() / 2;
    const auto byteAt = [&](int i) { return static_cast<unsigned char>(bytes.at(i)); };
    if (bytes.size() >= 22 && byteAt(0) == 0 && byteAt(1) == 0 && byteAt(2) == 2 && byteAt(3) == 0) {
        hotX = byteAt(10) | (byteAt(11) << 8);
        hotY = byteAt(12) | (byteAt(13) << 8);
    }
    return QCursor(QPixmap::fromImage(image), hotX, hotY);
}

FileListView::FileListView(QWidget* parent) : QTreeWidget(parent)
{
    setColumnCount(1);
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setItemsExpandable(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    // The list takes drops but never starts a drag of its own.
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDragEnabled(false);
    setDragDropMode(QAbstractItemView::DropOnly);
    viewport()->setMouseTracking(true);
}

bool FileListView::busy() const
{
    if (m_isBusy)
        return m_isBusy();
    return window()->cursor().shape() == Qt::WaitCursor;
}

void FileListView::setColumnWidthTwips(int column, int twips)
{
    setColumnWidth(column, qRound(twips * logicalDpiX() / 1440.0));
}

QStringList FileListView::paths() const
{
    QStringList out;
    out.reserve(topLevelItemCount());
    for (int i = 0; i < topLevelItemCount(); ++i)
        out << topLevelItem(i)->text(0);
    return out;
}

void FileListView::appendPaths(const QStringList& paths)
{
    QList<QTreeWidgetItem*> items;
    items.reserve(paths.size());
    for (const QString& path : paths)
        items << new QTreeWidgetItem(QStringList{path});
    addTopLevelItems(items);
}

void FileListView::removeSelectedItem()
{
    if (busy() || topLevelItemCount() == 0)
        return;
    const QList<QTreeWidgetItem*> selected = selectedItems();
    if (selected.isEmpty())
        return;
    delete takeTopLevelItem(indexOfTopLevelItem(selected.first()));
}

void FileListView::clearAll()
{
    if (!busy())
        clear();
}

void FileListView::keyPressEvent(QKeyEvent* event)
{
    // Any modifiers: Shift+Delete and Ctrl+Delete remove as well.
    if (event->key() == Qt::Key_Delete) {
        removeSelectedItem();
        event->accept();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

void FileListView::mouseDoubleClickEvent(QMouseEvent* event)
{
    // Wherever the double-click lands, the selected item is the one removed.
    event->accept();
    removeSelectedItem();
}

void FileListView::mousePressEvent(QMouseEvent* event)
{
    m_mouseIsDown = true;
    QTreeWidget::mousePressEvent(event);
    if (itemAt(event->position().toPoint()))
        itemClick();
    else
        m_dragItem = QPersistentModelIndex(); // a press beside the items carries nothing
}

void FileListView::itemClick()
{
    if (!m_dragCursorFile.isEmpty()) {
        // Without a readable drag icon the drag simply keeps the arrow.
        try {
            if (const auto cursor = LoadCursorFile(m_dragCursorFile))
                viewport()->setCursor(*cursor);
        } catch (const StepError&) {
        }
    }
    const QList<QTreeWidgetItem*> selected = selectedItems();
    m_dragItem =
        selected.isEmpty() ? QPersistentModelIndex() : QPersistentModelIndex(indexFromItem(selected.first()));
}

void FileListView::mouseMoveEvent(QMouseEvent* event)
{
    emit pointerMoved();
    if (!m_mouseIsDown) {
        QTreeWidget::mouseMoveEvent(event);
        return;
    }
    // While the button is down the move belongs to the drag alone: the view's
    // own selection sweep and drag start stay out of it.
    dragStep(event->position().toPoint());
    event->accept();
}

void FileListView::dragStep(const QPoint& pos)
{
    QTreeWidgetItem* hover = itemAt(pos);
    if (!hover || !m_dragItem.isValid())
        return;
    QTreeWidgetItem* drag = itemFromIndex(m_dragItem);
    if (!drag || drag == hover || drag->text(0) == hover->text(0))
        return;

    const QString carried = drag->text(0);
    drag->setText(0, hover->text(0));
    hover->setText(0, carried);
    setCurrentItem(hover);
    m_dragItem = QPersistentModelIndex(indexFromItem(hover));
    scrollNearEdge(indexOfTopLevelItem(hover), pos.y(), visualItemRect(hover).height());
}

// Scrolls one row on when the pointer is in the top or bottom band (one row
// high) of the visible rows, wherever the window stands on the screen.
void FileListView::scrollNearEdge(int hoverRow, int pointerY, int rowHeight)
{
    if (pointerY < rowHeight) {
        if (hoverRow >= 1)
            scrollToItem(topLevelItem(hoverRow - 1));
    } else if (pointerY >= viewport()->height() - rowHeight) {
        if (hoverRow + 1 < topLevelItemCount())
            scrollToItem(topLevelItem(hoverRow + 1));
    }
}

void FileListView::mouseReleaseEvent(QMouseEvent* event)
{
    m_mouseIsDown = false;
    // Back to the inherited pointer, so the window's busy pointer shows here too.
    viewport()->unsetCursor();
    QTreeWidget::mouseReleaseEvent(event);
}

QStringList FileListView::droppedFiles(const QMimeData* data)
{
    QStringList paths;
    if (!data || !data->hasUrls())
        return paths;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile())
            paths << url.toLocalFile();
    return paths;
}

void FileListView::dragEnterEvent(QDragEnterEvent* event)
{
    dragMoveEvent(event); // an entering drag is the first move of it
}

void FileListView::dragMoveEvent(QDragMoveEvent* event)
{
    if (droppedFiles(event->mimeData()).isEmpty())
        event->ignore();
    else
        event->acceptProposedAction();
}

void FileListView::dropEvent(QDropEvent* event)
{
    const QStringList paths = droppedFiles(event->mimeData());
    if (paths.isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    emit filesDropped(paths);
}
