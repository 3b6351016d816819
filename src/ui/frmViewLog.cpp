#include "frmViewLog.h"

#include "WindowRoutines.h"

#include <QCloseEvent>
#include <QPlainTextEdit>
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
}

void frmViewLog::setText(const QString& text) {
    // The log's lines end in CR LF; the box wants LF alone.
    txtLog->setPlainText(QString(text).remove(QLatin1Char('\r')));
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
    const int width = twipsToPixelsX(this, pixelsToTwipsX(this, frameGeometry().width()) - 150);
    const int height = twipsToPixelsY(this, pixelsToTwipsY(this, frameGeometry().height()) - 350);
    txtLog->setGeometry(0, 0, std::max(width, 0), std::max(height, 0));
}

void frmViewLog::closeEvent(QCloseEvent* event) {
    txtLog->clear();
    event->accept();
}
