#include "archive/burn_form.h"

#include "app/core/language_file.h"
#include "archive/burn_texts.h"

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QTableWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>

namespace {

constexpr int kNameColumn = 0;
constexpr int kPathColumn = 1;
// The root folder of the disc, as the engine is told.
const QString kDiscRoot = QStringLiteral("\\");
// The drive list's last entry: an image file instead of a disc.
const QString kImageFileEntry = QStringLiteral("ISO image file...");
// What the chosen image file is shown as, before that entry.
const QString kImageFilePrefix = QStringLiteral("stdio:");
// The file list's caption when the language file gives none.
const QString kFileColumnCaption = QStringLiteral("File");
// Rows the file list shows without scrolling.
constexpr int kVisibleRows = 8;

} // namespace

TBurnFrm::TBurnFrm(QWidget* Parent, std::unique_ptr<TBurnDialogs> DialogsIn,
                   const QString& LanguageFileIn)
    : QDialog(Parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_dialogs(DialogsIn ? std::move(DialogsIn) : std::make_unique<TQtBurnDialogs>()),
      m_languageFile(LanguageFileIn) {
    setObjectName(QStringLiteral("BurnFrm"));
    setWindowTitle(QStringLiteral("Burn"));
    setModal(true);

    auto* top = new QHBoxLayout;
    Drivelabel = new QLabel(QStringLiteral("Drive: "), this);
    Drivelabel->setObjectName(QStringLiteral("Drivelabel"));
    cbb1 = new QComboBox(this);
    cbb1->setObjectName(QStringLiteral("cbb1"));
    cbb1->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    BurnBtn = new QPushButton(QStringLiteral("Burn"), this);
    BurnBtn->setObjectName(QStringLiteral("BurnBtn"));
    BurnBtn->setAutoDefault(false);
    top->addWidget(Drivelabel);
    top->addWidget(cbb1, 1);
    top->addWidget(BurnBtn);

    tlb1 = new QToolBar(this);
    tlb1->setObjectName(QStringLiteral("tlb1"));
    auto makeTool = [this](const char* Name, const char* Hint, QStyle::StandardPixmap Icon) {
        auto* button = new QToolButton(tlb1);
        button->setObjectName(QString::fromLatin1(Name));
        button->setToolTip(QString::fromLatin1(Hint));
        button->setIcon(style()->standardIcon(Icon));
        button->setAutoRaise(true);
        tlb1->addWidget(button);
        return button;
    };
    DeleteBtn = makeTool("DeleteBtn", "Delete", QStyle::SP_TrashIcon);
    FileBtn = makeTool("FileBtn", "Open file", QStyle::SP_FileIcon);
    FolderBtn = makeTool("FolderBtn", "Open folder", QStyle::SP_DirOpenIcon);

    lv1 = new QTableWidget(0, 2, this);
    lv1->setObjectName(QStringLiteral("lv1"));
    lv1->setHorizontalHeaderLabels({kFileColumnCaption, QStringLiteral("Path")});
    lv1->setShowGrid(true);
    lv1->setSelectionBehavior(QAbstractItemView::SelectRows);
    lv1->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lv1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lv1->verticalHeader()->hide();
    // Compact rows, as a list view has them.
    const int rowHeight = fontMetrics().height() + 4;
    lv1->verticalHeader()->setMinimumSectionSize(rowHeight);
    lv1->verticalHeader()->setDefaultSectionSize(rowHeight);
    lv1->horizontalHeader()->setStretchLastSection(false);
    lv1->horizontalHeader()->setSectionResizeMode(kNameColumn, QHeaderView::Stretch);
    // The full path is what gets written; the operator sees only the name.
    lv1->setColumnHidden(kPathColumn, true);

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setReadOnly(true);

    auto* listSide = new QWidget(this);
    auto* listLayout = new QVBoxLayout(listSide);
    listLayout->setContentsMargins(0, 0, 0, 0);
    listLayout->setSpacing(0);
    listLayout->addWidget(tlb1);
    listLayout->addWidget(lv1);

    spl1 = new QSplitter(Qt::Horizontal, this);
    spl1->setObjectName(QStringLiteral("spl1"));
    spl1->addWidget(listSide);
    spl1->addWidget(Memo1);

    pb = new QProgressBar(this);
    pb->setObjectName(QStringLiteral("pb"));
    pb->setRange(0, 100);
    pb->setValue(0);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(spl1, 1);
    layout->addWidget(pb);
    // The classic 491 x 235, made taller where that would show fewer than kVisibleRows rows of
    // the file list.
    setFixedSize(491, 235);
    layout->activate();
    const int listRoom = lv1->viewport()->height();
    const int wanted = kVisibleRows * rowHeight;
    if (listRoom < wanted) {
        setFixedSize(491, 235 + wanted - listRoom);
        layout->activate();
    }

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);

    connect(cbb1, &QComboBox::activated, this, [this] { cbb1Change(); });
    connect(BurnBtn, &QPushButton::clicked, this, [this] { BurnBtnClick(); });
    connect(DeleteBtn, &QToolButton::clicked, this, [this] { DeleteBtnClick(); });
    connect(FileBtn, &QToolButton::clicked, this, [this] { FileBtnClick(); });
    connect(FolderBtn, &QToolButton::clicked, this, [this] { FolderBtnClick(); });
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });

    Burner.OnFinalizingTrack = [this] { BurnerFinalizingTrack(); };
    Burner.OnWriteDone = [this](const QString& Error) { BurnerWriteDone(Error); };
    Burner.OnEraseDone = [this](bool Error) { BurnerEraseDone(Error); };
    Burner.OnVerifyDone = [this](const DiscCheckResult& Result) { BurnerVerifyDone(Result); };

    FormCreate();
    Timer1->start();
}

TBurnFrm::~TBurnFrm() {
    // The engine's events call into this window; none may arrive while it is being torn down.
    Burner.OnFinalizingTrack = nullptr;
    Burner.OnWriteDone = nullptr;
    Burner.OnEraseDone = nullptr;
    Burner.OnVerifyDone = nullptr;
}

void TBurnFrm::FormCreate() {
    Memo1->clear();
    Burner.UnderrunProtection = true;
    Burner.FinalizeTrack = true;
    Burner.FinalizeDisc = false;
    Burner.TestWrite = false;
    Burner.ReplaceFile = false;
    Burner.PerformOPC = false;
    Burner.WritePostGap = true;
    Burner.JolietFileSystem = true;
    Burner.CacheSize = 4194304;
    Burner.ReadSpeed = 0;
    Burner.WriteSpeed = 0;
    if (!Burner.InitializeASPI() || !Burner.ASPIInitialized()) {
        AppendMessage(QString::fromLatin1(kMsgAspiInitError));
        return;
    }
    const QStringList drives = Burner.Drives();
    cbb1->clear();
    cbb1->addItems(drives);
    cbb1->addItem(kImageFileEntry);
    m_selectedEntry = -1;
    // A machine without writers starts on the image file entry, which asks only when chosen.
    if (!drives.isEmpty()) {
        cbb1->setCurrentIndex(0);
        cbb1Change();
    }
}

void TBurnFrm::showEvent(QShowEvent* Event) {
    FormShow();
    QDialog::showEvent(Event);
}

void TBurnFrm::FormShow() {
    const QString path = m_languageFile.isEmpty()
                             ? LanguageFilePath(QCoreApplication::applicationFilePath())
                             : m_languageFile;
    const ::LanguageFile file = ReadLanguageFile(path);
    // Without a readable file every caption keeps what it has.
    if (!file.IsLoaded())
        return;
    for (const CaptionKey& caption : ArchiveWindowCaptionKeys()) {
        const QString text =
            file.Text(QString::fromLatin1(caption.Key), QString::fromLatin1(caption.Default));
        const QLatin1String target(caption.Target);
        if (target == QLatin1String("BurnFrm"))
            setWindowTitle(text);
        else if (target == QLatin1String("Drivelabel"))
            Drivelabel->setText(text);
        else if (target == QLatin1String("BurnBtn"))
            BurnBtn->setText(text);
        else if (target == QLatin1String("DeleteBtn.Hint"))
            DeleteBtn->setToolTip(text);
        else if (target == QLatin1String("FileBtn.Hint"))
            FileBtn->setToolTip(text);
        else if (target == QLatin1String("FolderBtn.Hint"))
            FolderBtn->setToolTip(text);
        else if (target == QLatin1String("FileList.Columns[0]"))
            lv1->setHorizontalHeaderItem(
                kNameColumn, new QTableWidgetItem(text.isEmpty() ? kFileColumnCaption : text));
    }
}

void TBurnFrm::cbb1Change() {
    const int index = cbb1->currentIndex();
    if (index < 0)
        return;
    if (index == cbb1->count() - 1) {
        if (!ChooseImageFile() && m_selectedEntry >= 0 && m_selectedEntry < cbb1->count() - 1)
            cbb1->setCurrentIndex(m_selectedEntry);
        return;
    }
    if (!Burner.SelectDrive(cbb1->currentText())) {
        AppendMessage(Burner.LastError());
        return;
    }
    m_selectedEntry = index;
}

bool TBurnFrm::ChooseImageFile() {
    QString path =
        m_dialogs->SaveFile(this, kImageFileEntry.chopped(3), QStringLiteral("ISO image (*.iso)"));
    if (path.isEmpty())
        return false;
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".iso");
    path = QFileInfo(path).absoluteFilePath();
    // Said now rather than after the operator has pressed Burn.
    if (QFileInfo::exists(path)) {
        AppendMessage(
            QStringLiteral("The image file %1 already exists; it is not overwritten").arg(path));
        return false;
    }
    const QString address = kImageFilePrefix + path;
    if (!Burner.SelectDrive(address)) {
        AppendMessage(Burner.LastError());
        return false;
    }
    // The chosen file shows as an entry of its own just above the last one, replacing the one
    // chosen before.
    const int imageEntry = cbb1->count() - 2;
    const bool replace = imageEntry >= 0 && !Burner.Drives().contains(cbb1->itemText(imageEntry));
    if (replace)
        cbb1->setItemText(imageEntry, address);
    else
        cbb1->insertItem(cbb1->count() - 1, address);
    m_selectedEntry = cbb1->count() - 2;
    cbb1->setCurrentIndex(m_selectedEntry);
    return true;
}

void TBurnFrm::ClearFiles() {
    lv1->setRowCount(0);
}

void TBurnFrm::AddFile(const QString& FullPath) {
    const int row = lv1->rowCount();
    lv1->insertRow(row);
    lv1->setItem(row, kNameColumn, new QTableWidgetItem(QFileInfo(FullPath).fileName()));
    lv1->setItem(row, kPathColumn, new QTableWidgetItem(FullPath));
}

void TBurnFrm::AddFiles(const QStringList& FullPaths) {
    for (const QString& path : FullPaths)
        AddFile(path);
}

QStringList TBurnFrm::Files() const {
    QStringList paths;
    for (int row = 0; row < lv1->rowCount(); ++row)
        paths.append(lv1->item(row, kPathColumn)->text());
    return paths;
}

int TBurnFrm::ShowModal(QWidget* Over) {
    if (Over)
        move(Over->frameGeometry().center() -
             QPoint(frameGeometry().width() / 2, frameGeometry().height() / 2));
    return exec();
}

void TBurnFrm::DeleteBtnClick() {
    QList<int> rows;
    for (const QModelIndex& index : lv1->selectionModel()->selectedRows())
        rows.append(index.row());
    // From the last row up, so the rows still to go keep their numbers.
    std::sort(rows.begin(), rows.end(), std::greater<int>());
    for (int row : rows)
        lv1->removeRow(row);
}

void TBurnFrm::FileBtnClick() {
    const QStringList chosen = m_dialogs->OpenFiles(this, QStringLiteral("File (*)"));
    for (const QString& path : chosen)
        AddFile(path);
}

void TBurnFrm::FolderBtnClick() {
    const QString folder = m_dialogs->BrowseFolder(this, QStringLiteral("Open folder"));
    if (folder.isEmpty())
        return;
    // The folder's own entries only: sub-folders are added whole, not walked into.
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries)
        AddFile(QDir(folder).filePath(entry.fileName()));
}

void TBurnFrm::AppendMessage(const QString& Text) {
    Memo1->appendPlainText(Text);
}

void TBurnFrm::AbandonBurn(const QString& Reason) {
    if (!Reason.isEmpty())
        AppendMessage(Reason);
    // Whatever this Burn put into the image must not be written by the next one.
    Burner.ClearImage(kImageMaxFiles, kImageMaxFolders);
}

void TBurnFrm::BurnBtnClick() {
    if (m_running)
        return;
    pb->setValue(0);
    // The image file entry shows but no file was chosen yet (a machine without writers starts
    // there): ask now.
    if (cbb1->currentIndex() == cbb1->count() - 1 && !ChooseImageFile())
        return;
    const QStringList paths = Files();
    for (const QString& path : paths) {
        if (!Burner.AddFile(kDiscRoot, path)) {
            AbandonBurn(Burner.LastError());
            return;
        }
    }
    Burner.WriteSpeed = 0;
    QCoreApplication::processEvents();
    if (Burner.FolderCount() == 0 && Burner.FileCount() == 0) {
        AbandonBurn(QString());
        return;
    }
    if (!Burner.LayoutImage()) {
        AbandonBurn(Burner.LastError());
        return;
    }
    const qint64 free = Burner.FreeBlocks();
    const qint64 need = Burner.ImageBlocks();
    if (need > free) {
        AppendMessage(InsufficientSpaceText(need, free));
        AbandonBurn(QString());
        return;
    }
    AppendMessage(QString::fromLatin1(kMsgBurning));
    m_running = true;
    if (!Burner.StartWriting()) {
        // Nothing will end this writing, so end it here as a failed one: the operator learns
        // why, the image is emptied and the Burn button is back.
        BurnerWriteDone(Burner.LastError());
        return;
    }
    pb->setRange(0, int(std::min<qint64>(need, INT_MAX)));
    pb->setValue(0);
    BurnBtn->setEnabled(false);
}

void TBurnFrm::Timer1Timer() {
    if (!m_running)
        return;
    // Writing fills the first half of the bar, reading back the second.
    const qint64 blocks = (Burner.BytesWritten() + Burner.BytesVerified()) / 2 / kDiscBlockBytes;
    pb->setValue(int(std::min<qint64>(blocks, pb->maximum())));
}

void TBurnFrm::BurnerFinalizingTrack() {
    BurnBtn->setEnabled(true);
    AppendMessage(QString::fromLatin1(kMsgFinalizingTrack));
}

void TBurnFrm::BurnerWriteDone(const QString& Error) {
    Burner.ClearImage(kImageMaxFiles, kImageMaxFolders);
    if (!Error.isEmpty()) {
        AppendMessage(QString::fromLatin1(kMsgBurnDoneError));
        AppendMessage(Error);
        FinishBurn();
        return;
    }
    AppendMessage(QString::fromLatin1(kMsgBurnDoneOk));
    // The disc stays in the drive until it has been read back; the drive is busy meanwhile.
    BurnBtn->setEnabled(false);
    AppendMessage(QString::fromLatin1(kMsgVerifying));
    if (!Burner.StartVerifying()) {
        DiscCheckResult failed;
        failed.Reason = Burner.LastError();
        BurnerVerifyDone(failed);
    }
}

void TBurnFrm::BurnerVerifyDone(const DiscCheckResult& Result) {
    for (const QString& line : VerifyOutcomeLines(Result))
        AppendMessage(line);
    if (Result.Ok) {
        pb->setValue(pb->maximum());
        Burner.Eject();
    }
    // A disc that failed stays in the drive, for a look at it.
    FinishBurn();
}

void TBurnFrm::FinishBurn() {
    m_running = false;
    BurnBtn->setEnabled(true);
    m_dialogs->Beep();
}

void TBurnFrm::BurnerEraseDone(bool Error) {
    Q_UNUSED(Error);
    Burner.Eject();
}
