#include "app/main_window.h"

#include "app/com_ports.h"
#include "app/core/language_file.h"
#include "app/core/report_list_model.h"
#include "app/core/work_folders.h"
#include "app/progress/progress_form.h"
#include "app/window_placement.h"
#include "fm/report_kinds.h"
#include "link/default_transports.h"
#include "link/fm_request.h"
#include "scalebus/varn_ibus.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
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
#include <QSettings>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTableView>
#include <QTableWidget>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <QValidator>

namespace {

constexpr int kClientWidth = 875;
constexpr int kClientHeight = 795;
constexpr int kTopPanelHeight = 82;
constexpr int kHeaderHeight = 17;
constexpr int kStatusHeight = 24;
constexpr int kListWidth = 337;
constexpr int kSplitterWidth = 6;
constexpr int kDotRefreshMs = 100;
// The status line's figures change at least once a second with this.
constexpr int kStatusRefreshMs = 500;
constexpr int kRangeFieldWidth = 52;
constexpr int kRadioGroupWidth = 150;
constexpr int kAddressWidth = 120;
constexpr int kPortListWidth = 160;
constexpr int kSmallestButtonWidth = 56;
constexpr int kMachinePanelWidth = 200;
// Until the window manager has framed the window, its frame is guessed: a tall title bar and
// borders.
constexpr QMargins kGuessedFrame(4, 36, 4, 6);

// Keys of the settings file.
constexpr char kGeometryKey[] = "window/geometry";
constexpr char kReportTypeKey[] = "upload/reportType";
constexpr char kQueryTypeKey[] = "upload/queryType";
constexpr char kFromKey[] = "upload/from";
constexpr char kToKey[] = "upload/to";
constexpr char kPortKey[] = "upload/port";

constexpr char kCloseDuringUploadQuestion[] = "An upload is running. Stop it and close the window?";
// A private address of the device on the shop's network; the operator types the real one.
constexpr char kDefaultDeviceAddress[] = "192.168.1.100";

template <typename T> T* Named(T* Widget, const char* Name) {
    Widget->setObjectName(QLatin1String(Name));
    return Widget;
}

// Holds buttons that take turns in one place (Upload and Cancel): each gets the whole place,
// whether shown or not, and the place is as large as the largest of them.
class SharedPlace : public QWidget {
public:
    using QWidget::QWidget;
    QSize sizeHint() const override {
        return Largest([](const QWidget* W) { return W->sizeHint(); });
    }
    QSize minimumSizeHint() const override {
        return Largest([](const QWidget* W) {
            return W->minimumSize()
                .expandedTo(W->minimumSizeHint())
                .expandedTo(QSize(0, W->sizeHint().height()));
        });
    }

protected:
    void resizeEvent(QResizeEvent*) override {
        for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            child->setGeometry(rect());
    }
    void childEvent(QChildEvent* Event) override {
        QWidget::childEvent(Event);
        updateGeometry();
    }
    bool event(QEvent* Event) override {
        // A caption changed (language file): the place follows the buttons' new size.
        if (Event->type() == QEvent::LayoutRequest)
            updateGeometry();
        return QWidget::event(Event);
    }

private:
    template <typename Hint> QSize Largest(Hint Of) const {
        QSize size(0, 0);
        for (const QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            size = size.expandedTo(Of(child));
        return size;
    }
};

// The range fields hold digits only. Typed keys are filtered before they reach the field;
// this catches the rest (a selection pasted with the middle button, a dropped text) by
// keeping only the digits of what arrives.
class DigitsOnlyValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& Input, int& Position) const override {
        QString digits;
        int position = 0;
        for (qsizetype i = 0; i < Input.size(); ++i) {
            if (Input[i] < u'0' || Input[i] > u'9')
                continue;
            digits += Input[i];
            if (i < Position)
                ++position;
        }
        Input = digits;
        Position = position;
        return Acceptable;
    }
};

int WidestItem(const QComboBox& Box) {
    int widest = 0;
    for (int i = 0; i < Box.count(); ++i)
        widest = std::max(widest, Box.fontMetrics().horizontalAdvance(Box.itemText(i)));
    return widest;
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
    m_settings =
        m_options.SettingsFile.isEmpty()
            ? std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                          QStringLiteral("OrvexFM"), QStringLiteral("orvexfm"))
            : std::make_unique<QSettings>(m_options.SettingsFile, QSettings::IniFormat);
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
    // An ordinary resizable window: on a small screen it opens smaller (see FitToScreen), and
    // the memo and the list take any room it is given.
    setWindowFlags(Qt::Window);
    QFont windowFont = font();
    windowFont.setStyleHint(QFont::SansSerif);
    windowFont.setPointSize(8);
    setFont(windowFont);

    auto* top = Named(new QWidget(this), "Panel1");
    top->setMinimumHeight(kTopPanelHeight);
    top->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    auto* rows = new QVBoxLayout(top);
    rows->setContentsMargins(6, 6, 8, 4);
    rows->setSpacing(6);
    auto* row1 = new QHBoxLayout;
    auto* row2 = new QHBoxLayout;
    row1->setSpacing(4);
    row2->setSpacing(4);
    rows->addLayout(row1);
    rows->addLayout(row2);

    // Top row. Every control takes the width its text needs, also with a language file's
    // longer captions; the range fields keep their place while hidden so nothing jumps.
    lbl2 = Named(new QLabel(QStringLiteral("ReportType"), top), "lbl2");
    ComboBox2 = Named(new QComboBox(top), "ComboBox2");
    for (const ReportKindInfo& kind : ReportKinds())
        ComboBox2->addItem(QLatin1String(kind.Caption));
    Label3 = Named(new QLabel(QStringLiteral("Query Type"), top), "Label3");
    cb_qrytype = Named(new QComboBox(top), "cb_qrytype");
    cb_qrytype->addItems({QStringLiteral("by Z count"), QStringLiteral("by Date(yymmdd)"),
                          QStringLiteral("whole FM")});
    for (QComboBox* box : {ComboBox2, cb_qrytype})
        box->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    // What a drop-down adds to its widest item (frame, arrow): measured while the style's
    // size is fresh, for the captions of a language file later (see FitControlWidths).
    m_comboPadding = ComboBox2->sizeHint().width() - WidestItem(*ComboBox2);
    lb_from = Named(new QLabel(QStringLiteral("From"), top), "lb_from");
    ed_From = Named(new QLineEdit(top), "ed_From");
    lb_to = Named(new QLabel(QStringLiteral("To"), top), "lb_to");
    ed_To = Named(new QLineEdit(top), "ed_To");
    const int rangeWidth =
        std::max(kRangeFieldWidth,
                 ed_From->fontMetrics().horizontalAdvance(QString(kDateDigits, u'0')) + 12);
    for (QLineEdit* e : {ed_From, ed_To}) {
        e->setMaxLength(kZNumberDigits);
        e->setFixedWidth(rangeWidth);
        e->setValidator(new DigitsOnlyValidator(e));
    }
    for (QWidget* w : {static_cast<QWidget*>(lb_from), static_cast<QWidget*>(ed_From),
                       static_cast<QWidget*>(lb_to), static_cast<QWidget*>(ed_To)}) {
        QSizePolicy policy = w->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        w->setSizePolicy(policy);
    }
    // Upload and Cancel share one place: only one of them is shown at a time.
    auto* uploadPlace = new SharedPlace(top);
    btnUpload = Named(new QPushButton(QStringLiteral("Upload data"), uploadPlace), "btnUpload");
    btnCancel = Named(new QPushButton(QStringLiteral("Cancel"), uploadPlace), "btnCancel");
    btnCancel->hide();
    btnClose = Named(new QPushButton(QStringLiteral("Close"), top), "btnClose");
    Button1 = Named(new QPushButton(QStringLiteral("Save"), top), "Button1");
    Button2 = Named(new QPushButton(QStringLiteral("Open"), top), "Button2");
    row1->addWidget(lbl2);
    row1->addWidget(ComboBox2);
    row1->addSpacing(4);
    row1->addWidget(Label3);
    row1->addWidget(cb_qrytype);
    row1->addSpacing(4);
    row1->addWidget(lb_from);
    row1->addWidget(ed_From);
    row1->addWidget(lb_to);
    row1->addWidget(ed_To);
    row1->addStretch(1);
    row1->addWidget(uploadPlace);
    row1->addWidget(btnClose);
    row1->addWidget(Button1);
    row1->addWidget(Button2);

    // Second row
    RadioGroup1 = Named(new QGroupBox(top), "RadioGroup1");
    auto* radios = new QHBoxLayout(RadioGroup1);
    radios->setContentsMargins(8, 2, 8, 2);
    RadioCom = Named(new QRadioButton(QStringLiteral("COM"), RadioGroup1), "RadioGroup1_COM");
    RadioUdp = Named(new QRadioButton(QStringLiteral("UDP"), RadioGroup1), "RadioGroup1_UDP");
    radios->addWidget(RadioCom);
    radios->addWidget(RadioUdp);
    RadioCom->setChecked(true);
    RadioGroup1->setEnabled(false);
    RadioGroup1->setMinimumWidth(kRadioGroupWidth);
    Label1 = Named(new QLabel(QStringLiteral("IP Address"), top), "Label1");
    Edit1 = Named(new QLineEdit(QLatin1String(kDefaultDeviceAddress), top), "Edit1");
    Edit1->setMinimumWidth(kAddressWidth);
    Label2 = Named(new QLabel(QStringLiteral("COM:"), top), "Label2");
    cb_com = Named(new QComboBox(top), "cb_com");
    cb_com->addItems(ComPorts);
    cb_com->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    cb_com->setMinimumWidth(kPortListWidth);
    if (!PreselectPort.isEmpty())
        cb_com->setCurrentIndex(std::max(0, ComPortIndex(ComPorts, PreselectPort)));
    btn4 = Named(new QPushButton(QStringLiteral("Delete"), top), "btn4");
    btn3 = Named(new QPushButton(QStringLiteral("Print"), top), "btn3");
    btn2 = Named(new QPushButton(QStringLiteral("Burn"), top), "btn2");
    row2->addWidget(RadioGroup1);
    row2->addSpacing(4);
    row2->addWidget(Label1);
    row2->addWidget(Edit1);
    row2->addSpacing(4);
    row2->addWidget(Label2);
    row2->addWidget(cb_com);
    row2->addStretch(1);
    for (QPushButton* b : {btn4, btn3, btn2})
        row2->addWidget(b);
    FitControlWidths();

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
    // Tab leaves the list for the next control instead of walking its cells.
    wwfilelist->setTabKeyNavigation(false);
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
    Memo1->setTabChangesFocus(true);
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
    // Laid out by LayOutStatusPanel whenever the panel changes size.
    Panel3->installEventFilter(this);
    lb_file = Named(new QLabel(Panel3), "lb_file");
    lb_file->installEventFilter(this);
    pgbar = Named(new QProgressBar(Panel3), "pgbar");
    pgbar->setTextVisible(false);
    pgbar->setRange(0, 10);
    pgbar->setValue(0);
    pgbar->hide();
    lblUploadStatus = Named(new QLabel(Panel3), "lblUploadStatus");
    lblUploadStatus->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Panel4 = Named(new QWidget(Panel3), "Panel4");
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
    m_statusTimer = new QTimer(this);
    m_statusTimer->setInterval(kStatusRefreshMs);
    connect(m_statusTimer, &QTimer::timeout, this, [this] { RefreshUploadStatus(); });
    FitStatusLineWidth();

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
    resize(kClientWidth, kClientHeight);

    // Handlers
    connect(cb_qrytype, &QComboBox::currentIndexChanged, this, [this] { cb_qrytypeChange(); });
    connect(ComboBox2, &QComboBox::currentIndexChanged, this, [this] { cb_qrytypeChange(); });
    connect(cb_com, &QComboBox::currentIndexChanged, this, [this] { cb_qrytypeChange(); });
    ed_From->installEventFilter(this);
    ed_To->installEventFilter(this);
    wwfilelist->installEventFilter(this);
    // Return in a range field starts the upload, as "Upload data" does.
    connect(ed_From, &QLineEdit::returnPressed, this, [this] { btnUploadClick(); });
    connect(ed_To, &QLineEdit::returnPressed, this, [this] { btnUploadClick(); });
    // Every change of the group (a click, the arrow keys, the machine selector) reaches the
    // port manager; one of the two buttons reports each change.
    connect(RadioUdp, &QRadioButton::toggled, this, [this] { RadioGroup1Click(); });
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
    if (!m_placed && !Event->spontaneous()) {
        m_placed = true;
        PlaceOnScreen();
    }
    if (!Event->spontaneous())
        FormShow();
}

void Tfrm_Main::PlaceOnScreen() {
    if (m_settings->contains(QLatin1String(kGeometryKey)) &&
        restoreGeometry(m_settings->value(QLatin1String(kGeometryKey)).toByteArray()))
        return;
    // Before the window manager has framed the window its frame is not known: a generous
    // one is assumed, so that the title bar stays on the screen.
    const QMargins frame = FrameMargins();
    PlaceInsideScreen(frame.isNull() ? kGuessedFrame : frame);
}

QMargins Tfrm_Main::FrameMargins() const {
    const QRect outer = frameGeometry();
    const QRect inner = geometry();
    return QMargins(inner.left() - outer.left(), inner.top() - outer.top(),
                    outer.right() - inner.right(), outer.bottom() - inner.bottom());
}

void Tfrm_Main::PlaceInsideScreen(const QMargins& Frame) {
    const QScreen* desk = screen();
    if (!desk)
        return;
    const QSize wanted = QSize(kClientWidth, kClientHeight).expandedTo(minimumSizeHint());
    const QRect client =
        FitWindowToScreen(desk->availableGeometry(), Frame, wanted, minimumSizeHint());
    // Placed by the frame's corner: that is where window managers put an unframed window's
    // requested position.
    resize(client.size());
    move(client.topLeft() - QPoint(Frame.left(), Frame.top()));
}

void Tfrm_Main::FormShow() {
    LoadLanguage();
    {
        const QSignalBlocker quiet(ComboBox3);
        ComboBox3->setCurrentIndex(1);
    }
    // The port manager's mode follows the group, also when the window is shown again.
    SetRadioGroupIndex(0);
    RadioGroup1Click();
    if (!m_settingsRestored) {
        m_settingsRestored = true;
        RestoreSettings();
    }
    UpdateHeaderWidths();
}

// ---------------------------------------------------------------------------------------
// Settings kept between runs

void Tfrm_Main::RestoreSettings() {
    QSettings& s = *m_settings;
    const auto restoreIndex = [&s](QComboBox* Box, const char* Key) {
        bool ok = false;
        const int index = s.value(QLatin1String(Key)).toInt(&ok);
        if (ok && index >= 0 && index < Box->count())
            Box->setCurrentIndex(index);
    };
    restoreIndex(ComboBox2, kReportTypeKey);
    restoreIndex(cb_qrytype, kQueryTypeKey);
    // The range kind set the fields' length first; a hand-edited file brings digits only.
    for (const auto& [field, key] : {std::pair{ed_From, kFromKey}, std::pair{ed_To, kToKey}}) {
        QString text = s.value(QLatin1String(key)).toString();
        int end = int(text.size());
        field->validator()->validate(text, end);
        field->setText(text.left(field->maxLength()));
    }
    // A port named on the command line wins; a remembered port that is gone is not forced.
    const QString port = s.value(QLatin1String(kPortKey)).toString();
    if (m_options.PreselectPort.isEmpty() && !port.isEmpty()) {
        const int index = cb_com->findText(port);
        if (index >= 0)
            cb_com->setCurrentIndex(index);
    }
}

void Tfrm_Main::SaveSettings() {
    QSettings& s = *m_settings;
    s.setValue(QLatin1String(kReportTypeKey), ComboBox2->currentIndex());
    s.setValue(QLatin1String(kQueryTypeKey), cb_qrytype->currentIndex());
    s.setValue(QLatin1String(kFromKey), ed_From->text());
    s.setValue(QLatin1String(kToKey), ed_To->text());
    s.setValue(QLatin1String(kPortKey), cb_com->currentText());
    s.setValue(QLatin1String(kGeometryKey), saveGeometry());
    s.sync();
}

QString Tfrm_Main::AskFileName(const char* Dialog, FileDialogRequest Request, bool Save) {
    const QString key = QStringLiteral("folders/") + QLatin1String(Dialog);
    Request.Directory = m_settings->value(key).toString();
    const QString file =
        Save ? m_dialogs->SaveFileName(this, Request) : m_dialogs->OpenFileName(this, Request);
    if (!file.isEmpty()) {
        m_settings->setValue(key, QFileInfo(file).absolutePath());
        m_settings->sync();
    }
    return file;
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
        FitControlWidths();
        ApplyLanguage(file, Messages);
        FitStatusLineWidth();
    }
    ComboBox2->setCurrentIndex(0);
    cb_qrytype->setCurrentIndex(0);
}

void Tfrm_Main::FitControlWidths() {
    // A drop-down keeps the width of its first captions when they are replaced; it is given
    // the width of its widest item again.
    for (QComboBox* box : {ComboBox2, cb_qrytype})
        box->setMinimumWidth(WidestItem(*box) + m_comboPadding);
    // The style asks 80 pixels of every button; the top rows give their buttons that much
    // where there is room, and never less than their caption needs.
    for (QPushButton* b : {btnUpload, btnCancel, btnClose, Button1, Button2, btn4, btn3, btn2}) {
        QSizePolicy policy = b->sizePolicy();
        policy.setHorizontalPolicy(QSizePolicy::Preferred);
        b->setSizePolicy(policy);
        b->setMinimumWidth(
            std::max(kSmallestButtonWidth, b->fontMetrics().horizontalAdvance(b->text()) + 16));
    }
}

void Tfrm_Main::closeEvent(QCloseEvent* Event) {
    // Closing during an upload ends its wait first, so nothing is decoded afterwards; the
    // operator is asked before the upload is given up.
    if (m_upload && m_upload->Running()) {
        if (!ConfirmCloseDuringUpload()) {
            Event->ignore();
            return;
        }
        m_upload->Cancel(false);
    }
    FormClose();
    Event->accept();
}

bool Tfrm_Main::ConfirmCloseDuringUpload() {
    if (!m_closeConfirmed) {
        m_closeConfirmed = m_dialogs->Confirm(this, QLatin1String(kCloseDuringUploadQuestion),
                                              QStringLiteral("OrvexFM"));
    }
    return m_closeConfirmed;
}

void Tfrm_Main::FormClose() {
    SaveList();
    SaveSettings();
}

void Tfrm_Main::SaveList() {
    const ReportListSaveResult saved = dxlist.Save(FDataDir + QLatin1String(kReportListFileName));
    if (!saved.Ok)
        ShowMessage(saved.Error, QStringLiteral("OrvexFM"), MessageIcon::Warning);
}

void Tfrm_Main::LayOutStatusPanel() {
    const int width = Panel3->width();
    // The upload's status line sits between the file name (or the progress bar) and the
    // machine panel; without a text it takes no room.
    const int status = lblUploadStatus->text().isEmpty()
                           ? 0
                           : std::min(m_statusWidth, std::max(0, (width - kMachinePanelWidth) / 2));
    const int left = std::max(0, width - kMachinePanelWidth - status);
    lb_file->setGeometry(4, 0, std::max(0, left - 8), kStatusHeight);
    pgbar->setGeometry(0, 0, left, kStatusHeight);
    lblUploadStatus->setGeometry(left, 0, status, kStatusHeight);
    Panel4->setGeometry(width - kMachinePanelWidth, 0, kMachinePanelWidth, kStatusHeight);
}

void Tfrm_Main::FitStatusLineWidth() {
    // Measured with large figures, so the line keeps its width while they grow.
    UploadProgress large;
    large.Packets = 99999;
    large.Bytes = 99999999;
    large.BytesPerSecond = 999.9 * 1024;
    large.ElapsedMs = 99 * 60000 + 59000;
    UploadProgress connecting;
    connecting.Connecting = true;
    connecting.LineRate = 115200;
    connecting.Attempt = connecting.Attempts = UploadAction::kBaudRetries;
    const QFontMetrics metrics = lblUploadStatus->fontMetrics();
    int widest = 0;
    for (const UploadProgress& p : {large, connecting, UploadProgress{}})
        widest = std::max(widest, metrics.horizontalAdvance(UploadStatusText(p, Messages)));
    m_statusWidth = widest + 16;
    LayOutStatusPanel();
}

void Tfrm_Main::RefreshUploadStatus(bool Final) {
    const UploadProgress progress = m_upload->Progress();
    // After the upload, only figures of data that came are worth keeping on show.
    SetUploadStatusText(Final && progress.Packets == 0 ? QString()
                                                       : UploadStatusText(progress, Messages));
}

void Tfrm_Main::SetUploadStatusText(const QString& Text) {
    if (Text == lblUploadStatus->text())
        return;
    const bool relayout = Text.isEmpty() != lblUploadStatus->text().isEmpty();
    lblUploadStatus->setText(Text);
    if (relayout)
        LayOutStatusPanel();
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
            if (e->text().size() > kZNumberDigits)
                e->clear();
            e->setMaxLength(kZNumberDigits);
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

bool Tfrm_Main::RangeFieldKey(QLineEdit* Field, const QKeyEvent& Key) {
    if (Key.matches(QKeySequence::Paste)) {
        PasteDigits(Field);
        return true;
    }
    // Shortcuts (select all, copy, cut, undo) type nothing.
    if (Key.modifiers() & (Qt::ControlModifier | Qt::MetaModifier))
        return false;
    const QString text = Key.text();
    if (text.isEmpty())
        return false;
    // Control characters come with editing keys, not with typed text: Backspace, Return,
    // Escape, and Delete, which X11 delivers with the character 0x7F.
    const char16_t c = text.at(0).unicode();
    if (c < 0x20 || c == 0x7F)
        return false;
    return !DigitKeyFilter(text.at(0));
}

void Tfrm_Main::PasteDigits(QLineEdit* Field) {
    QString digits;
    for (const QChar c : QGuiApplication::clipboard()->text()) {
        if (c >= u'0' && c <= u'9')
            digits += c;
    }
    // Within the field's length, replacing the selection, as a paste does.
    Field->insert(digits);
}

void Tfrm_Main::ShowRangeFieldMenu(QLineEdit* Field, const QPoint& At) {
    QMenu* menu = Field->createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    // The standard menu's Paste is found by its caption (before the tab comes its shortcut).
    const QString pasteCaption = QLineEdit::tr("&Paste");
    for (QAction* action : menu->actions()) {
        if (action->text().section(u'\t', 0, 0) != pasteCaption)
            continue;
        action->setObjectName(QStringLiteral("edit-paste"));
        disconnect(action, &QAction::triggered, Field, nullptr);
        connect(action, &QAction::triggered, Field, [this, Field] { PasteDigits(Field); });
    }
    menu->popup(At);
}

bool Tfrm_Main::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == ed_From || Watched == ed_To) {
        auto* field = static_cast<QLineEdit*>(Watched);
        if (Event->type() == QEvent::KeyPress &&
            RangeFieldKey(field, *static_cast<QKeyEvent*>(Event)))
            return true;
        if (Event->type() == QEvent::ContextMenu) {
            ShowRangeFieldMenu(field, static_cast<QContextMenuEvent*>(Event)->globalPos());
            return true;
        }
    }
    if (Watched == wwfilelist && Event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(Event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            wwfilelistDblClick();
            return true;
        }
    }
    if (Watched == Panel3 && Event->type() == QEvent::Resize)
        LayOutStatusPanel();
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
    // Written at once: a report made is never lost from the list by a crash or a kill.
    SaveList();
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
