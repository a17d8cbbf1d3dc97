#pragma once

#include "app/core/report_list.h"

#include <QAbstractTableModel>

// Table view of a ReportList for the main window's grid: the columns "Filename" and
// "Update Date" (the report type is kept but not shown). Changes that add or remove rows go
// through the model so that attached views hear of them; the list itself stays the owner of
// the entries and of the current-entry rules.
class ReportListModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { FilenameColumn = 0, DateColumn = 1, ColumnCount = 2 };

    explicit ReportListModel(ReportList& List, QObject* Parent = nullptr);

    const ReportList& List() const { return m_list; }

    void AddListEntry(const QString& FileName, const QString& ReportTypeCaption,
                      const QDate& Day = QDate::currentDate());
    bool DeleteCurrent();
    ReportListLoadResult Load(const QString& Path);
    bool SetCurrent(int Row) { return m_list.SetCurrent(Row); }

    int rowCount(const QModelIndex& Parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& Parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
    QVariant headerData(int Section, Qt::Orientation Orientation,
                        int Role = Qt::DisplayRole) const override;

private:
    ReportList& m_list;
};
