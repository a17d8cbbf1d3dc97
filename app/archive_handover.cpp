#include "app/archive_handover.h"

#include "app/dialogs.h"

void TPendingBurnList::ShowModal(QWidget* Parent) {
    QString text = m_files.isEmpty()
                       ? QStringLiteral("No files to write to the disc.")
                       : QStringLiteral("Files to write to the disc:\n") + m_files.join('\n');
    m_dialogs.ShowMessage(Parent, text, Caption, MessageIcon::Information);
}
