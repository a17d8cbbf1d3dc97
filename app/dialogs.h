#pragma once

#include <QString>
#include <QStringList>

class QPrinter;
class QWidget;

// What a file dialog is asked: the filters in the "Text files (*.txt)" form, which of them is
// selected, the extension added to a name typed without one, and the folder it opens in.
struct FileDialogRequest {
    QString Title;
    QStringList Filters;
    int SelectedFilter = 0;
    QString DefaultSuffix; // without the dot
    QString Directory;
};

enum class MessageIcon { None, Information, Warning, Critical };

// Every modal question and notice of the main window goes through this one interface: message
// boxes, the open/save/print dialogs and the shell's "open" of a folder. The program uses the
// real dialogs (QtDialogs); a test installs an answerer that replies from a script, so the
// window can be driven without a screen or an operator.
class TDialogs {
public:
    virtual ~TDialogs() = default;

    // A modal notice with an OK button.
    virtual void ShowMessage(QWidget* Parent, const QString& Text, const QString& Caption,
                             MessageIcon Icon) = 0;
    // A yes/no question; true when the operator answered yes. No is the default answer.
    virtual bool Confirm(QWidget* Parent, const QString& Text, const QString& Caption) = 0;
    // The chosen file, or an empty text when the operator cancelled.
    virtual QString SaveFileName(QWidget* Parent, const FileDialogRequest& Request) = 0;
    virtual QString OpenFileName(QWidget* Parent, const FileDialogRequest& Request) = 0;
    // The print dialog on Printer; false when cancelled. The dialog may change the printer's
    // settings (destination, output file, page size).
    virtual bool SetUpPrinter(QWidget* Parent, QPrinter& Printer) = 0;
    // The system shell's "open" of a folder (the desktop's file manager). Errors are ignored.
    virtual void OpenFolder(const QString& Folder) = 0;
};

// The real dialogs of the desktop.
class QtDialogs : public TDialogs {
public:
    void ShowMessage(QWidget* Parent, const QString& Text, const QString& Caption,
                     MessageIcon Icon) override;
    bool Confirm(QWidget* Parent, const QString& Text, const QString& Caption) override;
    QString SaveFileName(QWidget* Parent, const FileDialogRequest& Request) override;
    QString OpenFileName(QWidget* Parent, const FileDialogRequest& Request) override;
    bool SetUpPrinter(QWidget* Parent, QPrinter& Printer) override;
    void OpenFolder(const QString& Folder) override;
};
