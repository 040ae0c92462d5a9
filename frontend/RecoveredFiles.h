// TRecoveredFiles: the grid of the "Recovered Files" page. It lists every
// file the last repair or batch wrote, the rebuilt documents first, and
// fills in their thumbnails from a worker thread while the repair runs; a
// layer that was not read whole carries a mark.
#pragma once

#include <QHash>
#include <QImage>
#include <QObject>
#include <QString>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "Thumbnail.h"

class QListWidget;
class QListWidgetItem;

class TRecoveredFiles : public QObject {
    Q_OBJECT
public:
    /// Item data of the grid's entries.
    enum Role { PathRole = Qt::UserRole, DamagedRole, ThumbnailRole };

    explicit TRecoveredFiles(QListWidget *list, QObject *parent = nullptr);
    /// Waits for the thumbnail under way and stops the worker.
    ~TRecoveredFiles() override;

    /// A new repair or batch: the grid empties, and thumbnails still to
    /// come for the old entries are dropped.
    void Clear();
    /// The next source of a batch: its layer numbers start anew.
    void BeginSource();
    /// A file the engine wrote (its full path).
    void FileWritten(const QString &path);
    /// A status line of the engine; a layer's line marks the layer's file
    /// when rows of it were filled with white.
    void StatusLine(const QString &line);

    QString PathOf(const QListWidgetItem *item) const;
    /// Thumbnails asked for and not yet shown.
    int Pending() const { return m_pending; }

signals:
    /// A thumbnail has reached the grid.
    void ThumbnailShown(const QString &path);

private:
    void Worker();
    void Show(quint64 generation, const QString &path, const TThumbnail &thumbnail);
    void UpdateItem(QListWidgetItem *item);

    QListWidget *m_list;
    QHash<QString, QListWidgetItem *> m_items;
    QHash<int, QListWidgetItem *> m_layerItems; ///< layer number -> its latest file in this source
    int m_rebuilt = 0;  ///< rebuilt documents at the front of the grid
    int m_pending = 0;
    quint64 m_generation = 0;

    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::pair<quint64, QString>> m_queue;
    bool m_stop = false;
};
