#pragma once
// The about box: program name, installed version and a short description.
#include "ui/skin.h"

namespace quorvane
{

class CAboutDlg : public ui::SkinDialog
{
    Q_OBJECT
public:
    CAboutDlg(const QString& version, QWidget* parent = nullptr);
};

} // namespace quorvane
