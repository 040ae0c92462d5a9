#include "logdlg.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLineEdit>

#include "PlatformText.h"
#include "Strings.h"

TSaveLogDialog::TSaveLogDialog(QWidget *parent) : QFileDialog(parent)
{
    // The check box goes into the dialog's own layout, so the dialog must be
    // Qt's, not the desktop's.
    setOption(QFileDialog::DontUseNativeDialog, true);
    setAcceptMode(QFileDialog::AcceptSave);
    setDefaultSuffix("log");
    setNameFilter(QtFilter(QString::fromLatin1(strings::kSaveLogFilter)));
    m_box = new QCheckBox(QString::fromLatin1(strings::kIncludeSysInfo), this);
    m_box->setObjectName("SystemInfoCheckBox");
    m_box->setToolTip(QString::fromLatin1(strings::kIncludeSysInfoHint));
    m_box->setChecked(true);
    if (auto *grid = qobject_cast<QGridLayout *>(layout())) {
        // Below the standard controls, in the column of the file name box.
        int column = 1;
        if (auto *name = findChild<QLineEdit *>("fileNameEdit")) {
            int row, span, colSpan;
            grid->getItemPosition(grid->indexOf(name), &row, &column, &span, &colSpan);
        }
        grid->addWidget(m_box, grid->rowCount(), column, 1, 1);
    }
}

bool TSaveLogDialog::IncludeSysInfo() const { return m_box->isChecked(); }

void TSaveLogDialog::SetIncludeSysInfo(bool include) { m_box->setChecked(include); }
