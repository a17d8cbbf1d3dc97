#include "app/core/report_list_model.h"

ReportListModel::ReportListModel(ReportList& List, QObject* Parent)
    : QAbstractTableModel(Parent), m_list(List) {}

void ReportListModel::AddListEntry(const QString& FileName, const QString& ReportTypeCaption,
                                   const QDate& Day) {
    const int row = int(m_list.Count());
    beginInsertRows(QModelIndex(), row, row);
    m_list.AddListEntry(FileName, ReportTypeCaption, Day);
    endInsertRows();
}

bool ReportListModel::DeleteCurrent() {
    const int row = int(m_list.CurrentIndex());
    if (row < 0)
        return false;
    beginRemoveRows(QModelIndex(), row, row);
    m_list.DeleteCurrent();
    endRemoveRows();
    return true;
}

ReportListLoadResult ReportListModel::Load(const QString& Path) {
    beginResetModel();
    ReportListLoadResult result = m_list.Load(Path);
    endResetModel();
    return result;
}

int ReportListModel::rowCount(const QModelIndex& Parent) const {
    return Parent.isValid() ? 0 : int(m_list.Count());
}

int ReportListModel::columnCount(const QModelIndex& Parent) const {
    return Parent.isValid() ? 0 : ColumnCount;
}

QVariant ReportListModel::data(const QModelIndex& Index, int Role) const {
    if (!Index.isValid() || Index.row() >= m_list.Count() || Role != Qt::DisplayRole)
        return {};
    const ReportListEntry& entry = m_list.At(Index.row());
    switch (Index.column()) {
    case FilenameColumn:
        return entry.filename;
    case DateColumn:
        return entry.dCreate;
    default:
        return {};
    }
}

QVariant ReportListModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
    if (Orientation != Qt::Horizontal)
        return {};
    if (Role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
    if (Role != Qt::DisplayRole)
        return {};
    switch (Section) {
    case FilenameColumn:
        return QStringLiteral("Filename");
    case DateColumn:
        return QStringLiteral("Update Date");
    default:
        return {};
    }
}
