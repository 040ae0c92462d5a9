#include "MainFrm.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QListWidget>
#include <QLocale>
#include <QMovie>
#include <QPixmap>
#include <QProxyStyle>
#include <QTabBar>
#include <QScreen>
#include <QSet>
#include <QTimer>
#include <QTreeWidgetItem>

#include "JpegImage.h"
#include "PlatformText.h"
#include "Qoban.h"
#include "RecoveredFiles.h"
#include "RepairLog.h"
#include "Strings.h"
#include "VersionInfo.h"
#include "WenkInfo.h"
#include "WenkUtils.h"

namespace {

// The page tabs with half the usual room beside their captions: all six fit
// the fixed width of the window.
class TTabStyle : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption *option, const QWidget *widget) const override
    {
        const int value = QProxyStyle::pixelMetric(metric, option, widget);
        return metric == PM_TabBarTabHSpace ? value / 2 : value;
    }
};

constexpr int kDepths[] = {1, 8, 16, 32};
constexpr int kModes[] = {0, 1, 2, 3, 4, 7, 8, 9};

QString Q(const std::string &s) { return QString::fromStdString(s); }
std::string S(const QString &s) { return s.toStdString(); }

// A switch is "-" or "/" followed by exactly the letter, in any case. "/"
// also begins every absolute path here, so a parameter that starts with "/"
// is a switch only as "/" and one letter; any other is a file name.
bool IsSwitchLike(const QString &a)
{
    return !a.isEmpty() && (a[0] == '-' || (a[0] == '/' && a.size() == 2 && a[1].isLetter()));
}

bool HasSwitch(const QStringList &args, QChar letter)
{
    for (const QString &a : args)
        if (a.size() == 2 && IsSwitchLike(a) && a[1].toUpper() == letter.toUpper())
            return true;
    return false;
}

QString FirstFileArgument(const QStringList &args)
{
    for (const QString &a : args)
        if (!a.isEmpty() && !IsSwitchLike(a))
            return a;
    return {};
}

} // namespace

int DepthToItem(int32_t depth)
{
    for (int i = 0; i < 4; ++i)
        if (kDepths[i] == depth)
            return i;
    return -1;
}

int ModeToItem(int32_t mode)
{
    for (int i = 0; i < 8; ++i)
        if (kModes[i] == mode)
            return i;
    return -1;
}

int32_t ItemToDepth(int item) { return item >= 0 && item < 4 ? kDepths[item] : 0; }
int32_t ItemToMode(int item) { return item >= 0 && item < 8 ? kModes[item] : 0; }

int32_t ZELT_CALL orvaneEngineCallback(int32_t code, const void *data, void *userData)
{
    TMainForm *form = *static_cast<TMainForm **>(userData);
    if (code == MSG_QUERY_ABORT) {
        // With coarse reports the percentage may stand still for a long
        // time while the polls go on: the window pumps on them when due, so
        // it stays alive and a click on Stop is seen at this very poll.
        if (form->FPumpTicker.due.load(std::memory_order_relaxed))
            form->PumpMessages();
        return form->FRunning ? 0 : -1;
    }
    if (code == MSG_PROGRESS && *static_cast<const uint8_t *>(data) == form->FLastPercent &&
        !form->FPumpTicker.due.load(std::memory_order_relaxed))
        return 0;
    return form->HandleEngineMessage(code, data) ? -1 : 0;
}

void PumpTicker::Start()
{
    Stop();
    m_stop = false;
    due = false;
    m_thread = std::thread([this] {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_wake.wait_for(lock, m_interval, [this] { return m_stop; }))
            due.store(true, std::memory_order_relaxed);
    });
}

void PumpTicker::Stop()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

TMainForm::TMainForm(IPlatformServices &platform, RecoverFileFn recover, QStringList arguments,
                     QString programPath, QWidget *parent)
    : QWidget(parent), FPlatform(platform), FRecover(recover), FArguments(std::move(arguments)),
      FProgramPath(std::move(programPath))
{
    setupUi(this);
    // The window's own small font, the desktop's sans face at 8 points: the
    // pages are laid out for it.
    QFont small = font();
    small.setPointSize(8);
    setFont(small);
    setFixedSize(479, 349);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    auto *tabStyle = new TTabStyle;
    tabStyle->setParent(pcMain->tabBar());
    pcMain->tabBar()->setStyle(tabStyle);
    Animate->raise();
    Panel2->raise();
    Gauge->setRange(0, 100);
    FileList->setColumnWidth(0, 132);
    FileList->setColumnWidth(1, 132);
    FileList->setColumnWidth(2, 80);
    for (QLabel *link : {labHomepage, labEmail}) {
        link->setStyleSheet("color: blue; text-decoration: underline;");
        link->installEventFilter(this);
    }
    for (QSpinBox *box : {txtHeight, txtWidth, txtChannelCount, txtBufSize})
        box->findChild<QLineEdit *>()->installEventFilter(this);
    FileList->installEventFilter(this);
    FRecovered = std::make_unique<TRecoveredFiles>(RecoveredList);
    // Labels with an accelerator letter lead to their control.
    labSelSrcFile->setBuddy(txtSrcFile);
    labSelDstFile->setBuddy(txtDstFile);
    labImageSize->setBuddy(txtHeight);
    labChannelCount->setBuddy(txtChannelCount);
    labDepth->setBuddy(cmbDepth);
    labColorMode->setBuddy(cmbMode);
    labTempDir->setBuddy(txtTempDir);
    labBufSize->setBuddy(txtBufSize);
    ConnectHandlers();
}

TMainForm::~TMainForm()
{
    try {
        FormDestroy();
    } catch (const RegistryError &e) {
        ReportException(QString::fromStdString(e.what()));
    }
}

void TMainForm::ConnectHandlers()
{
    connect(btnRepair, &QPushButton::clicked, this, &TMainForm::btnRepairClick);
    connect(btnRepairFiles, &QPushButton::clicked, this, &TMainForm::btnRepairFilesClick);
    connect(btnSaveLog, &QPushButton::clicked, this, &TMainForm::btnSaveLogClick);
    connect(btnSrcMore, &QPushButton::clicked, this, &TMainForm::btnSrcMoreClick);
    connect(btnDstMore, &QPushButton::clicked, this, &TMainForm::btnDstMoreClick);
    connect(btnAddFiles, &QPushButton::clicked, this, &TMainForm::btnAddFilesClick);
    connect(btnRemoveFiles, &QPushButton::clicked, this, &TMainForm::btnRemoveFilesClick);
    connect(btnRemoveAll, &QPushButton::clicked, this, &TMainForm::btnRemoveAllClick);
    connect(btnHelp, &QPushButton::clicked, this, &TMainForm::btnHelpClick);
    connect(btnMoreDir, &QPushButton::clicked, this, &TMainForm::btnMoreDirClick);
    connect(txtSrcFile, &QLineEdit::textChanged, this, &TMainForm::txtSrcFileChange);
    connect(txtDstFile, &QLineEdit::textChanged, this, &TMainForm::txtDstFileChange);
    connect(txtDstFile, &QLineEdit::textEdited, this, [this] { FDstFollowsSrc = false; });
    connect(txtSrcFile, &QLineEdit::returnPressed, this, &TMainForm::txtPathReturnPressed);
    connect(txtDstFile, &QLineEdit::returnPressed, this, &TMainForm::txtPathReturnPressed);
    connect(pcMain, &QTabWidget::currentChanged, this, &TMainForm::pcMainChange);
    connect(RecoveredList, &QListWidget::itemActivated, this, &TMainForm::RecoveredListActivated);
    connect(btnOpenFolder, &QPushButton::clicked, this, &TMainForm::btnOpenFolderClick);
    txtSrcFile->OnDropFile = [this](TDragEdit *, const QString &file) { txtSrcFileDropFile(file); };
}

void TMainForm::ReportException(const QString &text)
{
    FPlatform.ShowMessage(this, text, QString::fromLatin1(strings::kAppTitle), MessageIcon::Error);
}

void TMainForm::FormCreate()
{
    try {
        // 1-3: the application's title, the help file, the open filter (which
        // the platform's dialog call takes). The task bar takes the title from
        // the desktop entry; the title is not set as the display name, which
        // Qt would append to every window's and message box's title.
        QGuiApplication::setDesktopFileName(QStringLiteral("velmora"));
        FHelpFile = HelpFileFor(FProgramPath);
        // 4: the path boxes are laid out from the source label, which sizes
        // itself to its caption.
        labSelSrcFile->setText(QString::fromLatin1(strings::kSelSrcFile));
        labSelDstFile->setText(QString::fromLatin1(strings::kSelDstFile));
        labSelSrcFile->adjustSize();
        labSelDstFile->adjustSize();
        const int left = labSelSrcFile->x() + labSelSrcFile->width() + 10;
        txtSrcFile->setGeometry(left, txtSrcFile->y(), btnSrcMore->x() - left, txtSrcFile->height());
        txtDstFile->setGeometry(left, txtDstFile->y(), txtSrcFile->width(), txtDstFile->height());
        // 5: About texts
        labCopyright->setText(QString::fromLatin1(strings::kCopyright));
        labHomepage->setText(QString::fromLatin1(strings::kHomepage));
        labEmail->setText(QString::fromLatin1(strings::kEmail));
        // 6, 7: caption and version
        const QString major = FPlatform.FileVersionText(FProgramPath, 0);
        setWindowTitle(QString::fromLatin1(strings::kAppTitle) + " v" + major);
        labTitle->setText(QString::fromLatin1(strings::kAppTitle));
        labVersion->setText(FPlatform.FileVersionText(FProgramPath, 2));
        // 8-10
        FRunning = false;
        FMovie = std::make_unique<QMovie>(":/anim.gif");
        FMovie->setCacheMode(QMovie::CacheAll);
        Animate->setMovie(FMovie.get());
        FMovie->jumpToFrame(16);
        imgIcon->setPixmap(QPixmap(":/icon.png").scaled(64, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        Image1->setPixmap(QPixmap::fromImage(DecodeJpegResource(":/banner.jpg")));
        // The window stands in the middle of the screen also where no window
        // manager places it.
        if (const QScreen *screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
        // 11: the settings into the controls. The defaults stand there first,
        // so a store that cannot be read leaves the defaults on the pages.
        FSettings = TRepairSettings{};
        FSettings.TempDir = FPlatform.TempDirectory();
        SettingsToControls();
        TRepairSettings loaded = FSettings;
        LoadSettings(FPlatform.Settings(), loaded, FSettings.TempDir);
        FSettings = loaded;
        FCreated = true;
        SettingsToControls();
        // 12
        txtSrcFile->AcceptDroppedFiles(true);
    } catch (const RegistryError &e) {
        ReportException(QString::fromStdString(e.what()));
        return;
    }

    // 13: the command line
    if (FArguments.isEmpty())
        return;
    show();
    const QString file = FirstFileArgument(FArguments);
    if (!file.isEmpty() && FPlatform.FileExists(file)) {
        txtSrcFile->setText(file);
        chkOpenFixed->setChecked(HasSwitch(FArguments, 'O'));
        txtSrcFileChange();
        btnRepairClick();
        if (HasSwitch(FArguments, 'E'))
            FTerminate = true;
    } else {
        FPlatform.ShowMessage(this, QString::fromLatin1(strings::kCannotOpenFile).arg(file),
                              QString::fromLatin1(strings::kError), MessageIcon::Error);
    }
}

void TMainForm::SettingsToControls()
{
    chkOpenFixed->setChecked(FSettings.OpenFixed);
    txtHeight->setValue(static_cast<int16_t>(FSettings.Rows));
    txtWidth->setValue(static_cast<int16_t>(FSettings.Columns));
    txtChannelCount->setValue(static_cast<int16_t>(FSettings.Channels));
    cmbDepth->setCurrentIndex(DepthToItem(FSettings.Depth));
    cmbMode->setCurrentIndex(ModeToItem(FSettings.Mode));
    chkHeuristicRecovery->setChecked(FSettings.HeuristicRecovery);
    chkRebuildDocument->setChecked(FSettings.RebuildDocument);
    txtTempDir->setText(FSettings.TempDir);
    txtBufSize->setValue(static_cast<int16_t>(FSettings.BufSize));
}

void TMainForm::ControlsToSettings()
{
    FSettings.OpenFixed = chkOpenFixed->isChecked();
    FSettings.Rows = static_cast<int16_t>(txtHeight->value());
    FSettings.Columns = static_cast<int16_t>(txtWidth->value());
    FSettings.Channels = static_cast<int16_t>(txtChannelCount->value());
    if (cmbDepth->currentIndex() >= 0)
        FSettings.Depth = ItemToDepth(cmbDepth->currentIndex());
    if (cmbMode->currentIndex() >= 0)
        FSettings.Mode = ItemToMode(cmbMode->currentIndex());
    FSettings.HeuristicRecovery = chkHeuristicRecovery->isChecked();
    FSettings.RebuildDocument = chkRebuildDocument->isChecked();
    FSettings.TempDir = txtTempDir->text();
    FSettings.BufSize = static_cast<int16_t>(txtBufSize->value());
}

void TMainForm::FormDestroy()
{
    // Settings that were never read (a store FormCreate could not read) are
    // not written over.
    if (!FCreated)
        return;
    ControlsToSettings();
    SaveSettings(FPlatform.Settings(), FSettings);
}

void TMainForm::closeEvent(QCloseEvent *event)
{
    if (FEngineBusy) {
        // The engine still holds this window through its user data: ask it
        // to stop, and close when it has returned.
        FRunning = false;
        FCloseRequested = true;
        event->ignore();
        return;
    }
    event->accept();
}

void TMainForm::pcMainChange(int index)
{
    // The gauge on the pages that start repairs and on the page that shows
    // what comes back; the animation on the first two only.
    QWidget *page = pcMain->widget(index);
    Animate->setVisible(page == tsRepair || page == tsBatch);
    Panel2->setVisible(page == tsRepair || page == tsBatch || page == tsFiles);
    if (page == tsRepair)
        Animate->move(Animate->x(), 188);
    else if (page == tsBatch)
        Animate->move(Animate->x(), 146);
}

void TMainForm::RecoveredListActivated(QListWidgetItem *item)
{
    const QString path = FRecovered->PathOf(item);
    if (!path.isEmpty() && !FPlatform.ShellOpen(path))
        FPlatform.ShowMessage(this, QString::fromLatin1(strings::kCannotOpenTheFile).arg(path),
                              QString::fromLatin1(strings::kError), MessageIcon::Error);
}

void TMainForm::btnOpenFolderClick()
{
    // The directory of the chosen file, or of the first one.
    QListWidgetItem *item = RecoveredList->currentItem();
    if (!item)
        item = RecoveredList->item(0);
    if (!item)
        return;
    const QString dir = QFileInfo(FRecovered->PathOf(item)).absolutePath() + '/';
    if (!FPlatform.ShellOpen(dir))
        FPlatform.ShowMessage(this, Q(repairlog::CannotOpenDirectory(S(dir))), QString::fromLatin1(strings::kError),
                              MessageIcon::Error);
}

bool TMainForm::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonRelease) {
        if (watched == labHomepage) {
            labHomepageClick();
            return true;
        }
        if (watched == labEmail) {
            labEmailClick();
            return true;
        }
    }
    if (event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (watched == FileList) {
            if (key->key() == Qt::Key_Delete) {
                FileListKeyDown(key);
                return true;
            }
            return false;
        }
        // The numeric key filter: control characters and digits pass, every
        // other typed character beeps and is dropped.
        const QString text = key->text();
        if (!text.isEmpty() && text[0].unicode() >= 32 && !(text[0] >= '0' && text[0] <= '9')) {
            FPlatform.Beep();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TMainForm::btnHelpClick() { FPlatform.ShowHelp(FHelpFile, QString()); }

void TMainForm::btnMoreDirClick()
{
    QString folder;
    if (FPlatform.BrowseFolder(this, QString::fromLatin1(strings::kSelectTempDir), folder))
        txtTempDir->setText(folder);
}

void TMainForm::labHomepageClick() { FPlatform.ShellOpen(labHomepage->text()); }

void TMainForm::labEmailClick() { FPlatform.ShellOpen("mailto:" + labEmail->text()); }

// ---------------------------------------------------------------------------
// Repair page

void TMainForm::UpdateRepairButton()
{
    btnRepair->setEnabled(!txtSrcFile->text().trimmed().isEmpty() && !txtDstFile->text().trimmed().isEmpty());
}

void TMainForm::txtSrcFileChange()
{
    UpdateRepairButton();
    // While the output box is empty or still holds the directory proposed
    // for the source, it follows the source: typing a path by hand ends in
    // the directory for the whole path, not for its first letter. Once the
    // user has written or chosen an output directory, it stays.
    if (txtDstFile->text().isEmpty())
        FDstFollowsSrc = true;
    if (!FDstFollowsSrc)
        return;
    const QString src = txtSrcFile->text();
    txtDstFile->setText(src.isEmpty() ? QString() : Q(wenk::DefaultOutputDir(S(src))));
    FDstFollowsSrc = true;
}

void TMainForm::txtPathReturnPressed()
{
    // Enter in a path box presses "Start Repair", as in a dialog with its
    // default button; it never stops a repair that runs.
    if (btnRepair->isEnabled() && !FEngineBusy)
        btnRepair->click();
}

void TMainForm::txtDstFileChange() { UpdateRepairButton(); }

void TMainForm::txtSrcFileDropFile(const QString &file) { txtSrcFile->setText(file); }

void TMainForm::btnSrcMoreClick()
{
    int index = FSettings.OpenFilterIndex;
    QStringList files;
    if (FPlatform.GetOpenFileNames(this, QString::fromLatin1(strings::kOpenFilter), index, false, files) &&
        !files.isEmpty()) {
        FSettings.OpenFilterIndex = index;
        txtSrcFile->setText(files.first());
    }
}

void TMainForm::btnDstMoreClick()
{
    QString dir;
    if (!FPlatform.SelectDirectory(this, txtDstFile->text(), dir))
        return;
    if (!dir.endsWith('/'))
        dir += '/';
    FDstFollowsSrc = false;
    txtDstFile->setText(dir);
}

void TMainForm::AppendLog(const QString &line)
{
    QString text = line;
    text.replace("\r\n", "\n");
    txtRepairLog->appendPlainText(text);
}

QString TMainForm::LogText() const
{
    QString text = txtRepairLog->toPlainText();
    text.replace('\n', "\r\n");
    return text;
}

void TMainForm::StartAnimation()
{
    if (FMovie)
        FMovie->start();
}

void TMainForm::StopAnimation()
{
    if (FMovie) {
        FMovie->stop();
        FMovie->jumpToFrame(16);
    }
}

void TMainForm::FillRepairOptions(RepairOptions &o) const
{
    o = RepairOptions{};
    o.StructSize = ZELT_REPAIR_OPTIONS_SIZE;
    o.ChannelCount = static_cast<uint16_t>(txtChannelCount->value());
    o.ImageHeight = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(txtHeight->value())));
    o.ImageWidth = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(txtWidth->value())));
    o.BitsPerChannel = static_cast<uint16_t>(ItemToDepth(cmbDepth->currentIndex()));
    o.ColorMode = static_cast<uint16_t>(ItemToMode(cmbMode->currentIndex()));
    // The window always asks for coarse reports (it pumps on its ticker)
    // and for the embedded preview.
    o.RecoveryFlags = ZELT_REPORT_COARSE | ZELT_RECOVER_PREVIEW;
    if (chkHeuristicRecovery->isChecked())
        o.RecoveryFlags |= ZELT_RECOVER_HEURISTIC;
    if (chkRebuildDocument->isChecked())
        o.RecoveryFlags |= ZELT_RECOVER_REBUILD;
}

bool TMainForm::HandleEngineMessage(int32_t code, const void *data)
{
    switch (code) {
    case MSG_QUERY_ABORT: return !FRunning;
    case MSG_PROGRESS: {
        // The gauge is set when the percentage changes; the queue is pumped
        // then and whenever the ticker's flag is up.
        const int percent = *static_cast<const uint8_t *>(data);
        if (percent != FLastPercent) {
            FLastPercent = percent;
            Gauge->setValue(percent);
        }
        PumpMessages();
        return false;
    }
    case MSG_STATUS: {
        const QString line = QString::fromUtf8(static_cast<const char *>(data));
        AppendLog(line);
        FRecovered->StatusLine(line);
        return false;
    }
    case MSG_FILE_WRITTEN:
        FRecovered->FileWritten(QString::fromUtf8(static_cast<const char *>(data)));
        btnOpenFolder->setEnabled(true);
        return false;
    case MSG_ERROR:
        AppendLog(repairlog::kRule);
        AppendLog(QString::fromUtf8(static_cast<const char *>(data)));
        AppendLog(repairlog::kRule);
        return false;
    default: return false;
    }
}

void TMainForm::PumpMessages()
{
    FPumpTicker.due.store(false, std::memory_order_relaxed);
    FPlatform.ProcessEvents();
}

bool TMainForm::RunEngine(const QString &source, const QString &outputDir, const QStringList &otherSources)
{
    RepairOptions options;
    FillRepairOptions(options);
    FEngineBusy = true;
    FLastPercent = -1;
    FRecovered->BeginSource();
    FPumpTicker.Start();
    bool success = false;
    try {
        std::vector<std::string> others;
        for (const QString &other : otherSources)
            others.push_back(S(other));
        success = qoban::CallRecoverFile(FRecover, S(source), options, others, &FSelf, &orvaneEngineCallback,
                                         S(outputDir));
    } catch (...) {
        FPumpTicker.Stop();
        FEngineBusy = false;
        throw;
    }
    FPumpTicker.Stop();
    FEngineBusy = false;
    return success;
}

void TMainForm::SetRepairIdle(bool idle, QPushButton *button)
{
    button->setText(QString::fromLatin1(idle ? strings::kStartRepair : strings::kStopRepair));
}

void TMainForm::btnRepairClick()
{
    if (FRunning) {
        FRunning = false; // stops at the engine's next abort poll
        return;
    }
    if (FEngineBusy)
        return; // stopping: the engine has not returned yet
    FRunning = true;
    SetRepairIdle(false, btnRepair);
    txtRepairLog->clear();
    txtRepairLog->repaint();
    FRecovered->Clear();
    btnOpenFolder->setEnabled(false);
    StartAnimation();
    bool success = false;
    struct Reset {
        TMainForm *f;
        ~Reset()
        {
            f->FRunning = false;
            f->SetRepairIdle(true, f->btnRepair);
            f->StopAnimation();
        }
    };
    try {
        Reset reset{this};
        AppendLog(repairlog::kStart);
        AppendLog(repairlog::kRule);
        const QString dst = txtDstFile->text();
        if (!FPlatform.CreateDirectories(dst)) {
            FPlatform.ShowMessage(this, Q(repairlog::CannotCreateDirectory(S(dst))), QString::fromLatin1(strings::kError),
                                  MessageIcon::Error);
            AppendLog(repairlog::kAborted);
            return;
        }
        const QString src = txtSrcFile->text();
        const QString sep = QLocale().groupSeparator();
        AppendLog(Q(repairlog::FileLine(S(src), FPlatform.FileSize(src), S(sep))));
        AppendLog(Q(repairlog::OutputLine(S(txtDstFile->text()))));
        AppendLog(repairlog::kRule);
        const QDateTime start = FPlatform.Now();
        success = RunEngine(src, dst);
        const qint64 ms = start.msecsTo(FPlatform.Now());
        AppendLog(repairlog::kRule);
        AppendLog(Q(repairlog::ConsumedTimeLine(ms)));
        AppendLog(repairlog::kRule);
        AppendLog(repairlog::kCompletes);
        AppendLog(repairlog::kRule);
        StopAnimation();
        const QString result = Q(repairlog::ResultText(FRunning, success, S(txtSrcFile->text()), S(txtDstFile->text())));
        AppendLog(result);
        if (!FCloseRequested) {
            QString shown = result;
            FPlatform.ShowMessage(this, shown.replace("\r\n", "\n"), QString::fromLatin1(strings::kInformation),
                                  MessageIcon::Information);
        }
    } catch (const std::exception &e) {
        ReportException(QString::fromStdString(e.what()));
        return;
    }
    if (success && chkOpenFixed->isChecked() && !FCloseRequested) {
        if (!FPlatform.ShellOpen(txtDstFile->text()))
            FPlatform.ShowMessage(this, Q(repairlog::CannotOpenDirectory(S(txtDstFile->text()))),
                                  QString::fromLatin1(strings::kError), MessageIcon::Error);
    }
    if (FCloseRequested)
        QTimer::singleShot(0, this, &QWidget::close);
}

// ---------------------------------------------------------------------------
// Batch Repair page

void TMainForm::btnAddFilesClick()
{
    int index = FSettings.OpenFilterIndex;
    QStringList files;
    if (!FPlatform.GetOpenFileNames(this, QString::fromLatin1(strings::kOpenFilter), index, true, files))
        return;
    FSettings.OpenFilterIndex = index;
    for (const QString &file : files) {
        bool listed = false;
        for (int i = 0; i < FileList->topLevelItemCount() && !listed; ++i)
            listed = QString::compare(FileList->topLevelItem(i)->text(0), file, Qt::CaseInsensitive) == 0 ||
                     QLocale().toLower(FileList->topLevelItem(i)->text(0)) == QLocale().toLower(file);
        if (!listed)
            FileList->addTopLevelItem(new QTreeWidgetItem({file, QString(), repairlog::kStatusNotRepaired}));
    }
}

void TMainForm::btnRemoveFilesClick()
{
    for (int i = FileList->topLevelItemCount() - 1; i >= 0; --i)
        if (FileList->topLevelItem(i)->isSelected())
            delete FileList->takeTopLevelItem(i);
}

void TMainForm::btnRemoveAllClick() { FileList->clear(); }

void TMainForm::FileListKeyDown(QKeyEvent *event)
{
    // While a batch runs the list keeps its entries: the run addresses them.
    if (!btnRemoveAll->isEnabled())
        return;
    if (event->modifiers() & Qt::ShiftModifier)
        btnRemoveAllClick();
    else
        btnRemoveFilesClick();
}

void TMainForm::btnRepairFilesClick()
{
    if (FRunning) {
        FRunning = false;
        return;
    }
    if (FEngineBusy)
        return;
    if (FileList->topLevelItemCount() == 0) {
        FPlatform.ShowMessage(this, QString::fromLatin1(strings::kAddFilesFirst),
                              QString::fromLatin1(strings::kInformation), MessageIcon::Information);
        return;
    }
    FRunning = true;
    SetRepairIdle(false, btnRepairFiles);
    txtRepairLog->clear();
    FRecovered->Clear();
    btnOpenFolder->setEnabled(false);
    StartAnimation();
    // Entries stay put while the run addresses them by position.
    btnRemoveFiles->setEnabled(false);
    btnRemoveAll->setEnabled(false);
    struct Reset {
        TMainForm *f;
        ~Reset()
        {
            f->FRunning = false;
            f->SetRepairIdle(true, f->btnRepairFiles);
            f->StopAnimation();
            f->txtRepairLog->clear();
            f->btnRemoveFiles->setEnabled(true);
            f->btnRemoveAll->setEnabled(true);
        }
    };
    try {
        Reset reset{this};
        int repaired = 0;
        const int count = FileList->topLevelItemCount();
        QStringList sources;
        for (int i = 0; i < count; ++i)
            sources << FileList->topLevelItem(i)->text(0);
        // Two files never share a folder: photo.psd and photo.pdd would write
        // the same names into it, so the later one gets photo_recovered_2/.
        QSet<QString> folders;
        for (int i = 0; i < count && i < FileList->topLevelItemCount(); ++i) {
            if (!FRunning)
                break;
            QTreeWidgetItem *item = FileList->topLevelItem(i);
            const QString path = item->text(0);
            const QString first = Q(wenk::DefaultOutputDir(S(path)));
            QString dir = first;
            for (int k = 2; folders.contains(dir); ++k)
                dir = first.chopped(1) + QStringLiteral("_%1/").arg(k);
            folders.insert(dir);
            item->setText(1, dir);
            bool success = false;
            // No output of this file may be written over another file of the
            // batch, repaired already or still to come.
            QStringList others = sources;
            others.removeAt(i);
            if (FPlatform.CreateDirectories(dir))
                success = RunEngine(path, dir, others);
            item = FileList->topLevelItem(i);
            if (!item)
                break;
            if (success) {
                item->setText(2, repairlog::kStatusSuccessful);
                ++repaired;
            } else {
                item->setText(2, FRunning ? repairlog::kStatusFailed : repairlog::kStatusAborted);
            }
        }
        if (!FCloseRequested)
            FPlatform.ShowMessage(this, Q(repairlog::BatchSummary(repaired)), QString::fromLatin1(strings::kInformation),
                                  MessageIcon::Information);
    } catch (const std::exception &e) {
        ReportException(QString::fromStdString(e.what()));
    }
    if (FCloseRequested)
        QTimer::singleShot(0, this, &QWidget::close);
}

// ---------------------------------------------------------------------------
// Saving the log

QStringList TMainForm::SettingInformation() const
{
    const QString rule = repairlog::kRule;
    QStringList list;
    list << QString::fromLatin1(strings::kSettingInformation);
    list << Q(wenk::CheckBoxSettingText(S(chkOpenFixed->text()), chkOpenFixed->isChecked()));
    list << labImageSize->text() + " " + QString::number(static_cast<int16_t>(txtHeight->value())) + "x" +
                QString::number(static_cast<int16_t>(txtWidth->value()));
    list << labChannelCount->text() + " " + QString::number(static_cast<int16_t>(txtChannelCount->value()));
    if (cmbDepth->currentIndex() >= 0)
        list << labDepth->text() + " " + cmbDepth->currentText();
    if (cmbMode->currentIndex() >= 0)
        list << labColorMode->text() + " " + cmbMode->currentText();
    list << Q(wenk::CheckBoxSettingText(S(chkHeuristicRecovery->text()), chkHeuristicRecovery->isChecked()));
    list << Q(wenk::CheckBoxSettingText(S(chkRebuildDocument->text()), chkRebuildDocument->isChecked()));
    list << labTempDir->text() + " " + txtTempDir->text();
    list << labBufSize->text() + " " + QString::number(static_cast<int16_t>(txtBufSize->value()));
    list << rule << QString::fromLatin1(strings::kEndOfSettingInformation) << rule;
    return list;
}

void TMainForm::btnSaveLogClick()
{
    QString file;
    bool include = FIncludeSysInfo;
    const bool confirmed = FPlatform.GetSaveLogFileName(this, include, file);
    FIncludeSysInfo = include; // the box keeps what the user made of it, also after Cancel
    if (!confirmed)
        return;
    QByteArray bytes;
    if (!include) {
        bytes = LogText().toUtf8();
    } else {
        QStringList list;
        list << repairlog::kRule;
        AddSystemInformation(list, FPlatform, FProgramPath);
        list << SettingInformation();
        const QString log = txtRepairLog->toPlainText();
        if (!log.isEmpty())
            list << log.split('\n');
        for (const QString &line : list)
            bytes += line.toUtf8() + "\r\n";
    }
    // A complete new file, or the old one as it was.
    if (!FPlatform.WriteFileReplacing(file, bytes))
        ReportException(QString::fromLatin1(strings::kCannotCreateFile).arg(file));
}
