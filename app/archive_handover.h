#pragma once

#include <QString>
#include <QStringList>

class TDialogs;
class QWidget;

// What the "Burn" command asks of the archiving window: empty its file list, take the reports
// of the selected list entries one by one, then show itself modally.
class TArchiveHandOver {
public:
    virtual ~TArchiveHandOver() = default;
    virtual void ClearFiles() = 0;
    virtual void AddFile(const QString& Path) = 0;
    virtual void ShowModal(QWidget* Parent) = 0;
};

// Stand-in used while no archiving window is attached: collects the files and, when shown,
// tells the operator which files would be handed over (one path a line), caption "Burn" (or
// the language file's s20).
class TPendingBurnList : public TArchiveHandOver {
public:
    explicit TPendingBurnList(TDialogs& Dialogs) : m_dialogs(Dialogs) {}

    void ClearFiles() override { m_files.clear(); }
    void AddFile(const QString& Path) override { m_files.append(Path); }
    void ShowModal(QWidget* Parent) override;

    const QStringList& Files() const { return m_files; }
    QString Caption = QStringLiteral("Burn");

private:
    TDialogs& m_dialogs;
    QStringList m_files;
};
