#pragma once
// CAddWebPer: the window in which the user adds an own web site (module "2")
// or download file (module "4") to the user's task document. It checks the
// name and address, shows the first failing check in red and stays open, or
// stores the item and closes with Accepted.
//
// Thread-safety: GUI thread only.
#include "ui/skin.h"

#include <string>

class QLabel;
class QLineEdit;

namespace quorvane
{

class CAddWebPer : public ui::SkinDialog
{
    Q_OBJECT
public:
    CAddWebPer(std::string userId, std::string moduleId, QWidget* parent = nullptr);

    // The add button: checks, stores, closes. False while the window stays.
    bool OnAdd();

    QLineEdit* nameField() const { return m_name; }
    QLineEdit* addressField() const { return m_address; }
    QString errorText() const; // "" while the error line is hidden
    const std::string& moduleId() const { return m_moduleId; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void showError(const QString& text);

    std::string m_userId;
    std::string m_moduleId;
    QLineEdit* m_name = nullptr;
    QLineEdit* m_address = nullptr;
    QLabel* m_error = nullptr;
};

} // namespace quorvane
