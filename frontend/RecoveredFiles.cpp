#include "RecoveredFiles.h"

#include <QApplication>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QUrl>
#include <algorithm>
#include <cmath>

#include "RepairLog.h"
#include "Strings.h"

namespace {

constexpr int kCellWidth = 108, kCellHeight = 136, kHeaderHeight = 34, kSpacing = 4;

// Layer<i>.psd, Layer<i>.psb, and the names of a later section's layers with
// the same number (Layer<i>_2.psd); not the masks.
const QRegularExpression kLayerFile(QStringLiteral("^Layer(\\d+)(?:_\\d+)?\\.ps[db]$"));
const QRegularExpression kMaskFile(QStringLiteral("^(Layer\\d+(?:_\\d+)?)_mask\\.(ps[db])$"));
const QRegularExpression kRebuiltFile(QStringLiteral("_rebuilt(?:_\\d+)?\\.ps[db]$"));
// Layer %u "%s" (%u x %u): %u of %u rows read; %u filled with white[; %u damaged].
// A layer whose record was lost has a name of the engine's own.
const QRegularExpression kLayerLine(QStringLiteral(
    "^Layer (\\d+) (?:\".*\"|.+?) \\(\\d+ x \\d+\\): \\d+ of \\d+ rows read; (\\d+) filled with white(?:; (\\d+) damaged)?\\.$"));

QString T(const char *text) { return QString::fromLatin1(text); }

// The picture on a square of the thumbnail side at the device pixel ratio:
// a picture smaller than half the square is enlarged by a whole factor,
// pixel for pixel, so a 4 x 4 layer shows as sixteen squares; a checkerboard
// shows through where it is transparent.
QPixmap ThumbnailPixmap(const QImage &picture, qreal dpr)
{
    const int side = int(std::ceil(TRecoveredFiles::kThumbnailSide * dpr));
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    if (!picture.isNull()) {
        QImage shown = picture;
        const int longest = std::max(picture.width(), picture.height());
        const int factor = side / std::max(longest, 1);
        if (factor >= 2)
            shown = picture.scaled(picture.width() * factor, picture.height() * factor, Qt::IgnoreAspectRatio,
                                   Qt::FastTransformation);
        else if (longest > side)
            shown = picture.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QPainter p(&pixmap);
        const QRect at(QPoint((side - shown.width()) / 2, (side - shown.height()) / 2), shown.size());
        const int cell = std::max(1, int(std::lround(8 * dpr)));
        for (int y = 0; y < at.height(); y += cell)
            for (int x = 0; x < at.width(); x += cell)
                p.fillRect(QRect(at.topLeft() + QPoint(x, y), QSize(cell, cell)).intersected(at),
                           ((x + y) / cell) % 2 ? QColor(204, 204, 204) : QColor(255, 255, 255));
        p.drawImage(at.topLeft(), shown);
        p.setPen(QColor(160, 160, 160));
        p.drawRect(at.adjusted(0, 0, -1, -1));
    }
    pixmap.setDevicePixelRatio(dpr);
    return pixmap;
}

// Draws the grid's cells itself: a header as a band across the grid, a
// piece as its picture with the name and size below. A selected piece gets
// the highlight around its picture, never over it.
class TRecoveredDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        if (!index.data(TRecoveredFiles::HeaderRole).toBool())
            return {kCellWidth, kCellHeight};
        const auto *view = qobject_cast<const QAbstractItemView *>(option.widget);
        const int width = view ? view->viewport()->width() - 2 * kSpacing - 2 : 300;
        return {std::max(width, 120), kHeaderHeight};
    }

    void paint(QPainter *p, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        // A folded or filtered piece may still be asked for at its old place.
        if (const auto *view = qobject_cast<const QListView *>(option.widget); view && view->isRowHidden(index.row()))
            return;
        p->save();
        if (index.data(TRecoveredFiles::HeaderRole).toBool())
            PaintHeader(p, option, index);
        else
            PaintPiece(p, option, index);
        p->restore();
    }

private:
    static void PaintHeader(QPainter *p, const QStyleOptionViewItem &option, const QModelIndex &index)
    {
        const QRect r = option.rect;
        const bool selected = option.state & QStyle::State_Selected;
        const QPalette &pal = option.palette;
        p->fillRect(r, selected ? pal.highlight() : pal.button());
        p->setPen(pal.mid().color());
        p->drawLine(r.bottomLeft(), r.bottomRight());
        QStyleOption arrow;
        arrow.initFrom(option.widget);
        arrow.rect = QRect(r.left() + 4, r.top() + (r.height() - 12) / 2, 12, 12);
        arrow.palette = pal;
        const bool collapsed = index.data(TRecoveredFiles::CollapsedRole).toBool();
        QApplication::style()->drawPrimitive(collapsed ? QStyle::PE_IndicatorArrowRight : QStyle::PE_IndicatorArrowDown,
                                             &arrow, p, option.widget);
        const QStringList lines = index.data(Qt::DisplayRole).toString().split('\n');
        p->setPen(selected ? pal.highlightedText().color() : pal.buttonText().color());
        QFont bold = option.font;
        bold.setBold(true);
        const QRect text = r.adjusted(22, 2, -4, -2);
        p->setFont(bold);
        const QFontMetrics boldMetrics(bold);
        const QString name = boldMetrics.elidedText(lines.value(0), Qt::ElideMiddle, text.width() / 2);
        p->drawText(text, Qt::AlignVCenter | Qt::AlignLeft, name);
        p->setFont(option.font);
        const QRect rest = text.adjusted(boldMetrics.horizontalAdvance(name) + 12, 0, 0, 0);
        p->drawText(rest, Qt::AlignVCenter | Qt::AlignLeft,
                    QFontMetrics(option.font).elidedText(lines.value(1), Qt::ElideRight, rest.width()));
        if (option.state & QStyle::State_HasFocus) {
            QStyleOptionFocusRect focus;
            focus.initFrom(option.widget);
            focus.rect = r.adjusted(1, 1, -1, -1);
            QApplication::style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, p, option.widget);
        }
    }

    static void PaintPiece(QPainter *p, const QStyleOptionViewItem &option, const QModelIndex &index)
    {
        const QRect r = option.rect;
        const bool selected = option.state & QStyle::State_Selected;
        const QPalette &pal = option.palette;
        if (selected)
            p->fillRect(r.adjusted(1, 1, -1, -1), pal.highlight());
        const int side = TRecoveredFiles::kThumbnailSide;
        const QRect icon(r.left() + (r.width() - side) / 2, r.top() + 4, side, side);
        const QPixmap pixmap = index.data(Qt::DecorationRole).value<QPixmap>();
        if (!pixmap.isNull())
            p->drawPixmap(icon.topLeft(), pixmap);
        else
            p->fillRect(icon.adjusted(8, 8, -8, -8), pal.alternateBase());
        if (index.data(TRecoveredFiles::DamagedRole).toBool()) {
            QPainterPath corner;
            corner.moveTo(icon.right() - 33, icon.top());
            corner.lineTo(icon.right() + 1, icon.top());
            corner.lineTo(icon.right() + 1, icon.top() + 34);
            corner.closeSubpath();
            p->setRenderHint(QPainter::Antialiasing);
            p->fillPath(corner, QColor(208, 32, 32));
            p->setPen(Qt::white);
            QFont bold = option.font;
            bold.setBold(true);
            bold.setPixelSize(16);
            p->setFont(bold);
            p->drawText(QRect(icon.right() - 16, icon.top(), 17, 18), Qt::AlignCenter, QStringLiteral("!"));
        }
        p->setFont(option.font);
        p->setPen(selected ? pal.highlightedText().color() : pal.text().color());
        const QFontMetrics metrics(option.font);
        const QStringList lines = index.data(Qt::DisplayRole).toString().split('\n');
        QRect line(r.left() + 2, icon.bottom() + 4, r.width() - 4, metrics.height());
        for (const QString &text : lines) {
            p->drawText(line, Qt::AlignHCenter | Qt::AlignTop, metrics.elidedText(text, Qt::ElideMiddle, line.width()));
            line.translate(0, metrics.height());
        }
        if (option.state & QStyle::State_HasFocus) {
            QStyleOptionFocusRect focus;
            focus.initFrom(option.widget);
            focus.rect = r.adjusted(1, 1, -1, -1);
            QApplication::style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, p, option.widget);
        }
    }
};

QString PiecesText(int n)
{
    return n == 1 ? T(strings::kOnePiece) : T(strings::kPieces).arg(n);
}

} // namespace

QString OutcomeText(const TSourceSummary &s)
{
    if (s.pieces == 0)
        return T(strings::kNothingRecovered);
    if (s.pieces == s.previews)
        return T(strings::kOnlyPreview);
    QString text = PiecesText(s.pieces);
    if (s.damaged > 0)
        text += ", " + T(strings::kDamagedCount).arg(s.damaged);
    return text;
}

// ---------------------------------------------------------------------------

TRecoveredList::TRecoveredList(QWidget *parent) : QListWidget(parent) {}

QStringList TRecoveredList::mimeTypes() const { return {QStringLiteral("text/uri-list")}; }

QMimeData *TRecoveredList::mimeData(const QList<QListWidgetItem *> &items) const
{
    QList<QUrl> urls;
    for (const QListWidgetItem *item : items) {
        const QString path = item->data(TRecoveredFiles::PathRole).toString();
        if (!path.isEmpty())
            urls << QUrl::fromLocalFile(path);
    }
    if (urls.isEmpty())
        return nullptr;
    auto *mime = new QMimeData;
    mime->setUrls(urls);
    return mime;
}

void TRecoveredList::startDrag(Qt::DropActions) { QListWidget::startDrag(Qt::CopyAction); }

QModelIndex TRecoveredList::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers)
{
    if (action != MovePageUp && action != MovePageDown)
        return QListWidget::moveCursor(action, modifiers);
    // The entry a screen above or below the current one, in the same column
    // where the rows allow; the first or last shown entry at the ends.
    const QModelIndex current = currentIndex();
    const int step = std::max(viewport()->height() - kCellHeight / 2, kCellHeight);
    QRect from = current.isValid() ? visualRect(current) : QRect(0, 0, 1, 1);
    const int dy = action == MovePageDown ? step : -step;
    const QPoint target(from.center().x(), from.center().y() + dy);
    // Found in the layout, not on the screen: the target may lie outside the
    // viewport.
    int best = -1, bestDistance = INT_MAX;
    for (int row = 0; row < count(); ++row) {
        if (isRowHidden(row))
            continue;
        const QRect r = visualRect(model()->index(row, 0));
        const bool beyond = action == MovePageDown ? r.center().y() <= from.center().y()
                                                   : r.center().y() >= from.center().y();
        if (beyond)
            continue;
        const int distance = std::abs(r.center().y() - target.y()) * 4 + std::abs(r.center().x() - target.x());
        if (distance < bestDistance) {
            bestDistance = distance;
            best = row;
        }
    }
    return best >= 0 ? model()->index(best, 0) : current;
}

// ---------------------------------------------------------------------------

struct TRecoveredFiles::TGroup {
    QString source, outputDir;
    QListWidgetItem *header = nullptr;
    TSourceSummary summary;
    int rebuilt = 0;                                 ///< rebuilt documents at the front of the group
    QHash<int, QListWidgetItem *> layers;            ///< layer number -> its latest file
    QHash<int, QString> damageToCome;                ///< a layer's line that came before its file
    QHash<QListWidgetItem *, QListWidgetItem *> masks; ///< layer -> its mask
    QList<QListWidgetItem *> rebuiltItems;
    bool rebuiltDamageToCome = false; ///< a layer of the document being rebuilt is damaged
    bool collapsed = false;
    QString status;
};

TRecoveredFiles::TRecoveredFiles(QListWidget *list, QObject *parent) : QObject(parent), m_list(list)
{
    m_list->setItemDelegate(new TRecoveredDelegate(m_list));
    m_list->setViewMode(QListView::IconMode);
    m_list->setMovement(QListView::Static);
    m_list->setResizeMode(QListView::Adjust);
    m_list->setUniformItemSizes(false);
    m_list->setGridSize(QSize());
    m_list->setSpacing(kSpacing);
    m_list->setWrapping(true);
    m_list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setDragEnabled(true);
    m_list->setDragDropMode(QAbstractItemView::DragOnly);
    m_list->setDefaultDropAction(Qt::CopyAction);
    m_list->viewport()->installEventFilter(this);
    m_list->installEventFilter(this);
    m_scanTimer.setSingleShot(true);
    m_scanTimer.setInterval(30);
    connect(&m_scanTimer, &QTimer::timeout, this, &TRecoveredFiles::Scan);
    connect(m_list->verticalScrollBar(), &QScrollBar::valueChanged, this, &TRecoveredFiles::ScheduleScan);
    connect(m_list, &QListWidget::itemClicked, this, [this](QListWidgetItem *item) {
        if (IsHeader(item))
            SetCollapsed(item, !item->data(CollapsedRole).toBool());
    });
    m_renderSide = int(std::ceil(kThumbnailSide * PixelRatio()));
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

qreal TRecoveredFiles::PixelRatio() const { return std::max<qreal>(1.0, m_list->devicePixelRatioF()); }

void TRecoveredFiles::Clear()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_generation;
        m_queue.clear();
    }
    m_list->clear();
    m_groups.clear();
    m_items.clear();
    m_held.clear();
    m_requested.clear();
}

TRecoveredFiles::TGroup *TRecoveredFiles::Current()
{
    if (m_groups.empty())
        BeginSource(QString(), QString());
    return m_groups.back().get();
}

TRecoveredFiles::TGroup *TRecoveredFiles::GroupOf(const QListWidgetItem *item) const
{
    if (!item)
        return nullptr;
    const int index = item->data(SourceRole).toInt();
    return index >= 0 && index < int(m_groups.size()) ? m_groups[std::size_t(index)].get() : nullptr;
}

int TRecoveredFiles::EndRow(const TGroup &group) const
{
    const int index = group.header->data(SourceRole).toInt();
    return index + 1 < int(m_groups.size()) ? m_list->row(m_groups[std::size_t(index) + 1]->header) : m_list->count();
}

void TRecoveredFiles::BeginSource(const QString &source, const QString &outputDir)
{
    auto group = std::make_unique<TGroup>();
    group->source = source;
    group->outputDir = outputDir;
    group->header = new QListWidgetItem;
    group->header->setData(HeaderRole, true);
    group->header->setData(SourceRole, int(m_groups.size()));
    group->header->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    group->header->setToolTip(source + (outputDir.isEmpty() ? QString() : "\n" + T(strings::kGroupOutput).arg(outputDir)));
    m_list->addItem(group->header);
    m_groups.push_back(std::move(group));
    UpdateHeader(*m_groups.back());
    ApplyVisibility(*m_groups.back());
}

void TRecoveredFiles::EndSource(const QString &status)
{
    TGroup *group = Current();
    group->status = status;
    UpdateHeader(*group);
    ApplyVisibility(*group);
}

TSourceSummary TRecoveredFiles::Summary() const { return m_groups.empty() ? TSourceSummary{} : m_groups.back()->summary; }

void TRecoveredFiles::UpdateHeader(TGroup &g)
{
    const QString name = g.source.isEmpty() ? T(strings::kLastRepair) : QFileInfo(g.source).fileName();
    const QString status = g.status.isEmpty() ? T(strings::kRepairing) : g.status;
    const QString outcome = OutcomeText(g.summary);
    g.header->setText(name + "\n" + status + " \u00b7 " + outcome);
    g.header->setData(CollapsedRole, g.collapsed);
    g.header->setData(Qt::AccessibleTextRole, name + ", " + status + ", " + outcome);
    g.header->setData(Qt::AccessibleDescriptionRole,
                      T(g.collapsed ? strings::kGroupFolded : strings::kGroupUnfolded).arg(g.source));
}

void TRecoveredFiles::FileWritten(const QString &path)
{
    TGroup *group = Current();
    const QString name = QFileInfo(path).fileName();
    QListWidgetItem *item = m_items.value(path);
    if (item) {
        Drop(item); // written again: a new picture
    } else {
        item = new QListWidgetItem(name);
        item->setData(PathRole, path);
        item->setData(DamagedRole, false);
        item->setData(SourceRole, group->header->data(SourceRole));
        item->setToolTip(path);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled);
        item->setData(Qt::AccessibleTextRole, name);
        item->setData(Qt::AccessibleDescriptionRole, T(strings::kPieceWhole));
        int row = EndRow(*group);
        const auto mask = kMaskFile.match(name);
        if (kRebuiltFile.match(name).hasMatch()) {
            row = m_list->row(group->header) + 1 + group->rebuilt++;
            group->rebuiltItems << item;
        } else if (mask.hasMatch()) {
            const QString dir = QFileInfo(path).path() + '/';
            QListWidgetItem *layer = m_items.value(dir + mask.captured(1) + '.' + mask.captured(2));
            if (!layer)
                layer = m_items.value(dir + mask.captured(1) + (mask.captured(2) == "psd" ? ".psb" : ".psd"));
            if (layer && GroupOf(layer) == group) {
                row = m_list->row(layer) + 1;
                group->masks.insert(layer, item);
            }
        }
        if (kLayerFile.match(name).hasMatch()) {
            // A mask written before its layer: the layer goes in front of it.
            const QString base = QFileInfo(path).path() + '/' + QFileInfo(name).completeBaseName() + "_mask.";
            QListWidgetItem *own = m_items.value(base + "psd");
            if (!own)
                own = m_items.value(base + "psb");
            if (own && GroupOf(own) == group) {
                row = m_list->row(own);
                group->masks.insert(item, own);
            }
        }
        m_list->insertItem(row, item);
        m_items.insert(path, item);
        ++group->summary.pieces;
        if (repairlog::IsPreviewFile(path.toStdString())) {
            if (group->summary.previews++ == 0)
                group->summary.firstPreview = path;
        }
        if (mask.hasMatch()) {
            // The mask of a layer already marked shares its mark.
            for (auto it = group->masks.cbegin(); it != group->masks.cend(); ++it)
                if (it.value() == item && it.key()->data(DamagedRole).toBool())
                    MarkDamaged(item, it.key()->data(DetailRole).toString());
        }
        if (kRebuiltFile.match(name).hasMatch() && group->rebuiltDamageToCome)
            MarkDamaged(item, T(strings::kHoldsDamagedLayer));
        if (kRebuiltFile.match(name).hasMatch())
            group->rebuiltDamageToCome = false;
        UpdateHeader(*group);
        ApplyVisibility(*group, item);
    }
    if (const auto m = kLayerFile.match(name); m.hasMatch()) {
        const int layer = m.captured(1).toInt();
        group->layers.insert(layer, item);
        if (group->damageToCome.contains(layer)) {
            const QString line = group->damageToCome.take(layer);
            MarkDamaged(item, line);
            if (QListWidgetItem *mask = group->masks.value(item))
                MarkDamaged(mask, line);
        }
    }
    ScheduleScan();
}

void TRecoveredFiles::StatusLine(const QString &line)
{
    const auto m = kLayerLine.match(line);
    if (!m.hasMatch() || (m.captured(2).toULongLong() == 0 && m.captured(3).toULongLong() == 0))
        return;
    TGroup *group = Current();
    group->rebuiltDamageToCome = true;
    const int layer = m.captured(1).toInt();
    QListWidgetItem *item = group->layers.value(layer);
    if (!item) {
        group->damageToCome.insert(layer, line);
        return;
    }
    MarkDamaged(item, line);
    if (QListWidgetItem *mask = group->masks.value(item))
        MarkDamaged(mask, line);
}

void TRecoveredFiles::MarkDamaged(QListWidgetItem *item, const QString &detail)
{
    TGroup *group = GroupOf(item);
    if (!item->data(DamagedRole).toBool() && group)
        ++group->summary.damaged;
    item->setData(DamagedRole, true);
    item->setData(DetailRole, detail);
    item->setToolTip(PathOf(item) + "\n" + T(strings::kNotReadWhole).arg(detail));
    item->setData(Qt::AccessibleDescriptionRole, T(strings::kPieceDamaged).arg(detail));
    if (group) {
        UpdateHeader(*group);
        ApplyVisibility(*group, item);
    }
}

QString TRecoveredFiles::PathOf(const QListWidgetItem *item) const
{
    return item ? item->data(PathRole).toString() : QString();
}

QString TRecoveredFiles::FolderOf(const QListWidgetItem *item) const
{
    if (IsHeader(item)) {
        const TGroup *group = GroupOf(item);
        return group ? group->outputDir : QString();
    }
    const QString path = PathOf(item);
    return path.isEmpty() ? QString() : QFileInfo(path).absolutePath() + '/';
}

bool TRecoveredFiles::IsHeader(const QListWidgetItem *item) { return item && item->data(HeaderRole).toBool(); }

QListWidgetItem *TRecoveredFiles::HeaderOf(const QString &source) const
{
    for (const auto &g : m_groups)
        if (g->source == source)
            return g->header;
    return nullptr;
}

void TRecoveredFiles::SetCollapsed(QListWidgetItem *header, bool collapsed)
{
    TGroup *group = GroupOf(header);
    if (!group || !IsHeader(header))
        return;
    group->collapsed = collapsed;
    UpdateHeader(*group);
    ApplyVisibility(*group);
}

void TRecoveredFiles::ShowSource(const QString &source)
{
    QListWidgetItem *header = HeaderOf(source);
    if (!header)
        return;
    SetCollapsed(header, false);
    m_list->setCurrentItem(header);
    m_list->scrollToItem(header, QAbstractItemView::PositionAtTop);
    ScheduleScan();
}

void TRecoveredFiles::SetDamagedOnly(bool damagedOnly)
{
    m_damagedOnly = damagedOnly;
    for (const auto &g : m_groups)
        ApplyVisibility(*g);
}

void TRecoveredFiles::ApplyVisibility(TGroup &g, QListWidgetItem *only)
{
    const int first = m_list->row(g.header);
    const bool whole = g.status == T(repairlog::kStatusSuccessful) || g.status.isEmpty();
    const auto hide = [&](int row, bool hidden) {
        if (m_list->isRowHidden(row) != hidden)
            m_list->setRowHidden(row, hidden);
    };
    hide(first, m_damagedOnly && g.summary.damaged == 0 && whole);
    const auto hidePiece = [&](int row) {
        const bool damaged = m_list->item(row)->data(DamagedRole).toBool();
        hide(row, g.collapsed || (m_damagedOnly && !damaged));
    };
    if (only) {
        hidePiece(m_list->row(only));
    } else {
        for (int row = first + 1, end = EndRow(g); row < end; ++row)
            hidePiece(row);
    }
    ScheduleScan();
}

// ---------------------------------------------------------------------------
// Thumbnails for what is in view

bool TRecoveredFiles::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Resize || event->type() == QEvent::Show)
        ScheduleScan();
    if (watched == m_list && event->type() == QEvent::KeyPress) {
        // Enter or Space on a header folds or unfolds its group.
        const int key = static_cast<QKeyEvent *>(event)->key();
        QListWidgetItem *item = m_list->currentItem();
        if (IsHeader(item) && (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space)) {
            SetCollapsed(item, !item->data(CollapsedRole).toBool());
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

void TRecoveredFiles::ScheduleScan()
{
    if (!m_scanTimer.isActive())
        m_scanTimer.start();
}

int TRecoveredFiles::Pending()
{
    if (m_scanTimer.isActive()) {
        m_scanTimer.stop();
        Scan();
    }
    return int(m_requested.size());
}

void TRecoveredFiles::Scan()
{
    // The rows in view: a hidden window's viewport may not have its size
    // yet, the list's own contents area has.
    const int height = std::max(m_list->viewport()->height(), m_list->contentsRect().height());
    const int screen = std::max(height, kCellHeight);
    // Made for the screen in view and one above and below it; dropped three
    // screens away.
    const QRect near(QPoint(-(1 << 20), -screen), QPoint(1 << 20, height + screen));
    const int farAbove = -3 * screen, farBelow = height + 3 * screen;
    std::vector<QString> wanted;
    QSet<QString> wantedSet;
    for (int row = 0; row < m_list->count(); ++row) {
        QListWidgetItem *item = m_list->item(row);
        if (IsHeader(item))
            continue;
        const bool held = m_held.contains(item);
        if (m_list->isRowHidden(row)) {
            if (held)
                Drop(item);
            continue;
        }
        const QRect r = m_list->visualItemRect(item);
        if (r.intersects(near)) {
            if (!held) {
                wanted.push_back(PathOf(item));
                wantedSet.insert(PathOf(item));
            }
        } else if (held && (r.bottom() < farAbove || r.top() > farBelow)) {
            Drop(item);
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    // Requests still queued for pieces that have left the view are taken
    // back; the worker's current one comes in all the same.
    for (const auto &job : m_queue)
        if (!wantedSet.contains(job.second))
            m_requested.remove(job.second);
    m_queue.clear();
    for (const QString &path : wanted) {
        m_queue.emplace_back(m_generation, path);
        m_requested.insert(path);
    }
    m_renderSide = int(std::ceil(kThumbnailSide * PixelRatio()));
    if (!m_queue.empty())
        m_wake.notify_one();
}

void TRecoveredFiles::Drop(QListWidgetItem *item)
{
    item->setData(ThumbnailRole, QVariant());
    item->setData(Qt::DecorationRole, QVariant());
    m_held.remove(item);
}

void TRecoveredFiles::Worker()
{
    for (;;) {
        std::pair<quint64, QString> job;
        int side;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_stop)
                return;
            job = m_queue.front();
            m_queue.pop_front();
            side = m_renderSide;
        }
        const TThumbnail thumbnail = RenderThumbnail(job.second, side);
        QMetaObject::invokeMethod(
            this, [this, job, thumbnail] { Show(job.first, job.second, thumbnail); }, Qt::QueuedConnection);
    }
}

void TRecoveredFiles::Show(quint64 generation, const QString &path, const TThumbnail &thumbnail)
{
    if (generation != m_generation)
        return; // for a grid that has been emptied since
    m_requested.remove(path);
    QListWidgetItem *item = m_items.value(path);
    if (!item)
        return;
    item->setData(ThumbnailRole, thumbnail.image);
    item->setData(Qt::DecorationRole, ThumbnailPixmap(thumbnail.image, PixelRatio()));
    m_held.insert(item);
    QString text = QFileInfo(path).fileName();
    if (thumbnail.width > 0) {
        const QString size = T(strings::kPixelSize).arg(thumbnail.width).arg(thumbnail.height);
        text += "\n" + size;
        item->setData(Qt::AccessibleTextRole, QFileInfo(path).fileName() + ", " + size);
    }
    item->setText(text);
    if (thumbnail.cut && !item->data(DamagedRole).toBool())
        MarkDamaged(item, T(strings::kFileCutShort));
    emit ThumbnailShown(path);
}
