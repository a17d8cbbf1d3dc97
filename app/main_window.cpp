#include "app/main_window.h"

#include "app/com_ports.h"
#include "app/core/language_file.h"
#include "app/core/report_list_model.h"
#include "app/core/work_folders.h"
#include "app/progress/progress_form.h"
#include "link/default_transports.h"
#include "link/fm_request.h"
#include "scalebus/varn_ibus.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTableView>
#include <QTableWidget>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int kClientWidth = 875;
constexpr int kClientHeight = 795;
constexpr int kTopPanelHeight = 82;
constexpr int kHeaderHeight = 17;
constexpr int kStatusHeight = 24;
constexpr int kListWidth = 337;
constexpr int kSplitterWidth = 6;
constexpr int kZDigits = kZNumberDigits;
constexpr int kDotRefreshMs = 100;
// A private address of the device on the shop's network; the operator types the real one.
constexpr char kDefaultDeviceAddress[] = "192.168.1.100";

template <typename T> T* Named(T* Widget, const char* Name) {
    Widget->setObjectName(QLatin1String(Name));
    return Widget;
}

QString ProgramDir() {
    const QString dir = QCoreApplication::applicationDirPath();
    return dir.isEmpty() ? QStringLiteral(".") : dir;
}

QString ProgramPath() {
    const QString path = QCoreApplication::applicationFilePath();
    return path.isEmpty() ? QStringLiteral("./orvexfm") : path;
}

} // namespace

Tfrm_Main::Tfrm_Main(MainWindowOptions Options, QWidget* Parent)
    : QWidget(Parent), m_options(std::move(Options)) {
    setObjectName(QStringLiteral("frm_Main"));
    if (m_options.Dialogs) {
        m_dialogs = m_options.Dialogs;
    } else {
        m_ownDialogs = std::make_unique<QtDialogs>();
        m_dialogs = m_ownDialogs.get();
    }
    m_pendingBurn = std::make_unique<TPendingBurnList>(*m_dialogs);
    m_languageFile = m_options.LanguageFile.isEmpty() ? ::LanguageFilePath(ProgramPath())
                                                      : m_options.LanguageFile;
    const QStringList system = m_options.SystemPorts ? *m_options.SystemPorts : SystemSerialPorts();
    BuildControls(ComPortChoices(system, m_options.PreselectPort), m_options.PreselectPort);
    FormCreate();
}

Tfrm_Main::~Tfrm_Main() {
    // FormDestroy: the tick driver stops before the links go.
    if (m_upload)
        m_upload->Cancel(false);
    if (FPortManager)
        FPortManager->StopWorker();
    m_upload.reset();
    delete FPortManager;
    FPortManager = nullptr;
    // The dialog keeps a pointer to the scale link for Cancel: it goes first.
    m_progressForm.reset();
    FScaleBus.reset();
}

// ---------------------------------------------------------------------------------------
// Controls

void Tfrm_Main::BuildControls(const QStringList& ComPorts, const QString& PreselectPort) {
    setWindowTitle(QStringLiteral("OrvexFM"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(kClientWidth, kClientHeight);
    QFont windowFont = font();
    windowFont.setStyleHint(QFont::SansSerif);
    windowFont.setPointSize(8);
    setFont(windowFont);

    auto* top = Named(new QWidget(this), "Panel1");
    top->setFixedHeight(kTopPanelHeight);

    // Top row
    const int row1 = 8, row1H = 24;
    lbl2 = Named(new QLabel(QStringLiteral("ReportType"), top), "lbl2");
    lbl2->setGeometry(6, row1, 64, row1H);
    ComboBox2 = Named(new QComboBox(top), "ComboBox2");
    ComboBox2->addItems({QStringLiteral("Detail"), QStringLiteral("Summary"),
                         QStringLiteral("Change the tax rate"),
                         QStringLiteral("Change the currency"), QStringLiteral("RAM Clearing")});
    ComboBox2->setGeometry(70, row1, 140, row1H);
    Label3 = Named(new QLabel(QStringLiteral("Query Type"), top), "Label3");
    Label3->setGeometry(216, row1, 64, row1H);
    cb_qrytype = Named(new QComboBox(top), "cb_qrytype");
    cb_qrytype->addItems({QStringLiteral("by Z count"), QStringLiteral("by Date(yymmdd)"),
                          QStringLiteral("whole FM")});
    cb_qrytype->setGeometry(280, row1, 120, row1H);
    lb_from = Named(new QLabel(QStringLiteral("From"), top), "lb_from");
    lb_from->setGeometry(406, row1, 32, row1H);
    ed_From = Named(new QLineEdit(top), "ed_From");
    ed_From->setMaxLength(kZDigits);
    ed_From->setGeometry(438, row1, 52, row1H);
    lb_to = Named(new QLabel(QStringLiteral("To"), top), "lb_to");
    lb_to->setGeometry(496, row1, 20, row1H);
    ed_To = Named(new QLineEdit(top), "ed_To");
    ed_To->setMaxLength(kZDigits);
    ed_To->setGeometry(516, row1, 52, row1H);
    btnUpload = Named(new QPushButton(QStringLiteral("Upload data"), top), "btnUpload");
    btnUpload->setGeometry(576, row1 - 1, 86, row1H + 2);
    btnCancel = Named(new QPushButton(QStringLiteral("Cancel"), top), "btnCancel");
    btnCancel->setGeometry(btnUpload->geometry());
    btnCancel->hide();
    btnClose = Named(new QPushButton(QStringLiteral("Close"), top), "btnClose");
    btnClose->setGeometry(666, row1 - 1, 64, row1H + 2);
    Button1 = Named(new QPushButton(QStringLiteral("Save"), top), "Button1");
    Button1->setGeometry(734, row1 - 1, 64, row1H + 2);
    Button2 = Named(new QPushButton(QStringLiteral("Open"), top), "Button2");
    Button2->setGeometry(802, row1 - 1, 64, row1H + 2);

    // Second row
    const int row2 = 44, row2H = 30;
    RadioGroup1 = Named(new QGroupBox(top), "RadioGroup1");
    RadioGroup1->setGeometry(6, row2 - 4, 150, row2H + 4);
    auto* radios = new QHBoxLayout(RadioGroup1);
    radios->setContentsMargins(8, 2, 8, 2);
    RadioCom = Named(new QRadioButton(QStringLiteral("COM"), RadioGroup1), "RadioGroup1_COM");
    RadioUdp = Named(new QRadioButton(QStringLiteral("UDP"), RadioGroup1), "RadioGroup1_UDP");
    radios->addWidget(RadioCom);
    radios->addWidget(RadioUdp);
    RadioCom->setChecked(true);
    RadioGroup1->setEnabled(false);
    Label1 = Named(new QLabel(QStringLiteral("IP Address"), top), "Label1");
    Label1->setGeometry(166, row2, 64, row1H);
    Edit1 = Named(new QLineEdit(QLatin1String(kDefaultDeviceAddress), top), "Edit1");
    Edit1->setGeometry(230, row2, 120, row1H);
    Label2 = Named(new QLabel(QStringLiteral("COM:"), top), "Label2");
    Label2->setGeometry(360, row2, 40, row1H);
    cb_com = Named(new QComboBox(top), "cb_com");
    cb_com->addItems(ComPorts);
    cb_com->setGeometry(400, row2, 160, row1H);
    if (!PreselectPort.isEmpty())
        cb_com->setCurrentIndex(std::max(0, ComPortIndex(ComPorts, PreselectPort)));
    btn4 = Named(new QPushButton(QStringLiteral("Delete"), top), "btn4");
    btn4->setGeometry(620, row2 - 1, 76, row1H + 2);
    btn3 = Named(new QPushButton(QStringLiteral("Print"), top), "btn3");
    btn3->setGeometry(704, row2 - 1, 76, row1H + 2);
    btn2 = Named(new QPushButton(QStringLiteral("Burn"), top), "btn2");
    btn2->setGeometry(788, row2 - 1, 76, row1H + 2);

    // Header strip over list and memo
    head = Named(new QHeaderView(Qt::Horizontal, this), "head");
    auto* headModel = new QStandardItemModel(0, 2, head);
    headModel->setHorizontalHeaderLabels({QStringLiteral("File list"), QStringLiteral("Content")});
    head->setModel(headModel);
    head->setFixedHeight(kHeaderHeight);
    head->setSectionResizeMode(QHeaderView::Fixed);
    head->setStretchLastSection(false);
    head->resizeSection(0, 250);
    head->resizeSection(1, 700);

    // Working area
    sp = Named(new QSplitter(Qt::Horizontal, this), "sp");
    sp->setHandleWidth(kSplitterWidth);
    sp->setChildrenCollapsible(false);
    wwfilelist = Named(new QTableView(sp), "wwfilelist");
    m_listModel = new ReportListModel(dxlist, this);
    wwfilelist->setModel(m_listModel);
    wwfilelist->setSelectionBehavior(QAbstractItemView::SelectRows);
    wwfilelist->setSelectionMode(QAbstractItemView::ExtendedSelection);
    wwfilelist->setEditTriggers(QAbstractItemView::NoEditTriggers);
    wwfilelist->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    wwfilelist->verticalHeader()->setVisible(false);
    wwfilelist->horizontalHeader()->setDefaultAlignment(Qt::AlignCenter);
    wwfilelist->setColumnWidth(ReportListModel::FilenameColumn, 230);
    wwfilelist->setColumnWidth(ReportListModel::DateColumn, 90);
    wwfilelist->setContextMenuPolicy(Qt::CustomContextMenu);
    GridMenu = Named(new QMenu(this), "PopupMenu2");
    N1 = GridMenu->addAction(QStringLiteral("delete"));
    N1->setObjectName(QStringLiteral("N1"));

    Memo1 = Named(new QTextEdit(sp), "Memo1");
    Memo1->setReadOnly(true);
    Memo1->setAcceptRichText(false);
    Memo1->setLineWrapMode(QTextEdit::NoWrap);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont memoFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    memoFont.setPointSize(12);
    Memo1->setFont(memoFont);
    QTextOption centred = Memo1->document()->defaultTextOption();
    centred.setAlignment(Qt::AlignHCenter);
    Memo1->document()->setDefaultTextOption(centred);
    Memo1->setContextMenuPolicy(Qt::CustomContextMenu);
    MemoMenu = Named(new QMenu(this), "PopupMenu1");
    MenuItem1 = MemoMenu->addAction(QStringLiteral("Save as"));
    MenuItem1->setObjectName(QStringLiteral("MenuItem1"));
    sp->addWidget(wwfilelist);
    sp->addWidget(Memo1);
    sp->setSizes({kListWidth, kClientWidth - kListWidth - kSplitterWidth});
    sp->setStretchFactor(1, 1);

    // Status panel
    Panel3 = Named(new QWidget(this), "Panel3");
    Panel3->setFixedHeight(kStatusHeight);
    const int panel4Width = 200;
    lb_file = Named(new QLabel(Panel3), "lb_file");
    lb_file->setGeometry(4, 0, kClientWidth - panel4Width - 8, kStatusHeight);
    lb_file->installEventFilter(this);
    pgbar = Named(new QProgressBar(Panel3), "pgbar");
    pgbar->setGeometry(0, 0, kClientWidth - panel4Width, kStatusHeight);
    pgbar->setTextVisible(false);
    pgbar->setRange(0, 10);
    pgbar->setValue(0);
    pgbar->hide();
    Panel4 = Named(new QWidget(Panel3), "Panel4");
    Panel4->setGeometry(kClientWidth - panel4Width, 0, panel4Width, kStatusHeight);
    lbl3 = Named(new QLabel(QStringLiteral("Machine:"), Panel4), "lbl3");
    lbl3->setGeometry(4, 2, 56, 20);
    lbl3->hide();
    ComboBox3 = Named(new QComboBox(Panel4), "ComboBox3");
    ComboBox3->addItems(
        {QStringLiteral("ORVEX Lumo"), QStringLiteral("ORVEX Pelta"), QStringLiteral("ZT9/ZT7")});
    ComboBox3->setCurrentIndex(1);
    ComboBox3->setGeometry(60, 1, 130, 22);
    ComboBox3->hide();

    m_dotTimer = new QTimer(this);
    m_dotTimer->setSingleShot(true);
    m_dotTimer->setInterval(kDotRefreshMs);
    connect(m_dotTimer, &QTimer::timeout, this, [this] { FlushProgressDots(); });

    StringGrid1 = Named(new QTableWidget(0, 1, this), "StringGrid1");
    StringGrid1->hide();
    Button3 = Named(new QPushButton(this), "Button3");
    Button3->hide();
    btn5 = Named(new QPushButton(this), "btn5");
    btn5->hide();
    Button6 = Named(new QPushButton(this), "Button6");
    Button6->hide();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(top);
    layout->addWidget(head);
    layout->addWidget(sp, 1);
    layout->addWidget(Panel3);

    // Handlers
    connect(cb_qrytype, &QComboBox::currentIndexChanged, this, [this] { cb_qrytypeChange(); });
    connect(ComboBox2, &QComboBox::currentIndexChanged, this, [this] { cb_qrytypeChange(); });
    connect(cb_com, &QComboBox::currentIndexChanged, this, [this] { cb_qrytypeChange(); });
    ed_From->installEventFilter(this);
    ed_To->installEventFilter(this);
    connect(RadioCom, &QRadioButton::clicked, this, [this] { RadioGroup1Click(); });
    connect(RadioUdp, &QRadioButton::clicked, this, [this] { RadioGroup1Click(); });
    connect(ComboBox3, &QComboBox::activated, this, [this] { ComboBox3Change(); });
    connect(sp, &QSplitter::splitterMoved, this, [this] { spMoved(); });
    connect(btnUpload, &QPushButton::clicked, this, [this] { btnUploadClick(); });
    connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancelClick(); });
    connect(btnClose, &QPushButton::clicked, this, [this] { btnCloseClick(); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, [this] { btn1Click(); });
    connect(MenuItem1, &QAction::triggered, this, [this] { MenuItem1Click(); });
    connect(btn4, &QPushButton::clicked, this, [this] { btn4Click(); });
    connect(N1, &QAction::triggered, this, [this] { N1Click(); });
    connect(btn3, &QPushButton::clicked, this, [this] { btn3Click(); });
    connect(btn2, &QPushButton::clicked, this, [this] { btn2Click(); });
    connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
    connect(btn5, &QPushButton::clicked, this, [this] { btn5Click(); });
    connect(Button6, &QPushButton::clicked, this, [this] { Button6Click(); });
    connect(wwfilelist, &QTableView::doubleClicked, this, [this] { wwfilelistDblClick(); });
    connect(wwfilelist, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& At) { GridMenu->popup(wwfilelist->viewport()->mapToGlobal(At)); });
    connect(Memo1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& At) { MemoMenu->popup(Memo1->viewport()->mapToGlobal(At)); });
    connect(wwfilelist->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& Current) {
                if (m_syncingGrid || !Current.isValid())
                    return;
                m_listModel->SetCurrent(Current.row());
            });
}

int Tfrm_Main::RadioGroupIndex() const {
    return RadioUdp->isChecked() ? 1 : 0;
}

void Tfrm_Main::SetRadioGroupIndex(int Index) {
    (Index == 1 ? RadioUdp : RadioCom)->setChecked(true);
}

TArchiveHandOver& Tfrm_Main::ArchiveWindow() {
    if (m_archive)
        return *m_archive;
    return *m_pendingBurn;
}

// ---------------------------------------------------------------------------------------
// Start-up, show, close

void Tfrm_Main::FormCreate() {
    const WorkFolders folders =
        WorkFoldersBelow(m_options.BaseDir.isEmpty() ? ProgramDir() : m_options.BaseDir);
    FDataDir = folders.DataDir;
    FDufileDir = folders.DufileDir;
    FTxtfileDir = folders.TxtfileDir;
    const QStringList problems = CreateWorkFolders(folders);
    if (!problems.isEmpty()) {
        // The program still starts: the list and old reports may be readable, and the
        // operator learns which folder to fix before an upload needs it.
        ShowMessage(problems.join(QLatin1Char('\n')), QStringLiteral("OrvexFM"),
                    MessageIcon::Warning);
    }

    FDecodeFailed = false;
    ClearMemo();
    FPrintColumns = ComboBox3->currentIndex() == 0 ? 4 : 3;
    lb_file->clear();

    dxlist.OnCurrentChanged = [this](const QString& FileName) { dxlistAfterScroll(FileName); };
    m_syncingGrid = true;
    const ReportListLoadResult loaded = m_listModel->Load(folders.ReportListPath());
    m_syncingGrid = false;
    if (loaded.State == ReportListLoadState::Unreadable)
        ShowMessage(loaded.Error, QStringLiteral("OrvexFM"), MessageIcon::Warning);
    SyncGridToList();

    FScaleBus = std::make_unique<scalebus::TVarnIBusComm>();
    FScaleBus->OnError = [this](const QString& Text) {
        ShowMessage(Text, QStringLiteral("OrvexFM"), MessageIcon::Critical);
    };
    // Not a child: the dialog stays usable while it disables the window.
    m_progressForm = std::make_unique<TProgressForm>();
    m_progressForm->setObjectName(QStringLiteral("ProgressForm"));
    m_progressForm->SetMainWindow(this);

    FPortManager =
        new TVarnMPComm(m_options.Transports ? m_options.Transports : DefaultTransportFactory());
    m_upload = std::make_unique<UploadAction>(*FPortManager, folders, Messages);
    ConnectUpload();
    FPortManager->StartWorker();
}

void Tfrm_Main::showEvent(QShowEvent* Event) {
    QWidget::showEvent(Event);
    if (!m_centred && !Event->spontaneous()) {
        // Centred on the desktop the first time it is shown.
        m_centred = true;
        if (const QScreen* desk = screen())
            move(desk->availableGeometry().center() - frameGeometry().center() + pos());
    }
    if (!Event->spontaneous())
        FormShow();
}

void Tfrm_Main::FormShow() {
    LoadLanguage();
    {
        const QSignalBlocker quiet(ComboBox3);
        ComboBox3->setCurrentIndex(1);
    }
    SetRadioGroupIndex(0);
    Edit1->setEnabled(RadioGroupIndex() == 1);
    cb_com->setEnabled(RadioGroupIndex() == 0);
    UpdateHeaderWidths();
}

void Tfrm_Main::LoadLanguage() {
    const LanguageFile file = ReadLanguageFile(m_languageFile);
    if (file.IsLoaded()) {
        const auto caption = [&](const char* Key, const char* Default) {
            return file.Text(QLatin1String(Key), QLatin1String(Default));
        };
        // In the order the texts are read; "Save" is renamed between s292 and s5.
        lbl2->setText(caption("s1", "ReportType"));
        ComboBox2->setItemText(0, caption("s2", "Detail"));
        ComboBox2->setItemText(1, caption("s3", "Summary"));
        ComboBox2->setItemText(2, caption("s28", "Change the tax rate"));
        ComboBox2->setItemText(3, caption("s29", "Change the currency"));
        ComboBox2->setItemText(4, caption("s291", "RAM Clearing"));
        Label3->setText(caption("s4", "Query Type"));
        Button2->setText(caption("s292", "Open"));
        Button1->setText(QLatin1String(kSaveCaptionWithLanguageFile));
        cb_qrytype->setItemText(0, caption("s5", "by Z count"));
        cb_qrytype->setItemText(1, caption("s6", "by Date(yymmdd)"));
        cb_qrytype->setItemText(2, caption("s61", "whole FM"));
        lb_from->setText(caption("s7", "From"));
        lb_to->setText(caption("s8", "To"));
        btnUpload->setText(caption("s9", "Upload data"));
        btnClose->setText(caption("s10", "Close"));
        lbl3->setText(caption("s11", "Machine:"));
        setWindowTitle(caption("s15", "OrvexFM"));
        auto* headModel = static_cast<QStandardItemModel*>(head->model());
        headModel->setHorizontalHeaderLabels(
            {caption("s16", "File list"), caption("s17", "Content")});
        btn4->setText(caption("s18", "Delete"));
        btn3->setText(caption("s19", "Print"));
        btn2->setText(caption("s20", "Burn"));
        m_pendingBurn->Caption = btn2->text();
        btnCancel->setText(caption("s21", "Cancel"));
        Label1->setText(caption("s27", "IP Address"));
        ApplyLanguage(file, Messages);
    }
    ComboBox2->setCurrentIndex(0);
    cb_qrytype->setCurrentIndex(0);
}

void Tfrm_Main::closeEvent(QCloseEvent* Event) {
    // Closing during an upload ends its wait first, so nothing is decoded afterwards.
    if (m_upload && m_upload->Running())
        m_upload->Cancel(false);
    FormClose();
    Event->accept();
}

void Tfrm_Main::FormClose() {
    const ReportListSaveResult saved = dxlist.Save(FDataDir + QLatin1String(kReportListFileName));
    if (!saved.Ok)
        ShowMessage(saved.Error, QStringLiteral("OrvexFM"), MessageIcon::Warning);
}

void Tfrm_Main::resizeEvent(QResizeEvent* Event) {
    QWidget::resizeEvent(Event);
    UpdateHeaderWidths();
}

void Tfrm_Main::UpdateHeaderWidths() {
    const int first = wwfilelist->width();
    head->resizeSection(0, first);
    head->resizeSection(1, std::max(0, frameGeometry().width() - first));
}

void Tfrm_Main::spMoved() {
    UpdateHeaderWidths();
}

// ---------------------------------------------------------------------------------------
// Selectors

void Tfrm_Main::cb_qrytypeChange() {
    const int kind = cb_qrytype->currentIndex();
    const bool ranged = kind == 0 || kind == 1;
    for (QWidget* w : {static_cast<QWidget*>(ed_From), static_cast<QWidget*>(ed_To),
                       static_cast<QWidget*>(lb_from), static_cast<QWidget*>(lb_to)})
        w->setVisible(ranged);
    if (kind == 0) {
        // Emptied rather than cut: a date cut to four digits would pass as a Z number.
        for (QLineEdit* e : {ed_From, ed_To}) {
            if (e->text().size() > kZDigits)
                e->clear();
            e->setMaxLength(kZDigits);
        }
        ed_From->setFocus();
    } else if (kind == 1) {
        ed_From->setMaxLength(kDateDigits);
        ed_To->setMaxLength(kDateDigits);
        ed_From->setFocus();
    }
}

bool Tfrm_Main::DigitKeyFilter(QChar Key) {
    return (Key >= QLatin1Char('0') && Key <= QLatin1Char('9')) || Key == QChar(8);
}

bool Tfrm_Main::eventFilter(QObject* Watched, QEvent* Event) {
    if ((Watched == ed_From || Watched == ed_To) && Event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(Event);
        // Keys that type a character pass the filter; moving keys (arrows, Tab, Delete)
        // type nothing and keep working.
        const bool moving = key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab;
        if (!moving && !key->text().isEmpty() && !DigitKeyFilter(key->text().at(0)))
            return true;
    }
    if (Watched == lb_file) {
        switch (Event->type()) {
        case QEvent::Enter: {
            QPalette p = lb_file->palette();
            p.setColor(QPalette::WindowText, Qt::blue);
            lb_file->setPalette(p);
            lb_file->setCursor(Qt::PointingHandCursor);
            break;
        }
        case QEvent::Leave:
            lb_file->setPalette(palette());
            lb_file->unsetCursor();
            break;
        case QEvent::MouseButtonRelease:
            lb_fileClick();
            break;
        default:
            break;
        }
    }
    return QWidget::eventFilter(Watched, Event);
}

void Tfrm_Main::RadioGroup1Click() {
    const int index = RadioGroupIndex();
    Edit1->setEnabled(index == 1);
    cb_com->setEnabled(index == 0);
    FPortManager->SetMode(index == 1 ? tmTCPIP : tmRS232);
}

void Tfrm_Main::ComboBox3Change() {
    ClearMemo();
    RadioGroup1->setEnabled(ComboBox3->currentIndex() == 1);
    const int wanted = RadioGroup1->isEnabled() ? 1 : 0;
    if (wanted != RadioGroupIndex()) {
        SetRadioGroupIndex(wanted);
        RadioGroup1Click();
    }
}

// ---------------------------------------------------------------------------------------
// The list

void Tfrm_Main::dxlistAfterScroll(const QString& FileName) {
    if (FUploading)
        return;
    if (!FileName.isEmpty())
        lb_file->setText(FileName);
    pgbar->hide();
}

void Tfrm_Main::SyncGridToList() {
    const QSignalBlocker quiet(wwfilelist->selectionModel());
    m_syncingGrid = true;
    const qsizetype row = dxlist.CurrentIndex();
    if (row >= 0) {
        wwfilelist->selectionModel()->setCurrentIndex(m_listModel->index(int(row), 0),
                                                      QItemSelectionModel::ClearAndSelect |
                                                          QItemSelectionModel::Rows);
    }
    m_syncingGrid = false;
    wwfilelist->viewport()->update();
}

void Tfrm_Main::AddListEntry(const QString& FileName, const QString& ReportTypeCaption) {
    m_syncingGrid = true;
    m_listModel->AddListEntry(FileName, ReportTypeCaption);
    m_syncingGrid = false;
    SyncGridToList();
}

void Tfrm_Main::wwfilelistDblClick() {
    const ReportListEntry* entry = dxlist.Current();
    if (!entry)
        return;
    QString error;
    if (!LoadMemoFromFile(entry->filename, &error))
        ShowMessage(error, QStringLiteral("OrvexFM"), MessageIcon::Critical);
}

void Tfrm_Main::lb_fileClick() {
    const QString text = lb_file->text();
    if (text.isEmpty())
        return;
    const QFileInfo info(text);
    const QString folder = info.absolutePath();
    if (QFileInfo(folder).isDir())
        m_dialogs->OpenFolder(folder);
}

// ---------------------------------------------------------------------------------------
// Memo and messages

QStringList Tfrm_Main::MemoLines() const {
    const_cast<Tfrm_Main*>(this)->FlushProgressDots();
    const QString text = Memo1->toPlainText();
    if (text.isEmpty())
        return {};
    return text.split(QLatin1Char('\n'));
}

void Tfrm_Main::AppendMemoLine(const QString& Line) {
    FlushProgressDots();
    Memo1->append(Line);
}

void Tfrm_Main::ClearMemo() {
    m_pendingDots = 0;
    m_pendingClear = false;
    m_dotTimer->stop();
    Memo1->clear();
}

void Tfrm_Main::AddProgressDot(ProgressDotKind Kind) {
    if (!m_dotTimer->isActive() && m_pendingDots == 0 && !m_pendingClear)
        m_memoLength = Memo1->document()->characterCount() - 1;
    // The same rule as applying each dot at once (ApplyProgressDot), on the memo's length.
    if (Kind == ProgressDotKind::Limited && m_memoLength > kProgressDotLimit) {
        m_pendingClear = true;
        m_pendingDots = 0;
        m_memoLength = 0;
    } else {
        ++m_pendingDots;
        ++m_memoLength;
    }
    if (!m_dotTimer->isActive())
        m_dotTimer->start();
}

void Tfrm_Main::FlushProgressDots() {
    m_dotTimer->stop();
    if (m_pendingClear)
        Memo1->clear();
    if (m_pendingDots > 0) {
        QTextCursor end(Memo1->document());
        end.movePosition(QTextCursor::End);
        end.insertText(QString(m_pendingDots, QLatin1Char('.')));
    }
    m_pendingClear = false;
    m_pendingDots = 0;
}

void Tfrm_Main::ShowMessage(const QString& Text, const QString& Caption, MessageIcon Icon) {
    m_dialogs->ShowMessage(this, Text, Caption, Icon);
}
