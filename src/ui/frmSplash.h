#pragma once

#include <QIcon>
#include <QTimer>
#include <QWidget>

class QFrame;
class QLabel;

// The first window the operator sees: product, platform, version, maker and a short notice,
// topmost for about five seconds; a key press or a click closes it at once.
class frmSplash final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmSplash)

  public:
    explicit frmSplash(const QIcon& logo, QWidget* parent = nullptr);

    static QString platformName();

    qint16 SplashTicks = 0;
    QTimer tmrSplash;
    void tmrSplash_Timer();

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

    void showEvent(QShowEvent* event) override;

  private:
    void drawLogo();
    QLabel* addLabel(const char* name, int left, int top, int width, int height);

    QFrame* Frame1;
    QLabel* imgLogo;
    QIcon logo_;
};
