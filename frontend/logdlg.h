// TSaveLogDialog: the save-file dialog of "Save Log", with the check box
// "Include System Information" directly below its standard controls.
#pragma once

#include <QFileDialog>

class QCheckBox;

class TSaveLogDialog : public QFileDialog {
    Q_OBJECT
    Q_PROPERTY(bool IncludeSysInfo READ IncludeSysInfo WRITE SetIncludeSysInfo)
public:
    explicit TSaveLogDialog(QWidget *parent = nullptr);

    bool IncludeSysInfo() const;
    void SetIncludeSysInfo(bool include);
    QCheckBox *SystemInfoCheckBox() const { return m_box; }

private:
    QCheckBox *m_box;
};
