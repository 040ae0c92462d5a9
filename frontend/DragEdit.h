// TDragEdit: the single-line edit box that takes a file dropped from the
// desktop's file manager.
#pragma once

#include <QLineEdit>
#include <functional>

class TDragEdit : public QLineEdit {
    Q_OBJECT
public:
    /// Called with the edit box and the full path of the first dropped file.
    using TDropEvent = std::function<void(TDragEdit *sender, const QString &file)>;

    explicit TDragEdit(QWidget *parent = nullptr);

    /// Registers (true) or unregisters (false) the box as a target for files
    /// dropped from the desktop.
    void AcceptDroppedFiles(bool accept);

    TDropEvent OnDropFile;
    /// A drop of several files is left to the widgets around the box (the
    /// window takes them for its batch) instead of delivering the first.
    bool PassOnSeveral = false;

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    /// Only the first file of a drop is delivered; the box's own text is not
    /// changed here (the handler does that), and a drop without a handler
    /// changes nothing.
    void dropEvent(QDropEvent *event) override;
};
