#include "frmViewLog.h"

#include "EventPump.h"
#include "WindowRoutines.h"

#include <QCloseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <algorithm>

using namespace WindowRoutines;

frmViewLog::frmViewLog(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("frmViewLog"));
    setWindowTitle(QStringLiteral("Log"));
    txtLog = new QPlainTextEdit(this);
    txtLog->setObjectName(QStringLiteral("txtLog"));
    txtLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtLog->setLineWrapMode(QPlainTextEdit::NoWrap);
    // The rule below assumes at least 150 by 350 twips of outer size.
    setMinimumSize(twipsToPixelsX(this, 150) + 1, twipsToPixelsY(this, 350) + 1);
    resize(twipsToPixelsX(this, 5670), twipsToPixelsY(this, 2700));
    // The rule works on the outer size, which is known only once the window is decorated;
    // the centring on the owner as well.
    onFrameChange(this, [this] {
        Form_Resize();
        if (const QWidget* owner = parentWidget(); owner != nullptr && owner->isVisible())
            centreOuterOn(this, owner);
    });
}

bool frmViewLog::setText(const QString& text) {
    // The log's lines end in CR LF; the box wants LF alone.
    const QString plain = QString(text).remove(QLatin1Char('\r'));
    // A day's log can run to megabytes; filling it in one go would freeze the monitor.
    constexpr qsizetype piece = 64 * 1024;
    const QPointer<frmViewLog> self(this);
    txtLog->setUndoRedoEnabled(false);
    txtLog->clear();
    QTextCursor cursor(txtLog->document());
    for (qsizetype at = 0; at < plain.size(); at += piece) {
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(plain.mid(at, piece));
        if (at + piece < plain.size()) {
            EventPump::letEventsRun();
            if (self.isNull() || closing_)
                return false;
        }
    }
    return true;
}

bool frmViewLog::event(QEvent* event) {
    const bool handled = QDialog::event(event);
    if (event->type() == QEvent::WindowActivate)
        Form_Activate();
    return handled;
}

void frmViewLog::Form_Activate() {
    FlatLook(this);
    FlatLook(txtLog);
    txtLog->moveCursor(QTextCursor::End);
    txtLog->ensureCursorVisible();
}

void frmViewLog::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    Form_Resize();
}

void frmViewLog::Form_Resize() {
    const int width = twipsToPixelsX(this, pixelsToTwipsX(this, outerGeometry(this).width()) - 150);
    const int height =
        twipsToPixelsY(this, pixelsToTwipsY(this, outerGeometry(this).height()) - 350);
    txtLog->setGeometry(0, 0, std::max(width, 0), std::max(height, 0));
}

void frmViewLog::closeEvent(QCloseEvent* event) {
    closing_ = true;
    txtLog->clear();
    event->accept();
}
