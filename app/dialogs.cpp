#include "app/dialogs.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>

namespace {

// The extension in the pattern of a filter such as "HEX files(*.hex)"; empty for "(*)" or
// "(*.*)".
QString SuffixOfFilter(const QString& Filter) {
    static const QRegularExpression pattern(QStringLiteral("\\(\\*\\.([A-Za-z0-9]+)"));
    const auto m = pattern.match(Filter);
    return m.hasMatch() ? m.captured(1) : QString();
}

QString RunFileDialog(QWidget* Parent, const FileDialogRequest& Request,
                      QFileDialog::AcceptMode Mode) {
    QFileDialog dialog(Parent, Request.Title, Request.Directory);
    dialog.setAcceptMode(Mode);
    // Open does not insist on an existing file: a missing one is reported by the decoder
    // ("file not exists").
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(Request.Filters);
    dialog.setDefaultSuffix(Request.DefaultSuffix);
    if (Request.SelectedFilter >= 0 && Request.SelectedFilter < Request.Filters.size()) {
        const QString filter = Request.Filters.at(Request.SelectedFilter);
        dialog.selectNameFilter(filter);
        if (Mode == QFileDialog::AcceptSave && !SuffixOfFilter(filter).isEmpty())
            dialog.setDefaultSuffix(SuffixOfFilter(filter));
    }
    // A name typed without extension takes that of the filter shown: an upload saved under
    // "HEX files" becomes ".hex", a text under "Text files" ".txt".
    if (Mode == QFileDialog::AcceptSave) {
        QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                         [&dialog, &Request](const QString& Filter) {
                             const QString suffix = SuffixOfFilter(Filter);
                             dialog.setDefaultSuffix(suffix.isEmpty() ? Request.DefaultSuffix
                                                                      : suffix);
                         });
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

// A message box is as narrow as its text; a short text ("Finish") would leave too little room
// for the title, which the window manager then cuts to "O...". The box is made wide enough
// for its title beside the title bar's buttons, and never narrower than a usual notice.
constexpr int kMessageMinimumWidth = 320;
constexpr int kTitleBarButtonsWidth = 140;

void MakeTitleReadable(QMessageBox& Box) {
    auto* grid = qobject_cast<QGridLayout*>(Box.layout());
    if (!grid)
        return;
    const int title = QFontMetrics(QApplication::font()).horizontalAdvance(Box.windowTitle());
    const int width = std::max(kMessageMinimumWidth, title + kTitleBarButtonsWidth);
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
}

QString BoxTitle(const QString& Caption) {
    return Caption.isEmpty() ? QStringLiteral("OrvexFM") : Caption;
}

} // namespace

bool QtDialogs::Confirm(QWidget* Parent, const QString& Text, const QString& Caption) {
    QMessageBox box(Parent);
    box.setWindowTitle(BoxTitle(Caption));
    box.setText(Text);
    box.setIcon(QMessageBox::Question);
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    MakeTitleReadable(box);
    return box.exec() == QMessageBox::Yes;
}

void QtDialogs::ShowMessage(QWidget* Parent, const QString& Text, const QString& Caption,
                            MessageIcon Icon) {
    QMessageBox box(Parent);
    box.setWindowTitle(BoxTitle(Caption));
    box.setText(Text);
    switch (Icon) {
    case MessageIcon::None:
        box.setIcon(QMessageBox::NoIcon);
        break;
    case MessageIcon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    case MessageIcon::Warning:
        box.setIcon(QMessageBox::Warning);
        break;
    case MessageIcon::Critical:
        box.setIcon(QMessageBox::Critical);
        break;
    }
    box.setStandardButtons(QMessageBox::Ok);
    MakeTitleReadable(box);
    box.exec();
}

QString QtDialogs::SaveFileName(QWidget* Parent, const FileDialogRequest& Request) {
    return RunFileDialog(Parent, Request, QFileDialog::AcceptSave);
}

QString QtDialogs::OpenFileName(QWidget* Parent, const FileDialogRequest& Request) {
    return RunFileDialog(Parent, Request, QFileDialog::AcceptOpen);
}

bool QtDialogs::SetUpPrinter(QWidget* Parent, QPrinter& Printer) {
    QPrintDialog dialog(&Printer, Parent);
    return dialog.exec() == QDialog::Accepted;
}

void QtDialogs::OpenFolder(const QString& Folder) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(Folder));
}
