#pragma once

#include <QDialog>

class QPlainTextEdit;

// One day's log in a scrolling text box; the caret goes to the end, to the latest entries,
// every time the viewer becomes active.
class frmViewLog final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmViewLog)

  public:
    explicit frmViewLog(QWidget* parent = nullptr);

    // Fills the box piece by piece, letting events run between the pieces. Returns false when
    // the viewer was closed meanwhile (it may then be gone: touch nothing of it).
    [[nodiscard]] bool setText(const QString& text);
    QPlainTextEdit* txtLog;

  protected:
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void Form_Activate();
    void Form_Resize();

    bool closing_ = false;
};
