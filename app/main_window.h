#pragma once

#include "app/archive_handover.h"
#include "app/core/message_table.h"
#include "app/core/report_decoding.h"
#include "app/core/report_list.h"
#include "app/core/upload_action.h"
#include "app/dialogs.h"
#include "link/port_manager.h"

#include <QString>
#include <QStringList>
#include <QWidget>

#include <memory>

class QAction;
class QComboBox;
class QGroupBox;
class QHeaderView;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QMenu;
class QPrinter;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSettings;
class QSplitter;
class QTableView;
class QTableWidget;
class QTimer;
class QTextEdit;
class ReportListModel;
class TProgressForm;

namespace scalebus {
class TVarnIBusComm;
}

// How the window is set up. Empty fields take the program's normal choices.
struct MainWindowOptions {
    // The working folders "Data/", "Dufile/" and "Txtfile/" are made below this folder;
    // empty: the program's own folder.
    QString BaseDir;
    // The language file; empty: the program's path with the extension ".LNG".
    QString LanguageFile;
    // A serial port added to the COM drop-down and selected (e.g. a simulator's /dev/pts/N).
    QString PreselectPort;
    // The serial ports the system reports, added after "COM1".."COM6"; unset: asked from the
    // system when the window is made.
    std::optional<QStringList> SystemPorts;
    // Where the window keeps the operator's choices between runs (an INI file); empty: the
    // user's configuration folder ($XDG_CONFIG_HOME/OrvexFM/orvexfm.ini).
    QString SettingsFile;
    // Dialogs and message boxes; null: the desktop's real dialogs.
    TDialogs* Dialogs = nullptr;
    // Transports of the device links; unset: serial lines and UDP sockets.
    TVarnMPComm::TransportFactory Transports;
};

// The main window: upload selectors, the list of produced reports, the report memo, and the
// file commands. Controls keep the names of the window's design (also as objectName), so the
// other parts of the program and the tests find them by name.
class Tfrm_Main : public QWidget {
    Q_OBJECT
public:
    explicit Tfrm_Main(MainWindowOptions Options = {}, QWidget* Parent = nullptr);
    ~Tfrm_Main() override;

    // --- Controls --------------------------------------------------------------------------
    // Top row
    QLabel* lbl2 = nullptr;
    QComboBox* ComboBox2 = nullptr; // report type 0..4
    QLabel* Label3 = nullptr;
    QComboBox* cb_qrytype = nullptr; // range kind 0..2
    QLabel* lb_from = nullptr;
    QLineEdit* ed_From = nullptr;
    QLabel* lb_to = nullptr;
    QLineEdit* ed_To = nullptr;
    QPushButton* btnUpload = nullptr;
    QPushButton* btnCancel = nullptr;
    QPushButton* btnClose = nullptr;
    QPushButton* Button1 = nullptr; // Save
    QPushButton* Button2 = nullptr; // Open
    // Second row
    QGroupBox* RadioGroup1 = nullptr; // "COM" / "UDP"; see RadioGroupIndex()
    QRadioButton* RadioCom = nullptr;
    QRadioButton* RadioUdp = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* Edit1 = nullptr; // device address for UDP
    QLabel* Label2 = nullptr;
    QComboBox* cb_com = nullptr;
    QPushButton* btn4 = nullptr; // Delete
    QPushButton* btn3 = nullptr; // Print
    QPushButton* btn2 = nullptr; // Burn
    // Working area
    QHeaderView* head = nullptr;
    QTableView* wwfilelist = nullptr;
    QSplitter* sp = nullptr;
    QTextEdit* Memo1 = nullptr;
    QMenu* MemoMenu = nullptr;
    QAction* MenuItem1 = nullptr; // "Save as"
    QMenu* GridMenu = nullptr;
    QAction* N1 = nullptr; // "delete"
    // Status panel
    QWidget* Panel3 = nullptr;
    QLabel* lb_file = nullptr;
    QProgressBar* pgbar = nullptr;
    // What the running upload is doing, in words and figures (the last upload's figures
    // stay until the next one begins).
    QLabel* lblUploadStatus = nullptr;
    QWidget* Panel4 = nullptr;
    QLabel* lbl3 = nullptr;              // hidden
    QComboBox* ComboBox3 = nullptr;      // machine selector, hidden
    QTableWidget* StringGrid1 = nullptr; // print copy of the memo, hidden
    // Hidden test buttons
    QPushButton* Button3 = nullptr; // scale-memory test with the progress dialog
    QPushButton* btn5 = nullptr;    // decode the last opened file as a tax-rate report
    QPushButton* Button6 = nullptr; // fill the memo with numbered lines

    // --- Fields other parts use ------------------------------------------------------------
    QString FDataDir;
    QString FDufileDir;
    QString FTxtfileDir;
    QString FUploadFileName;
    bool FUploading = false;
    // A report could not be decoded (any kind). Cleared when an upload starts, so a failure
    // suppresses "Finish" only for the upload it belongs to.
    bool FDecodeFailed = false;
    int FPrintColumns = 3;
    QString FLastOpenedFile; // the file last chosen in the Open dialog

    MessageTable Messages;
    ReportList dxlist;

    TVarnMPComm& PortManager() { return *FPortManager; }
    // The scale bus link of the scale-memory test, and the progress dialog it shows.
    scalebus::TVarnIBusComm& ScaleBus() { return *FScaleBus; }
    TProgressForm& ProgressForm() { return *m_progressForm; }
    UploadAction& Upload() { return *m_upload; }
    ReportListModel& ListModel() { return *m_listModel; }
    TDialogs& Dialogs() { return *m_dialogs; }
    const QString& LanguageFilePath() const { return m_languageFile; }

    // The archiving window the "Burn" command hands over to; null: the built-in stand-in,
    // which tells the operator which files would be handed over.
    void SetArchiveWindow(TArchiveHandOver* Window) { m_archive = Window; }
    TArchiveHandOver& ArchiveWindow();

    // 0 "COM", 1 "UDP".
    int RadioGroupIndex() const;
    void SetRadioGroupIndex(int Index);

    // The memo's lines (no line for an empty memo).
    QStringList MemoLines() const;
    // Replaces the memo's text by a report file's lines, decoding the device's Windows-1250
    // bytes. False (memo unchanged) when the file cannot be read; Error says why.
    bool LoadMemoFromFile(const QString& Path, QString* Error = nullptr);

    // --- Handlers ---------------------------------------------------------------------------
    void FormShow();
    void LoadLanguage();
    void cb_qrytypeChange();
    static bool DigitKeyFilter(QChar Key);
    void RadioGroup1Click();
    void ComboBox3Change();
    void spMoved();
    void UpdateHeaderWidths();

    void btnUploadClick();
    void btnCancelClick();
    void btnCloseClick();

    void Button1Click();   // Save
    void MenuItem1Click(); // Save as
    void btn1Click();      // Open
    void btn3Click();      // Print
    void PrintReport(int Columns, QPrinter& Printer);
    void btn4Click();    // Delete
    void N1Click();      // delete (grid menu)
    void btn2Click();    // Burn
    void Button3Click(); // scale-memory test
    void btn5Click();
    void Button6Click();

    void DecodeDetailSummary(const QString& HexFile);
    void DecodeChangeReport(const QString& HexFile, ReportKind Kind);
    // The kind chosen in the report-type selector.
    ReportKind SelectedReportKind() const;
    void AddListEntry(const QString& FileName, const QString& ReportTypeCaption);

    // A "." per received packet (the rule of ApplyProgressDot); shown a few times a second.
    void AddProgressDot(ProgressDotKind Kind);
    void FlushProgressDots();

    void wwfilelistDblClick();
    void lb_fileClick();

protected:
    void showEvent(QShowEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    void BuildControls(const QStringList& ComPorts, const QString& PreselectPort);
    void FormCreate();
    void FormClose();
    // Size and place at the first show: the remembered geometry, or the design size where it
    // fits the screen.
    void PlaceOnScreen();
    QMargins FrameMargins() const;
    void PlaceInsideScreen(const QMargins& Frame);
    void LayOutStatusPanel();
    // Every button and drop-down of the top rows as wide as its captions need.
    void FitControlWidths();
    // The status line as wide as its texts need with large figures, in the current language.
    void FitStatusLineWidth();
    // Shows the upload's figures; Final: the upload has ended (nothing came: the line empties).
    void RefreshUploadStatus(bool Final = false);
    // The status line's text; the panel is laid out again when the line comes or goes.
    void SetUploadStatusText(const QString& Text);
    // The operator's choices kept between runs.
    void RestoreSettings();
    void SaveSettings();
    // Writes the list file; a failure is shown to the operator.
    void SaveList();
    // A file dialog that opens in the folder last used by the dialog named Dialog.
    QString AskFileName(const char* Dialog, FileDialogRequest Request, bool Save);
    // The range fields: what a key press does there (true: dropped), and a paste that keeps
    // only the digits.
    bool RangeFieldKey(QLineEdit* Field, const QKeyEvent& Key);
    void PasteDigits(QLineEdit* Field);
    void ShowRangeFieldMenu(QLineEdit* Field, const QPoint& At);
    // Asks before an upload is stopped by closing the window; remembers a yes.
    bool ConfirmCloseDuringUpload();
    void ConnectUpload();
    void ApplyUploadState(UploadState State);
    void dxlistAfterScroll(const QString& FileName);
    void SyncGridToList();
    void AppendMemoLine(const QString& Line);
    void ClearMemo();
    void ShowMessage(const QString& Text, const QString& Caption = {},
                     MessageIcon Icon = MessageIcon::None);
    void ShowDecodeResult(const ReportDecodeResult& Result);
    void ShowDecodeMessage(const DecodeMessage& Message);
    ReportDecodeSettings DecodeSettings() const;
    UploadRequest CurrentRequest() const;
    void SaveMemo(const QString& Path);

    MainWindowOptions m_options;
    QString m_languageFile;
    std::unique_ptr<TDialogs> m_ownDialogs;
    TDialogs* m_dialogs = nullptr;
    TVarnMPComm* FPortManager = nullptr;
    std::unique_ptr<scalebus::TVarnIBusComm> FScaleBus;
    std::unique_ptr<TProgressForm> m_progressForm;
    std::unique_ptr<UploadAction> m_upload;
    ReportListModel* m_listModel = nullptr;
    std::unique_ptr<TPendingBurnList> m_pendingBurn;
    TArchiveHandOver* m_archive = nullptr;
    bool m_syncingGrid = false;
    // Progress dots not yet in the memo: a packet arrives every few milliseconds, and laying
    // out the memo for each dot would cost more than the whole link. They are shown a few
    // times a second, and always before anything else changes the memo.
    QTimer* m_dotTimer = nullptr;
    // Refreshes the status line while an upload runs; stopped when it ends.
    QTimer* m_statusTimer = nullptr;
    int m_statusWidth = 0;
    int m_pendingDots = 0;
    bool m_pendingClear = false;
    int m_memoLength = 0; // the memo's text length with the pending dots applied
    int m_comboPadding = 0;
    bool m_placed = false;
    bool m_settingsRestored = false;
    bool m_closeConfirmed = false;
    std::unique_ptr<QSettings> m_settings;
};
