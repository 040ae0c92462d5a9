// TMainForm: the window with its Repair, Batch Repair, Options, Advanced
// Options and About pages, and every repair flow of the front end.
//
// The up-down spinners of the pages and their edit boxes are one QSpinBox
// each, named after the edit box: txtHeight (udHeight), txtWidth (udWidth),
// txtChannelCount (udChannelCount), txtBufSize (udBufSize).
#pragma once

#include <QStringList>
#include <QWidget>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "Platform.h"
#include "Setting.h"
#include "ZeltApi.h"
#include "ui_MainFrm.h"

class QMovie;
class QListWidgetItem;
class QTreeWidgetItem;
class TRecoveredFiles;

/// While the engine runs, raises a flag every interval: the engine callback
/// pumps the message queue when the percentage changes or the flag is up,
/// so it reads no clock and stores nothing for the other reports.
class PumpTicker {
public:
    explicit PumpTicker(std::chrono::milliseconds interval) : m_interval(interval) {}
    ~PumpTicker() { Stop(); }
    void Start();
    void Stop();
    std::atomic<bool> due{false};

private:
    std::chrono::milliseconds m_interval;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
};

class TMainForm : public QWidget, private Ui::TMainForm {
    Q_OBJECT
public:
    /// arguments: the command line without the program name. recover is the
    /// engine's entry point (a test engine in tests).
    TMainForm(IPlatformServices &platform, RecoverFileFn recover, QStringList arguments,
              QString programPath, QWidget *parent = nullptr);
    /// FormDestroy: the controls go back into the settings, which are saved.
    ~TMainForm() override;

    /// The creation steps, the command line among them. With a file on the
    /// command line the whole repair runs inside.
    void FormCreate();
    /// True when switch E asked the program to end after its repair.
    bool TerminateRequested() const { return FTerminate; }

    /// The answer to one engine callback: true asks the engine to stop.
    bool HandleEngineMessage(int32_t code, const void *data);
    void FillRepairOptions(RepairOptions &options) const;

    bool Running() const { return FRunning; }
    bool EngineBusy() const { return FEngineBusy; }
    /// The log window's text, lines joined by CR LF.
    QString LogText() const;
    const TRepairSettings &Settings() const { return FSettings; }
    TRecoveredFiles &RecoveredFiles() { return *FRecovered; }

    /// The system-information and setting-information blocks (saved log).
    QStringList SettingInformation() const;

    // Handlers, public so that a test can run a flow the way a click does.
public slots:
    void btnRepairClick();
    void btnRepairFilesClick();
    void btnSaveLogClick();

private slots:
    void txtSrcFileChange();
    void txtDstFileChange();
    void btnSrcMoreClick();
    void btnDstMoreClick();
    void btnAddFilesClick();
    void btnRemoveFilesClick();
    void btnRemoveAllClick();
    void btnHelpClick();
    void btnMoreDirClick();
    void pcMainChange(int index);
    void labHomepageClick();
    void labEmailClick();
    void RecoveredListActivated(QListWidgetItem *item);
    void btnOpenFolderClick();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    /// The pages grow with the window; its first size is the smallest.
    void resizeEvent(QResizeEvent *event) override;
    /// Files dropped anywhere on the window: one goes to the Repair page,
    /// several (or any on the batch list) to the Batch Repair page.
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void FormDestroy();
    void ConnectHandlers();
    void SettingsToControls();
    void ControlsToSettings();
    void AppendLog(const QString &line);
    void SetRepairIdle(bool idle, QPushButton *button);
    void StartAnimation();
    void StopAnimation();
    /// One engine call; otherSources are protected from its outputs.
    bool RunEngine(const QString &source, const QString &outputDir, const QStringList &otherSources = {});
    /// Handles the waiting events and lowers the ticker's flag.
    void PumpMessages();
    void txtPathReturnPressed();
    void ReportException(const QString &text);
    void UpdateRepairButton();
    void txtSrcFileDropFile(const QString &file);
    void FileListKeyDown(QKeyEvent *event);
    void FileListSelect();
    void FileListActivated(QTreeWidgetItem *item);
    /// Appends the files the list does not hold yet (letter case ignored).
    void AddFilesToList(const QStringList &files);
    void EscapePressed();
    void OpenShortcut();
    void SetAccessibleTexts();
    /// The controls that follow the window's right and bottom edges.
    void AnchorControls();
    void ApplyAnchors();
    /// The percentage of the work done in the window's title while it runs.
    void ShowProgressTitle(int percent);
    void RestoreTitle();
    /// After a run that gave nothing back, the empty page says what to try.
    void UpdateNothingLabel(const QString &what);
    /// The status of a source after its engine call, and its outcome on the
    /// Recovered Files page.
    QString EndSource(bool success);

    IPlatformServices &FPlatform;
    RecoverFileFn FRecover;
    QStringList FArguments;
    QString FProgramPath;
    QString FHelpFile;
    TRepairSettings FSettings;
    bool FRunning = false;      ///< a repair is under way and has not been asked to stop
    bool FEngineBusy = false;   ///< inside the engine call (also while stopping)
    bool FCreated = false;      ///< FormCreate read the settings
    bool FTerminate = false;
    bool FCloseRequested = false;
    bool FIncludeSysInfo = true; ///< the save-log dialog's box, kept within a run
    bool FDstFollowsSrc = true;  ///< the output box holds what the program proposed for the source
    QString FProposedDst;        ///< the output folder the window proposed last (a default one)
    int FLastPercent = -1;
    int FBatchIndex = 0, FBatchCount = 0; ///< the file under repair and the files of a running batch
    QString FTitle;                        ///< the window's caption when it is not working
    struct TAnchor {
        QWidget *widget;
        QRect base;  ///< its place in the window of the smallest size
        int edges;   ///< kGrowWidth, kGrowHeight, kFollowRight, kFollowBottom
    };
    std::vector<TAnchor> FAnchors;
    PumpTicker FPumpTicker{std::chrono::milliseconds(25)};
    std::unique_ptr<QMovie> FMovie;
    std::unique_ptr<TRecoveredFiles> FRecovered; ///< the Recovered Files page's grid and its thumbnail worker
    TMainForm *FSelf = this; ///< the variable the engine's user data points to

    friend int32_t ZELT_CALL orvaneEngineCallback(int32_t, const void *, void *);
};

/// The engine callback of the window: the user data points to a variable
/// holding the window. Answers -1 (all bits set) for stop, else 0. The two
/// reports that come for every byte position are answered here with a few
/// instructions; everything else goes to HandleEngineMessage.
int32_t ZELT_CALL orvaneEngineCallback(int32_t code, const void *data, void *userData);

/// A path cut to width for a narrow column: the middle of its folders goes
/// first (into "..."), the file name last.
QString ElidePath(const QString &path, const QFontMetrics &metrics, int width);

/// The depth and mode lists' items for stored numbers, -1 without an item.
int DepthToItem(int32_t depth);
int ModeToItem(int32_t mode);
int32_t ItemToDepth(int item);
int32_t ItemToMode(int item);
