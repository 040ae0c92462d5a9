#include "MainFrm.h"

#include <QAccessible>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QListWidget>
#include <QMimeData>
#include <QPainter>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QUrl>
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
#include "OutputDirs.h"
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
// The window's smallest size: the size its pages are laid out for.
constexpr int kMinWidth = 479, kMinHeight = 349;
enum { kGrowWidth = 1, kGrowHeight = 2, kFollowRight = 4, kFollowBottom = 8 };
const char *const kPropertiesUnknown = "The merged image's properties could not be found in the surviving data";
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

QString T(const char *text) { return QString::fromLatin1(text); }

// The local files (no folders) a drag brings.
QStringList DroppedFiles(const QMimeData *mime)
{
    QStringList files;
    if (!mime || !mime->hasUrls())
        return files;
    for (const QUrl &url : mime->urls())
        if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile())
            files << url.toLocalFile();
    return files;
}

// The batch list's path columns: a path too long for its column loses the
// middle of its folders, never its file name.
class TPathDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem opt(option);
        initStyleOption(&opt, index);
        opt.text = ElidePath(opt.text, opt.fontMetrics, opt.rect.width() - 10);
        const QWidget *widget = option.widget;
        (widget ? widget->style() : QApplication::style())->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
    }
};

QString FirstFileArgument(const QStringList &args)
{
    for (const QString &a : args)
        if (!a.isEmpty() && !IsSwitchLike(a))
            return a;
    return {};
}

} // namespace

QString ElidePath(const QString &path, const QFontMetrics &metrics, int width)
{
    if (metrics.horizontalAdvance(path) <= width)
        return path;
    // The last part (a folder keeps its "/") stays whole while it fits.
    const int cut = int(path.lastIndexOf('/', path.endsWith('/') ? path.size() - 2 : -1)) + 1;
    const QString name = path.mid(cut), folders = path.left(cut);
    const int room = width - metrics.horizontalAdvance(name);
    if (cut == 0 || room < metrics.horizontalAdvance(QStringLiteral("/…/")))
        return metrics.elidedText(path, Qt::ElideMiddle, width);
    return metrics.elidedText(folders, Qt::ElideMiddle, room) + name;
}

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
    // The window opens at its smallest size; made larger, the lists, the
    // log and the grid grow with it.
    setWindowFlags(Qt::Window);
    setMinimumSize(kMinWidth, kMinHeight);
    resize(kMinWidth, kMinHeight);
    setAcceptDrops(true);
    auto *tabStyle = new TTabStyle;
    tabStyle->setParent(pcMain->tabBar());
    pcMain->tabBar()->setStyle(tabStyle);
    Animate->raise();
    Panel2->raise();
    Gauge->setRange(0, 100);
    // Paths cut in the middle, so the file names show; the outcome column
    // takes the rest of the width.
    FileList->header()->setStretchLastSection(true);
    FileList->setTextElideMode(Qt::ElideMiddle);
    FileList->setItemDelegateForColumn(0, new TPathDelegate(FileList));
    FileList->setItemDelegateForColumn(1, new TPathDelegate(FileList));
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
    labHeight->setBuddy(txtHeight);
    labWidth->setBuddy(txtWidth);
    labChannelCount->setBuddy(txtChannelCount);
    labDepth->setBuddy(cmbDepth);
    labColorMode->setBuddy(cmbMode);
    labTempDir->setBuddy(txtTempDir);
    labBufSize->setBuddy(txtBufSize);
    SetAccessibleTexts();
    AnchorControls();
    ConnectHandlers();
}

void TMainForm::SetAccessibleTexts()
{
    // Names a screen reader tells the controls apart by, and what each does.
    const struct {
        QWidget *widget;
        const char *name, *description;
    } texts[] = {
        {pcMain, "Pages", "The pages of the window"},
        {txtSrcFile, "Damaged file", "The Photoshop file to repair; a file can be dropped here"},
        {btnSrcMore, "Choose the damaged file", "Opens a dialog to choose the file to repair"},
        {txtDstFile, "Output folder", "The folder the recovered files are written to"},
        {btnDstMore, "Choose the output folder", "Opens a dialog to choose the output folder"},
        {txtRepairLog, "Repair process log", "What the repair did, line by line"},
        {btnRepair, "Start Repair", "Starts the repair of the damaged file, or stops the repair that runs"},
        {btnSaveLog, "Save Log", "Saves the repair log to a text file"},
        {btnHelp, "Help", "Opens the help manual"},
        {FileList, "List of files to be repaired", "Each file with its output folder, status and outcome"},
        {btnRepairFiles, "Start Batch Repair", "Repairs every file of the list, or stops the batch that runs"},
        {btnAddFiles, "Add Files", "Adds files to the list; files can also be dropped on the window"},
        {btnRemoveFiles, "Remove Files", "Removes the chosen file from the list"},
        {btnRemoveAll, "Remove All", "Empties the list"},
        {RecoveredList, "Recovered files", "The files the last repair wrote, grouped by source file"},
        {chkDamagedOnly, "Damaged only", "Shows only the recovered files that were not read whole"},
        {btnOpenFolder, "Open Directory", "Opens the folder of the chosen recovered file"},
        {labNothing, "Nothing recovered", "What to try when nothing came back"},
        {chkOpenFixed, "Open the output folder when finished", "Opens the folder of the recovered files after a repair"},
        {txtHeight, "Height in pixels", "The picture's height, used when its header is lost"},
        {txtWidth, "Width in pixels", "The picture's width, used when its header is lost"},
        {txtChannelCount, "Number of channels", "The picture's channels, used when its header is lost"},
        {cmbDepth, "Bits per channel", "The picture's depth, used when its header is lost"},
        {cmbMode, "Color mode", "The picture's colour mode, used when its header is lost"},
        {chkHeuristicRecovery, "Recover image properties heuristically",
         "Finds the picture's properties from what survives when its header is lost"},
        {chkRebuildDocument, "Rebuild a layered document", "Writes one layered document with every recovered layer"},
        {txtTempDir, "Directory for temporary files", "Where temporary files go"},
        {btnMoreDir, "Choose the directory for temporary files", "Opens a dialog to choose the directory"},
        {txtBufSize, "Internal processing buffer size in bytes", "The size of the internal processing buffer"},
        {labHomepage, "Homepage", "Opens the home page in the browser"},
        {labEmail, "Support e-mail", "Writes a mail to the support address"},
        {Gauge, "Repair progress", "How much of the damaged file the repair has scanned, in percent"},
        {Animate, "Repair activity", "Moves while a repair runs"},
    };
    for (const auto &t : texts) {
        t.widget->setAccessibleName(T(t.name));
        t.widget->setAccessibleDescription(T(t.description));
    }
}

void TMainForm::AnchorControls()
{
    const std::pair<QWidget *, int> anchors[] = {
        {Panel1, kGrowWidth},
        {pcMain, kGrowWidth | kGrowHeight},
        {Panel2, kGrowWidth | kFollowBottom},
        {Gauge, kGrowWidth},
        {txtSrcFile, kGrowWidth},
        {txtDstFile, kGrowWidth},
        {btnSrcMore, kFollowRight},
        {btnDstMore, kFollowRight},
        {txtRepairLog, kGrowWidth | kGrowHeight},
        {btnRepair, kFollowRight},
        {btnSaveLog, kFollowRight | kFollowBottom},
        {btnHelp, kFollowRight | kFollowBottom},
        {FileList, kGrowWidth | kGrowHeight},
        {btnRepairFiles, kFollowRight},
        {btnAddFiles, kFollowRight | kFollowBottom},
        {btnRemoveFiles, kFollowRight | kFollowBottom},
        {btnRemoveAll, kFollowRight | kFollowBottom},
        {RecoveredList, kGrowWidth | kGrowHeight},
        {labNothing, kGrowWidth | kGrowHeight},
        {chkDamagedOnly, kFollowRight},
        {btnOpenFolder, kFollowRight},
        {chkOpenFixed, kGrowWidth},
        {txtTempDir, kGrowWidth},
        {btnMoreDir, kFollowRight},
        {Animate, kFollowRight},
    };
    FAnchors.clear();
    for (const auto &[widget, edges] : anchors)
        FAnchors.push_back({widget, widget->geometry(), edges});
}

void TMainForm::ApplyAnchors()
{
    const int dx = std::max(0, width() - kMinWidth), dy = std::max(0, height() - kMinHeight);
    for (const TAnchor &a : FAnchors) {
        QRect r = a.base;
        if (a.edges & kFollowRight)
            r.translate(dx, 0);
        if (a.edges & kFollowBottom)
            r.translate(0, dy);
        if (a.edges & kGrowWidth)
            r.setWidth(r.width() + dx);
        if (a.edges & kGrowHeight)
            r.setHeight(r.height() + dy);
        if (a.widget == Animate)
            r.moveTop(Animate->y()); // its top belongs to the page shown
        a.widget->setGeometry(r);
    }
    // The batch list's path columns share the width it gains; the outcome
    // column takes the rest.
    const int room = FileList->width() - 6 - 80;
    FileList->setColumnWidth(0, room * 36 / 100);
    FileList->setColumnWidth(1, room * 30 / 100);
    FileList->setColumnWidth(2, 80);
}

void TMainForm::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    ApplyAnchors();
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
    connect(chkDamagedOnly, &QCheckBox::toggled, this, [this](bool on) { FRecovered->SetDamagedOnly(on); });
    connect(FileList, &QTreeWidget::itemSelectionChanged, this, &TMainForm::FileListSelect);
    connect(FileList, &QTreeWidget::itemActivated, this, &TMainForm::FileListActivated);
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &TMainForm::EscapePressed);
    auto *open = new QShortcut(QKeySequence::Open, this);
    connect(open, &QShortcut::activated, this, &TMainForm::OpenShortcut);
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
        // In the window of the smallest size; wider, the boxes grow.
        const auto base = [this](QWidget *w) -> TAnchor & {
            return *std::find_if(FAnchors.begin(), FAnchors.end(), [w](const TAnchor &a) { return a.widget == w; });
        };
        const int left = labSelSrcFile->x() + labSelSrcFile->width() + 10;
        const QRect src = base(txtSrcFile).base, dst = base(txtDstFile).base;
        base(txtSrcFile).base = QRect(left, src.y(), base(btnSrcMore).base.x() - left, src.height());
        base(txtDstFile).base = QRect(left, dst.y(), base(txtSrcFile).base.width(), dst.height());
        ApplyAnchors();
        // 5: About texts
        labCopyright->setText(QString::fromLatin1(strings::kCopyright));
        labHomepage->setText(QString::fromLatin1(strings::kHomepage));
        labEmail->setText(QString::fromLatin1(strings::kEmail));
        // 6, 7: caption and version
        const QString major = FPlatform.FileVersionText(FProgramPath, 0);
        FTitle = QString::fromLatin1(strings::kAppTitle) + " v" + major;
        setWindowTitle(FTitle);
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
        txtSrcFile->PassOnSeveral = true; // several files go to the batch
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
    txtHeight->setValue(FSettings.Rows);
    txtWidth->setValue(FSettings.Columns);
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
    FSettings.Rows = txtHeight->value();
    FSettings.Columns = txtWidth->value();
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
    // A header folds with a click or Enter (TRecoveredFiles); it opens nothing.
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
    const QString dir = FRecovered->FolderOf(item);
    if (dir.isEmpty())
        return;
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
    FProposedDst = src.isEmpty() ? QString() : Q(wenk::DefaultOutputDir(S(src)));
    txtDstFile->setText(FProposedDst);
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
    // Each side up to 300000, as a large document has it.
    o.ImageHeight = static_cast<uint32_t>(txtHeight->value());
    o.ImageWidth = static_cast<uint32_t>(txtWidth->value());
    o.BitsPerChannel = static_cast<uint16_t>(ItemToDepth(cmbDepth->currentIndex()));
    o.ColorMode = static_cast<uint16_t>(ItemToMode(cmbMode->currentIndex()));
    // The window always asks for coarse reports (it pumps on its ticker),
    // the embedded preview, layers salvaged past damaged records and a
    // compressed rebuilt document.
    o.RecoveryFlags = ZELT_REPORT_COARSE | ZELT_RECOVER_PREVIEW | ZELT_RECOVER_SALVAGE | ZELT_COMPRESS_DOCUMENT;
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
        // After Stop the gauge and the title stay where the repair stopped:
        // the engine's closing 100 % is no progress of the work.
        const int percent = *static_cast<const uint8_t *>(data);
        if (percent != FLastPercent) {
            FLastPercent = percent;
            if (FRunning) {
                Gauge->setValue(percent);
                ShowProgressTitle(percent);
            }
        }
        PumpMessages();
        return false;
    }
    case MSG_STATUS: {
        const QString line = QString::fromUtf8(static_cast<const char *>(data));
        AppendLog(line);
        if (line.startsWith(QLatin1String(kPropertiesUnknown)))
            AppendLog(T(strings::kGiveTheSize));
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

QString TMainForm::EndSource(bool success)
{
    // Only the embedded preview back is no repair of the document.
    const TSourceSummary summary = FRecovered->Summary();
    const bool previewOnly = summary.pieces > 0 && summary.pieces == summary.previews;
    const QString status = T(success && !previewOnly ? repairlog::kStatusSuccessful
                             : FRunning              ? repairlog::kStatusFailed
                                                     : repairlog::kStatusAborted);
    FRecovered->EndSource(status);
    return status;
}

void TMainForm::ShowProgressTitle(int percent)
{
    const int done = FBatchCount > 0 ? (FBatchIndex * 100 + percent) / FBatchCount : percent;
    setWindowTitle(T(strings::kTitleProgress).arg(done).arg(FTitle));
}

void TMainForm::RestoreTitle() { setWindowTitle(FTitle); }

void TMainForm::UpdateNothingLabel(const QString &what)
{
    labNothing->setText(T(strings::kNothingRecoveredPage).arg(what));
    labNothing->setVisible(FRecovered->PieceCount() == 0);
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
    labNothing->hide();
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
            f->RestoreTitle();
        }
    };
    try {
        Reset reset{this};
        AppendLog(repairlog::kStart);
        AppendLog(repairlog::kRule);
        const QString src = txtSrcFile->text();
        // The folder the window proposed never takes a second repair's
        // files: when it holds files already, the next free one is used.
        QString heldFiles;
        // A folder the user named keeps its files: the engine gives the new
        // ones other names.
        if (!src.trimmed().isEmpty() && !FProposedDst.isEmpty() && txtDstFile->text() == FProposedDst) {
            const QString first = Q(wenk::DefaultOutputDir(S(src)));
            const QString free = FreeOutputFolder(first, {});
            if (free != first)
                heldFiles = first;
            FProposedDst = free;
            if (free != txtDstFile->text())
                txtDstFile->setText(free);
        }
        const QString dst = txtDstFile->text();
        const QStringList created = MissingDirectories(dst);
        if (!FPlatform.CreateDirectories(dst)) {
            FPlatform.ShowMessage(this, Q(repairlog::CannotCreateDirectory(S(dst))), QString::fromLatin1(strings::kError),
                                  MessageIcon::Error);
            AppendLog(repairlog::kAborted);
            return;
        }
        const QString sep = QLocale().groupSeparator();
        AppendLog(Q(repairlog::FileLine(S(src), FPlatform.FileSize(src), S(sep))));
        AppendLog(Q(repairlog::OutputLine(S(txtDstFile->text()))));
        if (!heldFiles.isEmpty())
            AppendLog(T(strings::kFolderHoldsFiles).arg(heldFiles, dst));
        AppendLog(repairlog::kRule);
        const QDateTime start = FPlatform.Now();
        FRecovered->BeginSource(src, dst);
        success = RunEngine(src, dst);
        const qint64 ms = start.msecsTo(FPlatform.Now());
        // A folder this repair made and left empty goes again.
        RemoveEmptyDirectories(created);
        const TSourceSummary summary = FRecovered->Summary();
        const bool previewOnly = summary.pieces > 0 && summary.pieces == summary.previews;
        EndSource(success);
        AppendLog(repairlog::kRule);
        AppendLog(Q(repairlog::ConsumedTimeLine(ms)));
        AppendLog(repairlog::kRule);
        AppendLog(repairlog::kCompletes);
        AppendLog(repairlog::kRule);
        StopAnimation();
        QString result;
        if (FRunning && previewOnly) {
            result = Q(repairlog::PreviewOnlyText(S(txtSrcFile->text()), S(summary.firstPreview)));
            success = false;
        } else {
            result = Q(repairlog::ResultText(FRunning, success, S(txtSrcFile->text()), S(txtDstFile->text())));
        }
        AppendLog(result);
        UpdateNothingLabel("'" + QFileInfo(src).fileName() + "'");
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

void TMainForm::EscapePressed()
{
    // Esc is the Stop button of the repair that runs, single or batch.
    if (FRunning)
        btnRepairClick();
}

void TMainForm::OpenShortcut()
{
    if (pcMain->currentWidget() == tsBatch) {
        btnAddFilesClick();
        return;
    }
    pcMain->setCurrentWidget(tsRepair);
    btnSrcMoreClick();
}

void TMainForm::dragEnterEvent(QDragEnterEvent *event)
{
    if (!DroppedFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void TMainForm::dragMoveEvent(QDragMoveEvent *event)
{
    if (!DroppedFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void TMainForm::dropEvent(QDropEvent *event)
{
    const QStringList files = DroppedFiles(event->mimeData());
    if (files.isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    const bool onList = pcMain->currentWidget() == tsBatch &&
                        FileList->rect().contains(FileList->mapFrom(this, event->position().toPoint()));
    if (files.size() == 1 && !onList) {
        pcMain->setCurrentWidget(tsRepair);
        txtSrcFileDropFile(files.first());
        return;
    }
    pcMain->setCurrentWidget(tsBatch);
    AddFilesToList(files);
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
    AddFilesToList(files);
}

void TMainForm::AddFilesToList(const QStringList &files)
{
    for (const QString &file : files) {
        bool listed = false;
        for (int i = 0; i < FileList->topLevelItemCount() && !listed; ++i)
            listed = QString::compare(FileList->topLevelItem(i)->text(0), file, Qt::CaseInsensitive) == 0 ||
                     QLocale().toLower(FileList->topLevelItem(i)->text(0)) == QLocale().toLower(file);
        if (listed)
            continue;
        auto *item = new QTreeWidgetItem({file, QString(), repairlog::kStatusNotRepaired, QString()});
        item->setToolTip(0, file);
        FileList->addTopLevelItem(item);
    }
}

void TMainForm::FileListSelect()
{
    // The chosen file's group comes into view on the Recovered Files page.
    const QList<QTreeWidgetItem *> selected = FileList->selectedItems();
    if (!selected.isEmpty())
        FRecovered->ShowSource(selected.first()->text(0));
}

void TMainForm::FileListActivated(QTreeWidgetItem *item)
{
    if (!item || !FRecovered->HeaderOf(item->text(0)))
        return;
    pcMain->setCurrentWidget(tsFiles);
    FRecovered->ShowSource(item->text(0));
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
    labNothing->hide();
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
            f->FBatchCount = 0;
            f->RestoreTitle();
        }
    };
    try {
        Reset reset{this};
        int repaired = 0;
        const int count = FileList->topLevelItemCount();
        QStringList sources;
        for (int i = 0; i < count; ++i)
            sources << FileList->topLevelItem(i)->text(0);
        // Two files never share a folder (photo.psd and photo.pdd would
        // write the same names into it), and no folder that holds files
        // already takes a file's pieces: the next free one does.
        QSet<QString> folders;
        FBatchCount = count;
        for (int i = 0; i < count && i < FileList->topLevelItemCount(); ++i) {
            if (!FRunning)
                break;
            FBatchIndex = i;
            QTreeWidgetItem *item = FileList->topLevelItem(i);
            const QString path = item->text(0);
            const QString first = Q(wenk::DefaultOutputDir(S(path)));
            const QString dir = FreeOutputFolder(first, folders);
            folders.insert(dir);
            item->setText(1, dir);
            item->setToolTip(1, dir);
            if (dir != first && FolderHoldsFiles(first))
                AppendLog(T(strings::kFolderHoldsFiles).arg(first, dir));
            bool success = false;
            // No output of this file may be written over another file of the
            // batch, repaired already or still to come.
            QStringList others = sources;
            others.removeAt(i);
            const QStringList created = MissingDirectories(dir);
            FRecovered->BeginSource(path, dir);
            if (FPlatform.CreateDirectories(dir))
                success = RunEngine(path, dir, others);
            RemoveEmptyDirectories(created);
            const QString status = EndSource(success);
            item = FileList->topLevelItem(i);
            if (!item)
                break;
            item->setText(2, status);
            item->setText(3, OutcomeText(FRecovered->Summary()));
            item->setToolTip(3, item->text(3));
            if (status == T(repairlog::kStatusSuccessful))
                ++repaired;
        }
        FBatchCount = 0;
        RestoreTitle();
        UpdateNothingLabel(T(strings::kTheseFiles));
        if (!FCloseRequested) {
            const QString summary = Q(repairlog::BatchSummary(repaired));
            // A batch that ends while the user works elsewhere says so on the
            // desktop too.
            if (!isActiveWindow())
                FPlatform.Notify(this, FTitle, summary);
            FPlatform.ShowMessage(this, summary, QString::fromLatin1(strings::kInformation), MessageIcon::Information);
        }
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
    list << labImageSize->text() + " " + QString::number(txtHeight->value()) + "x" + QString::number(txtWidth->value());
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
    // Proposed: <stem>.log in the output folder (the source's folder when
    // the output folder is not there).
    QString file;
    const QString src = txtSrcFile->text().trimmed();
    if (!src.isEmpty()) {
        QString folder = txtDstFile->text().trimmed();
        if (folder.isEmpty() || !QFileInfo(folder).isDir())
            folder = QFileInfo(src).absolutePath();
        if (!folder.endsWith('/'))
            folder += '/';
        file = folder + QFileInfo(src).completeBaseName() + ".log";
    }
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
