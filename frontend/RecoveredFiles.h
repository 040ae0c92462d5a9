// TRecoveredFiles: the grid of the "Recovered Files" page. The files a
// repair or a batch wrote are grouped by source: a header row per source
// (its name, its outcome and the number of pieces; a click folds it), then
// its pieces, the rebuilt document first and each mask right after its
// layer. A piece that is not whole carries a mark. Thumbnails are made by a
// worker thread for the pieces in and near the view only, and dropped again
// when they are far out of it, so a batch of thousands of pieces holds a few
// screens of pictures.
#pragma once

#include <QHash>
#include <QImage>
#include <QListWidget>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Thumbnail.h"

/// The grid's widget: a piece dragged out carries its file's URL, so a file
/// manager copies it and an image editor opens it.
class TRecoveredList : public QListWidget {
    Q_OBJECT
public:
    explicit TRecoveredList(QWidget *parent = nullptr);

protected:
    QStringList mimeTypes() const override;
    QMimeData *mimeData(const QList<QListWidgetItem *> &items) const override;
    /// Copied out only: a move would take the piece off the grid (and the
    /// file out of its folder).
    void startDrag(Qt::DropActions supportedActions) override;
    /// Page Up and Page Down move a screen of rows, as in a list.
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
};

/// What one source gave back so far.
struct TSourceSummary {
    int pieces = 0;   ///< files written, the preview among them
    int damaged = 0;  ///< pieces that are not whole
    int previews = 0; ///< embedded previews among the pieces
    QString firstPreview;
};

/// "7 pieces, 2 damaged", "nothing recovered", "only the embedded preview".
QString OutcomeText(const TSourceSummary &summary);

class TRecoveredFiles : public QObject {
    Q_OBJECT
public:
    /// Item data of the grid's entries.
    enum Role {
        PathRole = Qt::UserRole, ///< a piece's file
        DamagedRole,             ///< a piece that is not whole
        ThumbnailRole,           ///< the picture while it is held
        HeaderRole,              ///< true for a source's header row
        CollapsedRole,           ///< a header whose pieces are folded away
        DetailRole,              ///< why a piece is marked
        SourceRole               ///< the source file of a header and of its pieces
    };
    /// The side of the thumbnails' square, in device-independent pixels.
    static constexpr int kThumbnailSide = 96;

    explicit TRecoveredFiles(QListWidget *list, QObject *parent = nullptr);
    /// Waits for the thumbnail under way and stops the worker.
    ~TRecoveredFiles() override;

    /// A new repair or batch: the grid empties, and thumbnails still to
    /// come for the old entries are dropped.
    void Clear();
    /// The next source: a header row for it; its layer numbers start anew.
    void BeginSource(const QString &source, const QString &outputDir);
    /// The current source is done: its header shows the status.
    void EndSource(const QString &status);
    /// A file the engine wrote (its full path), into the current source.
    void FileWritten(const QString &path);
    /// A status line of the engine; a layer's line marks the layer's file,
    /// its mask and the rebuilt document that holds it when the layer was not
    /// read whole.
    void StatusLine(const QString &line);

    TSourceSummary Summary() const;
    /// Pieces of every source.
    int PieceCount() const { return int(m_items.size()); }
    QString PathOf(const QListWidgetItem *item) const;
    /// The folder of a piece, or a header's output folder (with "/").
    QString FolderOf(const QListWidgetItem *item) const;
    static bool IsHeader(const QListWidgetItem *item);
    /// The header of a source's group, or null.
    QListWidgetItem *HeaderOf(const QString &source) const;
    /// Folds a source's pieces away or shows them again.
    void SetCollapsed(QListWidgetItem *header, bool collapsed);
    /// Brings a source's group into view, unfolded, its header current.
    void ShowSource(const QString &source);
    /// Shows only the pieces that are not whole (and the sources that failed).
    void SetDamagedOnly(bool damagedOnly);

    /// Thumbnails asked for and not yet shown (a view change still to be
    /// looked at counts as one).
    int Pending();
    /// Pieces holding a thumbnail now.
    int Held() const { return int(m_held.size()); }

signals:
    /// A thumbnail has reached the grid.
    void ThumbnailShown(const QString &path);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct TGroup;
    TGroup *Current();
    TGroup *GroupOf(const QListWidgetItem *item) const;
    int EndRow(const TGroup &group) const;
    void MarkDamaged(QListWidgetItem *item, const QString &detail);
    void UpdateHeader(TGroup &group);
    /// Hides what is folded away or filtered out: the header and one piece,
    /// or the header and all its pieces.
    void ApplyVisibility(TGroup &group, QListWidgetItem *only = nullptr);
    void ScheduleScan();
    /// Asks for the thumbnails of the pieces near the view and drops those
    /// far out of it.
    void Scan();
    void Drop(QListWidgetItem *item);
    void Worker();
    void Show(quint64 generation, const QString &path, const TThumbnail &thumbnail);
    qreal PixelRatio() const;

    QListWidget *m_list;
    std::vector<std::unique_ptr<TGroup>> m_groups;
    QHash<QString, QListWidgetItem *> m_items; ///< path -> piece
    QSet<QListWidgetItem *> m_held;            ///< pieces with a thumbnail
    QSet<QString> m_requested;                 ///< handed to the worker, not yet shown
    bool m_damagedOnly = false;
    quint64 m_generation = 0;
    QTimer m_scanTimer;

    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::pair<quint64, QString>> m_queue;
    int m_renderSide = kThumbnailSide; ///< read by the worker under the mutex
    bool m_stop = false;
};
