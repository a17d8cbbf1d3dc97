#include "archive/burn_dialogs.h"

#include <QApplication>
#include <QFileDialog>

QStringList TQtBurnDialogs::OpenFiles(QWidget* Owner, const QString& Filter) {
    return QFileDialog::getOpenFileNames(Owner, QString(), QString(), Filter);
}

QString TQtBurnDialogs::BrowseFolder(QWidget* Owner, const QString& Title) {
    return QFileDialog::getExistingDirectory(Owner, Title, QString(), QFileDialog::ShowDirsOnly);
}

QString TQtBurnDialogs::SaveFile(QWidget* Owner, const QString& Title, const QString& Filter) {
    return QFileDialog::getSaveFileName(Owner, Title, QString(), Filter, nullptr,
                                        QFileDialog::DontConfirmOverwrite);
}

void TQtBurnDialogs::Beep() {
    QApplication::beep();
}
