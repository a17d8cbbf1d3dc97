#include "app/archive_window_link.h"

#include "archive/burn_form.h"

void TBurnFrmHandOver::ClearFiles() {
    m_window.ClearFiles();
}

void TBurnFrmHandOver::AddFile(const QString& Path) {
    m_window.AddFile(Path);
}

void TBurnFrmHandOver::ShowModal(QWidget* Parent) {
    m_window.ShowModal(Parent);
}
