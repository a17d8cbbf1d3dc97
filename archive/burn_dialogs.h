#pragma once

#include <QString>
#include <QStringList>

class QWidget;

// Everything the archiving window asks the operator or the desktop for, behind one seam so a
// test can answer instead of a modal dialog.
class TBurnDialogs {
public:
    virtual ~TBurnDialogs() = default;
    // Files chosen in an open dialog (several allowed), in the dialog's order; empty = cancelled.
    virtual QStringList OpenFiles(QWidget* Owner, const QString& Filter) = 0;
    // A folder chosen in the folder browser; empty = cancelled.
    virtual QString BrowseFolder(QWidget* Owner, const QString& Title) = 0;
    // A new file's name from a save dialog; empty = cancelled. The dialog does not offer to
    // overwrite: the window never does.
    virtual QString SaveFile(QWidget* Owner, const QString& Title, const QString& Filter) = 0;
    // The standard beep.
    virtual void Beep() = 0;
};

// The real dialogs.
class TQtBurnDialogs : public TBurnDialogs {
public:
    QStringList OpenFiles(QWidget* Owner, const QString& Filter) override;
    QString BrowseFolder(QWidget* Owner, const QString& Title) override;
    QString SaveFile(QWidget* Owner, const QString& Title, const QString& Filter) override;
    void Beep() override;
};
