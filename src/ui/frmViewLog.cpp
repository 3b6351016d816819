#include "ui/frmViewLog.h"

#include "platform/EventPump.h"
#include "ui/LogLines.h"
#include "ui/WindowRoutines.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QListView>
#include <QPointer>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <algorithm>

using namespace WindowRoutines;

namespace {

// Every line as wide as the longest, so that the view scrolls sideways to the end of any line
// while asking the file for no line that is out of sight.
class LineDelegate final : public QStyledItemDelegate {
  public:
    LineDelegate(const LogLines* lines, QObject* parent)
        : QStyledItemDelegate(parent), lines_(lines) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const QSize hint = QStyledItemDelegate::sizeHint(option, index);
        const qint64 chars = std::min<qint64>(lines_->longestLine(), 4096);
        const int width =
            option.fontMetrics.horizontalAdvance(QLatin1Char('M')) * static_cast<int>(chars + 2);
        return {std::max(hint.width(), width), hint.height()};
    }

  private:
    const LogLines* lines_;
};

} // namespace

frmViewLog::frmViewLog(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("frmViewLog"));
    setWindowTitle(QStringLiteral("Log"));
    lines_ = new LogLines(this);
    txtLog = new QListView(this);
    txtLog->setObjectName(QStringLiteral("txtLog"));
    // Fixed pitch: the columns of the entries line up, and the width of a line is known.
    txtLog->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    txtLog->setUniformItemSizes(true); // one size asked for, not a million
    txtLog->setItemDelegate(new LineDelegate(lines_, txtLog));
    txtLog->setModel(lines_);
    txtLog->setTextElideMode(Qt::ElideNone);
    txtLog->setSelectionMode(QAbstractItemView::ContiguousSelection);
    txtLog->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                            QAbstractItemView::AnyKeyPressed);
    txtLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtLog->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    // Laid out in batches with events running between them: at a million lines, one pass kept
    // the monitor from its events for over 100 ms. The end, where the caret is, stays in view
    // while the batches come in, until the operator moves.
    txtLog->setLayoutMode(QListView::Batched);
    txtLog->setBatchSize(50000);
    connect(txtLog->verticalScrollBar(), &QScrollBar::rangeChanged, this, [this] {
        if (atEnd_)
            txtLog->scrollToBottom();
    });
    connect(txtLog->verticalScrollBar(), &QScrollBar::actionTriggered, this,
            [this] { atEnd_ = false; });
    connect(txtLog->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                atEnd_ = atEnd_ && current.row() == lines_->rowCount() - 1;
            });
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

bool frmViewLog::openFile(const QString& path) {
    const QPointer<frmViewLog> self(this);
    // A day's log can run to a gigabyte: events run between the pieces of the scan, and a
    // view command run meanwhile may close this viewer.
    const bool whole = lines_->open(path, [self] {
        EventPump::letEventsRun();
        return !self.isNull() && !self->closing_;
    });
    return whole;
}

void frmViewLog::setText(const QString& text) {
    lines_->setText(text);
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
    // The latest entries, those written since the viewer opened included, with the caret after
    // the last one and nothing selected.
    lines_->follow();
    const int rows = lines_->rowCount();
    if (rows == 0)
        return;
    txtLog->selectionModel()->setCurrentIndex(lines_->index(rows - 1), QItemSelectionModel::Clear);
    txtLog->scrollToBottom();
    atEnd_ = true;
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
    lines_->clear();
    event->accept();
}
