// The main window's upload wiring and its file commands: Save, Save as, Open, Print, Delete,
// Burn, and the report decoders around the fm builders.

#include "app/core/port_error_text.h"
#include "app/core/reachability.h"
#include "app/core/report_list_model.h"
#include "app/main_window.h"
#include "app/print_layout.h"
#include "app/progress/progress_form.h"
#include "app/progress/scale_memory_test.h"
#include "fm/cp1250.h"
#include "fm/file_writer.h"

#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPrinter>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTableWidget>
#include <QTextEdit>
#include <QTimer>

#include <algorithm>

namespace {

const QString kSaveDialog1Filter = QStringLiteral("*.Txt file(*.txt)");
const QStringList kSaveDialog2Filters = {QStringLiteral("Text files(*.txt)"),
                                         QStringLiteral("HEX files(*.hex)")};
const QString kOpenDialogFilter = QStringLiteral("*.Hex file(*.hex)");
constexpr int kPrintFontPoints = 6;

// Memo text as the device's Windows-1250 bytes, each line ended by CR LF, so a saved report
// holds the same bytes as the one the decoder wrote.
QByteArray MemoFileBytes(const QStringList& Lines) {
    QByteArray bytes;
    for (const QString& line : Lines) {
        bytes += UnicodeToCp1250(line);
        bytes += "\r\n";
    }
    return bytes;
}

} // namespace

// ---------------------------------------------------------------------------------------
// Upload

void Tfrm_Main::ConnectUpload() {
    UploadAction& up = *m_upload;
    up.AddListEntry = [this](const QString& Path, const QString& Caption) {
        AddListEntry(Path, Caption);
        return QString();
    };
    // UDP uploads check the device with ICMP echo (the echo socket is made at the first UDP
    // upload; without one the upload stops with the check's own line in the memo).
    up.ReachabilityCheck = MakeIcmpReachabilityCheck();
    up.OnMemoClear = [this] { ClearMemo(); };
    up.OnMemoLine = [this](const QString& Line) { AppendMemoLine(Line); };
    up.OnProgressDot = [this](ProgressDotKind Kind) { AddProgressDot(Kind); };
    up.OnProgressBar = [this](const ProgressBar& Bar) {
        pgbar->setRange(0, Bar.Maximum);
        pgbar->setValue(Bar.Position);
        pgbar->setVisible(Bar.Visible);
    };
    up.OnFinished = [this](UploadOutcome) { FlushProgressDots(); };
    up.OnMessage = [this](const DecodeMessage& Message) { ShowDecodeMessage(Message); };
    up.OnStateChanged = [this](UploadState State) {
        ApplyUploadState(State);
        if (m_statusTimer->isActive())
            RefreshUploadStatus();
    };
    // Said in the memo before "Finish", with the upload's file in the status line, as a
    // report would be.
    up.OnNoReport = [this](const QString& HexFile) {
        AppendMemoLine(Messages.MsgNoReport);
        lb_file->setText(HexFile);
    };
    up.OnReport = [this](const ReportDecodeResult& Result, const QString& HexFile) {
        if (m_upload->Running() && ReportKindOf(SelectedReportKind()).Printout)
            lb_file->setText(HexFile);
        QString error;
        if (!LoadMemoFromFile(Result.ReportPath, &error))
            AppendMemoLine(error);
    };
}

void Tfrm_Main::ApplyUploadState(UploadState State) {
    switch (State) {
    case UploadState::Idle:
        btnUpload->setEnabled(true);
        btnUpload->show();
        btnCancel->hide();
        ComboBox3->setEnabled(true);
        break;
    case UploadState::Preparing:
        btnUpload->setEnabled(false);
        btnUpload->show();
        btnCancel->hide();
        ComboBox3->setEnabled(false);
        break;
    case UploadState::Exchanging:
        btnUpload->hide();
        btnCancel->show();
        ComboBox3->setEnabled(false);
        break;
    }
}

ReportKind Tfrm_Main::SelectedReportKind() const {
    return ReportKindAt(ComboBox2->currentIndex()).value_or(ReportKind::Detail);
}

UploadRequest Tfrm_Main::CurrentRequest() const {
    UploadRequest r;
    r.Kind = SelectedReportKind();
    r.RangeKind = cb_qrytype->currentIndex();
    r.FromText = ed_From->text();
    r.ToText = ed_To->text();
    r.Mode = RadioGroupIndex() == 1 ? tmTCPIP : tmRS232;
    r.PortName = cb_com->currentText();
    r.UdpHost = Edit1->text();
    r.MachineIndex = ComboBox3->currentIndex();
    r.ReportCaption = ComboBox2->currentText();
    r.DecimalSeparator = QLocale().decimalPoint().at(0);
    return r;
}

void Tfrm_Main::btnUploadClick() {
    if (m_upload->Running())
        return;
    UploadRequest request = CurrentRequest();
    // The range is checked before the file is asked for: a run without an output file checks
    // the range (and tells the operator what is wrong) and does nothing else.
    request.OutputFile.clear();
    if (m_upload->Run(request) == UploadOutcome::BadRange)
        return;

    FileDialogRequest dialog;
    dialog.Filters = kSaveDialog2Filters;
    dialog.SelectedFilter = 1;
    dialog.DefaultSuffix = QStringLiteral("txt");
    const QString file = AskFileName("SaveDialog2", dialog, true);
    if (file.isEmpty())
        return;
    FUploadFileName = file;
    request.OutputFile = file;

    // A failed decode belongs to the upload it happened in; it must not hide "Finish" for
    // every later upload.
    FDecodeFailed = false;
    FUploading = true;
    SetUploadStatusText(QString());
    m_statusTimer->start();
    const UploadOutcome outcome = m_upload->Run(request);
    m_statusTimer->stop();
    RefreshUploadStatus(true);
    FUploading = false;
    if (outcome == UploadOutcome::PortOpenFailed) {
        for (const QString& line : PortErrorLines(m_upload->PortError(), Messages))
            AppendMemoLine(line);
    }
    // Whatever the outcome, the next keystroke goes to "Upload data" (hiding Cancel would
    // hand the focus to "Close", where Space ends the program).
    btnUpload->setFocus(Qt::OtherFocusReason);
    if (outcome == UploadOutcome::DecodeFailed || m_upload->DecodeFailed())
        FDecodeFailed = true;
    // A write that failed while the data came leaves no file to decode.
    const bool decoded = outcome == UploadOutcome::Finished ||
                         outcome == UploadOutcome::DecodeFailed ||
                         (outcome == UploadOutcome::WriteFailed &&
                          m_upload->LastDecode().Error == ReportError::WriteFailed);
    if (ReportKindOf(request.Kind).Printout && decoded) {
        // The Detail/Summary decoder shows the upload file in the status line whenever the
        // file is there, also when it held no printout.
        if (m_upload->LastDecode().Error != ReportError::FileMissing)
            lb_file->setText(file);
    }
}

void Tfrm_Main::btnCancelClick() {
    m_upload->Cancel(true);
}

void Tfrm_Main::btnCloseClick() {
    if (m_upload->Running()) {
        if (!ConfirmCloseDuringUpload())
            return;
        m_upload->Cancel(false);
    }
    close();
}

// ---------------------------------------------------------------------------------------
// Decoders

ReportDecodeSettings Tfrm_Main::DecodeSettings() const {
    ReportDecodeSettings s;
    s.TxtfileDir = FTxtfileDir;
    s.MachineIndex = ComboBox3->currentIndex();
    s.QueryType = cb_qrytype->currentIndex();
    s.FromText = ed_From->text();
    s.ToText = ed_To->text();
    s.DecimalSeparator = QLocale().decimalPoint().at(0);
    s.ReportCaption = ComboBox2->currentText();
    return s;
}

void Tfrm_Main::ShowDecodeResult(const ReportDecodeResult& Result) {
    if (!Result.ReportPath.isEmpty()) {
        QString error;
        if (!LoadMemoFromFile(Result.ReportPath, &error))
            AppendMemoLine(error);
    }
    if (Result.Failed)
        FDecodeFailed = true;
    if (!Result.Message.Text.isEmpty())
        ShowDecodeMessage(Result.Message);
}

void Tfrm_Main::ShowDecodeMessage(const DecodeMessage& Message) {
    // "Finish" and the boxes that carry the information icon tell how things went; every
    // other notice of an upload or a decoding says what went wrong.
    const bool information = Message.Information || Message.Text == Messages.MsgFinish;
    ShowMessage(Message.Text, Message.Caption,
                information ? MessageIcon::Information : MessageIcon::Warning);
}

void Tfrm_Main::DecodeDetailSummary(const QString& HexFile) {
    ReportDecodeSettings settings = DecodeSettings();
    settings.AddListEntry = [this](const QString& Path, const QString& Caption) {
        AddListEntry(Path, Caption);
        return QString();
    };
    if (QFileInfo::exists(HexFile)) {
        pgbar->hide();
        lb_file->setText(HexFile);
        ClearMemo();
    }
    ShowDecodeResult(::DecodeDetailSummary(HexFile, SelectedReportKind(), settings, Messages));
}

void Tfrm_Main::DecodeChangeReport(const QString& HexFile, ReportKind Kind) {
    ReportDecodeSettings settings = DecodeSettings();
    settings.AddListEntry = [this](const QString& Path, const QString& Caption) {
        AddListEntry(Path, Caption);
        return QString();
    };
    const ReportDecodeResult result = ::DecodeChangeReport(HexFile, Kind, settings, Messages);
    // The report was started (and the memo cleared) unless the range or the file was wrong.
    if (result.Failed && result.Error != ReportError::FileMissing &&
        result.Error != ReportError::InvalidInteger && result.Error != ReportError::RangeError)
        ClearMemo();
    ShowDecodeResult(result);
}

// ---------------------------------------------------------------------------------------
// Memo files

bool Tfrm_Main::LoadMemoFromFile(const QString& Path, QString* Error) {
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (Error)
            *Error = QStringLiteral("Cannot open file \"%1\". %2").arg(Path, file.errorString());
        return false;
    }
    QString text = Cp1250ToUnicode(file.readAll());
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    ClearMemo();
    Memo1->setPlainText(text);
    return true;
}

void Tfrm_Main::SaveMemo(const QString& Path) {
    if (const QString error = ReplaceFileContents(Path, MemoFileBytes(MemoLines()));
        !error.isEmpty()) {
        ShowMessage(QStringLiteral("Cannot create file \"%1\". %2").arg(Path, error),
                    QStringLiteral("OrvexFM"), MessageIcon::Critical);
    }
}

void Tfrm_Main::Button1Click() {
    FileDialogRequest dialog;
    dialog.Filters = {kSaveDialog1Filter};
    dialog.SelectedFilter = 0;
    dialog.DefaultSuffix = QStringLiteral("txt");
    const QString file = AskFileName("SaveDialog1", dialog, true);
    if (!file.isEmpty())
        SaveMemo(file);
}

void Tfrm_Main::MenuItem1Click() {
    FileDialogRequest dialog;
    dialog.Filters = {kSaveDialog1Filter};
    dialog.SelectedFilter = -1; // as left by the last use
    dialog.DefaultSuffix = QStringLiteral("txt");
    const QString file = AskFileName("SaveDialog1", dialog, true);
    if (!file.isEmpty() && !MemoLines().isEmpty())
        SaveMemo(file);
}

void Tfrm_Main::btn1Click() {
    FileDialogRequest dialog;
    dialog.Filters = {kOpenDialogFilter};
    dialog.DefaultSuffix = QStringLiteral("hex");
    const QString file = AskFileName("dlgOpen1", dialog, false);
    if (file.isEmpty())
        return;
    FLastOpenedFile = file;
    const ReportKind kind = SelectedReportKind();
    if (ReportKindOf(kind).Printout)
        DecodeDetailSummary(file);
    else
        DecodeChangeReport(file, kind);
}

void Tfrm_Main::Button3Click() {
    // The dialog disables the window while it is up, so a second run cannot start meanwhile.
    ScaleMemoryTest(*FScaleBus, *m_progressForm, Edit1->text(), ScaleTestFile(FDataDir));
}

void Tfrm_Main::btn5Click() {
    DecodeChangeReport(FLastOpenedFile, ReportKind::Tax);
}

void Tfrm_Main::Button6Click() {
    QStringList lines;
    const QString base = QStringLiteral("AAAAAAAAAABBBBBBBBBBCCCCCCCCCCDDDDDDD");
    for (int i = 0; i < 1000; ++i)
        lines << base + QStringLiteral("%1").arg(i, 3, 10, QLatin1Char('0'));
    for (int i = 0; i <= 100; ++i)
        lines << base + QStringLiteral("%1").arg(i, 3, 10, QLatin1Char('0'));
    for (const QString& line : lines)
        Memo1->append(line);
}

// ---------------------------------------------------------------------------------------
// Delete, Burn

void Tfrm_Main::btn4Click() {
    if (dxlist.IsEmpty())
        return;
    // The grid moves its own cursor while the row goes; that move must not pick another
    // entry before the current one is removed.
    m_syncingGrid = true;
    m_listModel->DeleteCurrent();
    m_syncingGrid = false;
    SyncGridToList();
    SaveList();
}

void Tfrm_Main::N1Click() {
    btn4Click();
}

void Tfrm_Main::btn2Click() {
    TArchiveHandOver& archive = ArchiveWindow();
    archive.ClearFiles();
    QList<int> rows;
    for (const QModelIndex& index : wwfilelist->selectionModel()->selectedRows())
        rows << index.row();
    std::sort(rows.begin(), rows.end());
    wwfilelist->setUpdatesEnabled(false);
    for (const int row : rows) {
        m_listModel->SetCurrent(row);
        const ReportListEntry* entry = dxlist.Current();
        if (entry && !entry->filename.isEmpty() && QFileInfo(entry->filename).isFile())
            archive.AddFile(entry->filename);
    }
    if (!dxlist.IsEmpty())
        m_listModel->SetCurrent(0);
    SyncGridToList();
    wwfilelist->setUpdatesEnabled(true);
    archive.ShowModal(this);
}

// ---------------------------------------------------------------------------------------
// Print

void Tfrm_Main::btn3Click() {
    QStringList lines = MemoLines();
    if (lines.isEmpty())
        lines << QString();
    StringGrid1->setRowCount(int(lines.size()));
    for (int i = 0; i < lines.size(); ++i)
        StringGrid1->setItem(i, 0, new QTableWidgetItem(lines.at(i)));
    QFont gridFont(QStringLiteral("Courier New"));
    gridFont.setStyleHint(QFont::TypeWriter);
    gridFont.setPointSize(kPrintFontPoints);
    StringGrid1->setFont(gridFont);

    QPrinter printer(QPrinter::HighResolution);
    if (!m_dialogs->SetUpPrinter(this, printer))
        return;
    PrintReport(FPrintColumns, printer);
}

void Tfrm_Main::PrintReport(int Columns, QPrinter& Printer) {
    QStringList lines;
    for (int i = 0; i < StringGrid1->rowCount(); ++i) {
        const QTableWidgetItem* item = StringGrid1->item(i, 0);
        lines << (item ? item->text() : QString());
    }
    if (lines.isEmpty())
        lines << QString();

    QPainter painter;
    if (!painter.begin(&Printer)) {
        ShowMessage(QStringLiteral("The printer could not be started."), QStringLiteral("OrvexFM"),
                    MessageIcon::Critical);
        return;
    }
    const QFont font(StringGrid1->font(), &Printer);
    painter.setFont(font);
    const QFontMetrics metrics(font, &Printer);
    const QList<int> heights(lines.size(), metrics.height());
    const PrintLayout layout = LayOutPrint(Printer.width(), Printer.height(), Columns, heights);

    const QColor background = Qt::white;
    int page = 0;
    int column = 0;
    painter.fillRect(layout.Columns.at(column++).Box, background);
    for (int i = 0; i < lines.size(); ++i) {
        const PrintedLine& line = layout.Lines.at(i);
        if (line.Page != page) {
            Printer.newPage();
            page = line.Page;
        }
        if (column < layout.Columns.size() && layout.Columns.at(column).Page == line.Page &&
            layout.Columns.at(column).Box.topLeft() == line.Box.topLeft()) {
            painter.setClipping(false);
            painter.fillRect(layout.Columns.at(column++).Box, background);
        }
        painter.setClipRect(line.Box);
        painter.drawText(line.Box.left(), line.Box.top() + metrics.ascent(), lines.at(i));
    }
    painter.end();
}
