#pragma once
// A page of the main window whose content comes later. It says so plainly
// and shows no figures, so nothing on it can be mistaken for a measurement.
#include <QWidget>

namespace quorvane
{

class CEmptyPage : public QWidget
{
    Q_OBJECT
public:
    CEmptyPage(const QString& objectName, const QString& title, QWidget* parent);
};

} // namespace quorvane
