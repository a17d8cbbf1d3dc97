#pragma once

#include "app/archive_handover.h"

class TBurnFrm;

// The "Burn" hand-over onto the archiving window.
class TBurnFrmHandOver : public TArchiveHandOver {
public:
    explicit TBurnFrmHandOver(TBurnFrm& Window) : m_window(Window) {}
    void ClearFiles() override;
    void AddFile(const QString& Path) override;
    void ShowModal(QWidget* Parent) override;

private:
    TBurnFrm& m_window;
};
