#include "app/dialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QUrl>

namespace {

QString RunSaveDialog(QWidget* Parent, const FileDialogRequest& Request,
                      QFileDialog::AcceptMode Mode) {
    QFileDialog dialog(Parent, Request.Title, Request.Directory);
    dialog.setAcceptMode(Mode);
    dialog.setFileMode(Mode == QFileDialog::AcceptSave ? QFileDialog::AnyFile
                                                       : QFileDialog::ExistingFile);
    dialog.setNameFilters(Request.Filters);
    if (Request.SelectedFilter >= 0 && Request.SelectedFilter < Request.Filters.size())
        dialog.selectNameFilter(Request.Filters.at(Request.SelectedFilter));
    dialog.setDefaultSuffix(Request.DefaultSuffix);
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
    return RunSaveDialog(Parent, Request, QFileDialog::AcceptSave);
}

QString QtDialogs::OpenFileName(QWidget* Parent, const FileDialogRequest& Request) {
    // The operator may type a name that does not exist; the decoder then says
    // "file not exists", so the dialog does not insist on an existing file.
    QFileDialog dialog(Parent, Request.Title, Request.Directory);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(Request.Filters);
    if (Request.SelectedFilter >= 0 && Request.SelectedFilter < Request.Filters.size())
        dialog.selectNameFilter(Request.Filters.at(Request.SelectedFilter));
    dialog.setDefaultSuffix(Request.DefaultSuffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

bool QtDialogs::SetUpPrinter(QWidget* Parent, QPrinter& Printer) {
    QPrintDialog dialog(&Printer, Parent);
    return dialog.exec() == QDialog::Accepted;
}

void QtDialogs::OpenFolder(const QString& Folder) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(Folder));
}
