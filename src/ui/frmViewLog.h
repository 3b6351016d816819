#pragma once

#include <QDialog>

class LogLines;
class QListView;

// One day's log in a scrolling box; the caret goes to the end, to the latest entries, every time
// the viewer becomes active. The box reads the file as its lines come into view, so a log of any
// size opens at once and costs little memory; closing lets go of it all.
class frmViewLog final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmViewLog)

  public:
    explicit frmViewLog(QWidget* parent = nullptr);

    // Shows the file, letting events run while it is indexed. Returns false when the viewer was
    // closed meanwhile (it may then be gone: touch nothing of it).
    [[nodiscard]] bool openFile(const QString& path);
    // Shows a text instead of a file (what the log says of a day without one).
    void setText(const QString& text);
    LogLines* lines() const { return lines_; }
    QListView* txtLog;

  protected:
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void Form_Activate();
    void Form_Resize();

    LogLines* lines_;
    bool closing_ = false;
    bool atEnd_ = false; // the caret on the last line, kept in view while the lines are laid out
};
