#pragma once
// The busy animation shown while a request runs: the animated image
// "<name>.gif" under Image when present, otherwise a turning arc.
#include <QWidget>

class QMovie;
class QTimer;

namespace quorvane::ui
{

class BusyIndicator : public QWidget
{
    Q_OBJECT
public:
    explicit BusyIndicator(const QString& imageName, QWidget* parent = nullptr);

    bool isAnimating() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void animate(bool on);
    QMovie* m_movie = nullptr;
    QTimer* m_timer = nullptr;
    int m_angle = 0;
};

} // namespace quorvane::ui
