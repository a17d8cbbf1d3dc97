#include "app/dialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QRegularExpression>
#include <QUrl>

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

} // namespace

void QtDialogs::ShowMessage(QWidget* Parent, const QString& Text, const QString& Caption,
                            MessageIcon Icon) {
    QMessageBox box(Parent);
    box.setWindowTitle(Caption.isEmpty() ? QStringLiteral("OrvexFM") : Caption);
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
