#pragma once

#include <QCursor>
#include <QPersistentModelIndex>
#include <QStringList>
#include <QTreeWidget>
#include <functional>
#include <optional>

// Reads a .cur or .ico file as a cursor, with the hot spot the file names (a
// .ico points at its centre). Nothing when the file is absent; throws
// StepError when it exists but is no picture.
std::optional<QCursor> LoadCursorFile(const QString& path);

// The list of files waiting to be converted: one column, one item per path.
// Delete and double-click remove the selected item, dragging an item moves it
// by exchanging texts, and dropped files are handed on by filesDropped().
// Removing and clearing do nothing while the window shows the busy pointer.
class FileListView : public QTreeWidget {
    Q_OBJECT
public:
    explicit FileListView(QWidget* parent = nullptr);

    // The cursor file shown while an item is dragged (drag.ico).
    void setDragCursorFile(const QString& path) { m_dragCursorFile = path; }
    // Tells whether the window is busy; by default its cursor is the wait cursor.
    void setBusyTest(std::function<bool()> isBusy) { m_isBusy = std::move(isBusy); }

    // Column width in twips at the screen's logical resolution.
    void setColumnWidthTwips(int column, int twips);

    QStringList paths() const;
    void appendPaths(const QStringList& paths);
    void removeSelectedItem();
    void clearAll();

    bool mouseIsDown() const { return m_mouseIsDown; }
    // The row of the item being dragged, or -1.
    int dragRow() const { return m_dragItem.isValid() ? m_dragItem.row() : -1; }

signals:
    void filesDropped(const QStringList& paths);
    // Every pointer move over the list, so the window can reset its pointer.
    void pointerMoved();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    bool busy() const;
    void itemClick();
    void dragStep(const QPoint& pos);
    void scrollNearEdge(int hoverRow, int pointerY, int rowHeight);
    static QStringList droppedFiles(const QMimeData* data);

    QString m_dragCursorFile;
    std::function<bool()> m_isBusy;
    bool m_mouseIsDown = false;
    QPersistentModelIndex m_dragItem;
};
