#include "RecoveredFiles.h"

#include <QFileInfo>
#include <QListWidget>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>

#include "Strings.h"

namespace {

constexpr int kThumbnailSide = 128;

// Layer<i>.psd, Layer<i>.psb, and the names of a later section's layers with
// the same number (Layer<i>_2.psd); not the masks.
const QRegularExpression kLayerFile(QStringLiteral("^Layer(\\d+)(?:_\\d+)?\\.ps[db]$"));
const QRegularExpression kRebuiltFile(QStringLiteral("_rebuilt(?:_\\d+)?\\.ps[db]$"));
// Layer %u "%s" (%u x %u): %u of %u rows read; %u filled with white.
const QRegularExpression kLayerLine(
    QStringLiteral("^Layer (\\d+) \".*\" \\(\\d+ x \\d+\\): \\d+ of \\d+ rows read; (\\d+) filled with white\\.$"));

// The thumbnail on a square of the grid's size, with a red corner mark for a
// layer that was not read whole.
QPixmap IconPixmap(const QImage &thumbnail, bool damaged)
{
    QPixmap pixmap(kThumbnailSide, kThumbnailSide);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    if (!thumbnail.isNull()) {
        const QPoint at((kThumbnailSide - thumbnail.width()) / 2, (kThumbnailSide - thumbnail.height()) / 2);
        // A checkerboard shows through where a cut file has nothing.
        for (int y = 0; y < thumbnail.height(); y += 8)
            for (int x = 0; x < thumbnail.width(); x += 8)
                p.fillRect(QRect(at + QPoint(x, y), QSize(8, 8)).intersected(QRect(at, thumbnail.size())),
                           ((x + y) / 8) % 2 ? QColor(204, 204, 204) : QColor(255, 255, 255));
        p.drawImage(at, thumbnail);
        p.setPen(QColor(160, 160, 160));
        p.drawRect(QRect(at, thumbnail.size()).adjusted(0, 0, -1, -1));
    }
    if (damaged) {
        QPainterPath corner;
        corner.moveTo(kThumbnailSide - 44, 0);
        corner.lineTo(kThumbnailSide, 0);
        corner.lineTo(kThumbnailSide, 44);
        corner.closeSubpath();
        p.setRenderHint(QPainter::Antialiasing);
        p.fillPath(corner, QColor(208, 32, 32));
        p.setPen(Qt::white);
        QFont bold = p.font();
        bold.setBold(true);
        bold.setPixelSize(20);
        p.setFont(bold);
        p.drawText(QRect(kThumbnailSide - 22, 0, 22, 24), Qt::AlignCenter, QStringLiteral("!"));
    }
    return pixmap;
}

} // namespace

TRecoveredFiles::TRecoveredFiles(QListWidget *list, QObject *parent) : QObject(parent), m_list(list)
{
    m_thread = std::thread([this] { Worker(); });
}

TRecoveredFiles::~TRecoveredFiles()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_queue.clear();
    }
    m_wake.notify_all();
    m_thread.join();
}

void TRecoveredFiles::Clear()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_generation;
        m_queue.clear();
    }
    m_list->clear();
    m_items.clear();
    m_layerItems.clear();
    m_rebuilt = 0;
    m_pending = 0;
}

void TRecoveredFiles::BeginSource() { m_layerItems.clear(); }

void TRecoveredFiles::FileWritten(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    QListWidgetItem *item = m_items.value(path);
    if (!item) {
        item = new QListWidgetItem(name);
        item->setData(PathRole, path);
        item->setData(DamagedRole, false);
        item->setToolTip(path);
        item->setTextAlignment(Qt::AlignHCenter | Qt::AlignTop);
        if (kRebuiltFile.match(name).hasMatch())
            m_list->insertItem(m_rebuilt++, item);
        else
            m_list->addItem(item);
        m_items.insert(path, item);
    }
    if (const auto m = kLayerFile.match(name); m.hasMatch())
        m_layerItems.insert(m.captured(1).toInt(), item);
    UpdateItem(item);
    // A file written again (the same name) gets a new thumbnail.
    ++m_pending;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.emplace_back(m_generation, path);
    }
    m_wake.notify_one();
}

void TRecoveredFiles::StatusLine(const QString &line)
{
    const auto m = kLayerLine.match(line);
    if (!m.hasMatch() || m.captured(2).toULongLong() == 0)
        return;
    QListWidgetItem *item = m_layerItems.value(m.captured(1).toInt());
    if (!item)
        return;
    item->setData(DamagedRole, true);
    item->setToolTip(PathOf(item) + "\n" + QString::fromLatin1(strings::kNotReadWhole).arg(line));
    UpdateItem(item);
}

QString TRecoveredFiles::PathOf(const QListWidgetItem *item) const
{
    return item ? item->data(PathRole).toString() : QString();
}

void TRecoveredFiles::Worker()
{
    for (;;) {
        std::pair<quint64, QString> job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_stop)
                return;
            job = m_queue.front();
            m_queue.pop_front();
        }
        const TThumbnail thumbnail = RenderThumbnail(job.second, kThumbnailSide);
        QMetaObject::invokeMethod(
            this, [this, job, thumbnail] { Show(job.first, job.second, thumbnail); }, Qt::QueuedConnection);
    }
}

void TRecoveredFiles::Show(quint64 generation, const QString &path, const TThumbnail &thumbnail)
{
    if (generation != m_generation)
        return; // for a grid that has been emptied since
    --m_pending;
    QListWidgetItem *item = m_items.value(path);
    if (!item)
        return;
    item->setData(ThumbnailRole, thumbnail.image);
    QString text = QFileInfo(path).fileName();
    if (thumbnail.width > 0)
        text += "\n" + QString::fromLatin1(strings::kPixelSize).arg(thumbnail.width).arg(thumbnail.height);
    item->setText(text);
    UpdateItem(item);
    emit ThumbnailShown(path);
}

void TRecoveredFiles::UpdateItem(QListWidgetItem *item)
{
    item->setIcon(QIcon(IconPixmap(item->data(ThumbnailRole).value<QImage>(), item->data(DamagedRole).toBool())));
}
