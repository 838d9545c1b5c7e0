#pragma once
// The Qt widget behind a TForm: passes painting, pointer events and closing to the form.

#include <QWidget>

namespace tarvio {

class TForm;

class TFormWindow : public QWidget {
public:
    explicit TFormWindow(TForm& Form);

protected:
    void paintEvent(QPaintEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;

private:
    TForm& FForm;
};

} // namespace tarvio
