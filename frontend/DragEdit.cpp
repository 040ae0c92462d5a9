#include "DragEdit.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

namespace {

int LocalFiles(const QMimeData *mime)
{
    int n = 0;
    if (mime && mime->hasUrls())
        for (const QUrl &url : mime->urls())
            n += url.isLocalFile();
    return n;
}

QString FirstLocalFile(const QMimeData *mime)
{
    if (!mime || !mime->hasUrls())
        return {};
    for (const QUrl &url : mime->urls())
        if (url.isLocalFile())
            return url.toLocalFile();
    return {};
}

} // namespace

TDragEdit::TDragEdit(QWidget *parent) : QLineEdit(parent) { setAcceptDrops(false); }

void TDragEdit::AcceptDroppedFiles(bool accept) { setAcceptDrops(accept); }

void TDragEdit::dragEnterEvent(QDragEnterEvent *event)
{
    if (!FirstLocalFile(event->mimeData()).isEmpty() && !(PassOnSeveral && LocalFiles(event->mimeData()) > 1))
        event->acceptProposedAction();
    else
        event->ignore();
}

void TDragEdit::dragMoveEvent(QDragMoveEvent *event)
{
    if (!FirstLocalFile(event->mimeData()).isEmpty() && !(PassOnSeveral && LocalFiles(event->mimeData()) > 1))
        event->acceptProposedAction();
    else
        event->ignore();
}

void TDragEdit::dropEvent(QDropEvent *event)
{
    const QString file = FirstLocalFile(event->mimeData());
    if (!file.isEmpty() && OnDropFile)
        OnDropFile(this, file);
    event->acceptProposedAction(); // the drop is finished either way
}
