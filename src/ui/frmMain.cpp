#include "ui/frmMain.h"

#include "core/MonitorModel.h"
#include "log/Log.h"
#include "tasks/TaskList.h"
#include "tasks/TaskTable.h"
#include "ui/AppIcons.h"
#include "ui/WindowRoutines.h"
#include "ui/frmViewLog.h"
#include "ui/frmViewTask.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListView>
#include <QLocale>
#include <QMenuBar>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <algorithm>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <cmath>

using namespace WindowRoutines;

namespace {

// Short date formats often carry a two-digit year, which would read back a century early.
QString fourDigitYear(QString format) {
    if (!format.contains(QStringLiteral("yyyy")))
        format.replace(QStringLiteral("yy"), QStringLiteral("yyyy"));
    return format;
}

// A tool window stays out of the task bar; without a notification area the task bar is the
// only way back to the monitor, so it is an ordinary window there.
Qt::WindowFlags windowFlagsFor(bool trayAvailable) {
    Qt::WindowFlags flags =
        Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
    if (trayAvailable)
        flags |= Qt::Tool;
    else
        flags |= Qt::WindowMinimizeButtonHint;
    return flags;
}

// Long enough to be read, short enough not to stand in for the status line for good.
constexpr int noticeMilliseconds = 20000;

// Every entry as wide as the list, so that a long name is elided rather than pushed out of
// sight behind a sideways scroll bar.
class RowDelegate final : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const QSize hint = QStyledItemDelegate::sizeHint(option, index);
        const auto* view = qobject_cast<const QAbstractItemView*>(parent());
        return {view != nullptr ? view->viewport()->width() : hint.width(), hint.height()};
    }
};

// A list that marks only what the operator selects. A plain view makes an entry current on
// its own when it gets the focus (the first arrow key then skips that entry), and selects the
// neighbour of a selected entry that leaves the list (which would open that task's details).
// While it has the focus it says so with a frame in the highlight colour, which the style
// draws for a focused entry only, and not at all when there is none.
class TaskListView final : public QListView {
  public:
    explicit TaskListView(QWidget* parent) : QListView(parent) {
        setItemDelegate(new RowDelegate(this));
        setTextElideMode(Qt::ElideRight);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setResizeMode(QListView::Adjust);
        setUniformItemSizes(true);
        setFocusPolicy(Qt::StrongFocus);
    }

  protected:
    void paintEvent(QPaintEvent* event) override {
        QListView::paintEvent(event);
        if (!hasFocus())
            return;
        QPainter painter(viewport());
        painter.setPen(QPen(palette().color(QPalette::Highlight), 0));
        painter.drawRect(viewport()->rect().adjusted(0, 0, -1, -1));
        painter.drawRect(viewport()->rect().adjusted(1, 1, -2, -2));
    }

    void focusOutEvent(QFocusEvent* event) override {
        QListView::focusOutEvent(event);
        viewport()->update();
    }

    void focusInEvent(QFocusEvent* event) override {
        const bool hadCurrent = currentIndex().isValid();
        QListView::focusInEvent(event);
        viewport()->update();
        if (!hadCurrent && currentIndex().isValid() &&
            !selectionModel()->isSelected(currentIndex()))
            selectionModel()->clearCurrentIndex();
    }

    void rowsAboutToBeRemoved(const QModelIndex& parent, int start, int end) override {
        const QModelIndex current = currentIndex();
        if (current.isValid() && current.row() >= start && current.row() <= end)
            selectionModel()->clear();
        QListView::rowsAboutToBeRemoved(parent, start, end);
    }
};

} // namespace

frmMain::frmMain(MonitorModel& monitor, bool trayAvailable, QWidget* parent)
    : QMainWindow(parent), monitor_(monitor), trayAvailable_(trayAvailable) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowFlags(windowFlagsFor(trayAvailable_));
    setWindowIcon(AppIcons::normalIcon());
    setFont(designFont(QStringLiteral("MS Sans Serif"), 8.25));

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);

    const auto place = [this](QWidget* widget, const char* name, int left, int top, int width,
                              int height) {
        widget->setObjectName(QString::fromLatin1(name));
        widget->setGeometry(twipsToPixelsX(this, left), twipsToPixelsY(this, top),
                            twipsToPixelsX(this, width), twipsToPixelsY(this, height));
    };
    Label1 = new QLabel(client);
    place(Label1, "Label1", 240, 60, 2295, 195);
    lblUP = new QLabel(client);
    place(lblUP, "lblUP", 30, 360, 195, 735);
    List1 = new TaskListView(client);
    place(List1, "List1", 210, 330, 3015, 1035);
    lblDown = new QLabel(client);
    place(lblDown, "lblDown", 30, 1470, 195, 1005);
    List2 = new TaskListView(client);
    place(List2, "List2", 210, 1470, 3045, 840);
    for (QLabel* caption : {lblUP, lblDown}) {
        caption->setFont(designFont(QStringLiteral("MS Sans Serif"), 8.25, false, true));
        caption->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    }

    List1->setModel(&monitor_.upList);
    List2->setModel(&monitor_.downList);
    watchSelection(List1, List2);
    watchSelection(List2, List1);
    connect(&monitor_.downList, &QAbstractItemModel::rowsInserted, this, &frmMain::updateTitle);
    connect(&monitor_.downList, &QAbstractItemModel::rowsRemoved, this, &frmMain::updateTitle);
    connect(&monitor_.downList, &QAbstractItemModel::modelReset, this, &frmMain::updateTitle);
    noticeTimer_.setSingleShot(true);
    noticeTimer_.setInterval(noticeMilliseconds);
    connect(&noticeTimer_, &QTimer::timeout, this, [this] { Label1->setText(statusText_); });

    buildMenus();
    resize(twipsToPixelsX(this, 5175), twipsToPixelsY(this, 3255) + menuBar()->sizeHint().height());
    // Centred on the screen for its first showing, whenever that comes; the frame is known
    // only once the window manager has decorated the window, and the lists follow it.
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    onFrameChange(this, [this] {
        if (!centred_ && windowState() == Qt::WindowNoState) {
            if (const QScreen* screen = QGuiApplication::primaryScreen()) {
                const QSize outer = outerGeometry(this).size();
                moveOuterTo(this, screen->availableGeometry().center() -
                                      QPoint(outer.width() / 2, outer.height() / 2));
            }
            centred_ = frameExtent(this) != QSize(0, 0);
            if (centred_)
                keepOnScreen(this);
        }
        Form_Resize();
    });
    askDate = [this](const QString& defaultReply, bool* ok) {
        return askDateWithDialog(defaultReply, ok);
    };
    viewTask_ = new frmViewTask(monitor_.tasks, monitor_.taskFunctions, monitor_.eventLog, this);
}

frmMain::~frmMain() = default;

void frmMain::buildMenus() {
    const auto item = [this](QMenu* menu, const char* name, const char* caption) {
        QAction* action = menu->addAction(QString::fromLatin1(caption));
        action->setObjectName(QString::fromLatin1(name));
        return action;
    };
    // Access keys on every menu and item, so that the keyboard reaches every command.
    QMenu* mnuFile = menuBar()->addMenu(QStringLiteral("&File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuFileExit = item(mnuFile, "mnuFileExit", "E&xit");

    QMenu* mnuLogs = menuBar()->addMenu(QStringLiteral("&Logs"));
    mnuLogs->setObjectName(QStringLiteral("mnuLogs"));
    mnuLogsView = item(mnuLogs, "mnuLogsView", "&View Current");
    mnuLogsDelete = item(mnuLogs, "mnuLogsDelete", "&Delete Current");
    mnuLogs->addSeparator()->setObjectName(QStringLiteral("mnuLogsSep1"));
    mnuLogsViewDate = item(mnuLogs, "mnuLogsViewDate", "View by D&ate");
    mnuLogs->addSeparator()->setObjectName(QStringLiteral("mnuSep2"));
    mnuLogsPurge = item(mnuLogs, "mnuLogsPurge", "&Purge All");
    mnuLogsDisable = item(mnuLogs, "mnuLogsDisable", "&Enable Logging");
    mnuLogsDisable->setCheckable(true);
    // F10 opens the menu bar, as on most desktops; the style decides whether Alt alone does.
    auto* f10 = new QShortcut(QKeySequence(Qt::Key_F10), this);
    f10->setObjectName(QStringLiteral("menuBarKey"));
    connect(f10, &QShortcut::activated, this,
            [this, mnuFile] { menuBar()->setActiveAction(mnuFile->menuAction()); });

    connect(mnuFileExit, &QAction::triggered, this, &frmMain::mnuFileExit_Click);
    connect(mnuLogsView, &QAction::triggered, this, &frmMain::mnuLogsView_Click);
    connect(mnuLogsDelete, &QAction::triggered, this, [this] { monitor_.eventLog.Delete(); });
    connect(mnuLogsViewDate, &QAction::triggered, this, &frmMain::mnuLogsViewDate_Click);
    connect(mnuLogsPurge, &QAction::triggered, this, [this] { monitor_.eventLog.Purge(); });
    connect(mnuLogsDisable, &QAction::triggered, this, &frmMain::mnuLogsDisable_Click);
}

frmMain::ListSize frmMain::listSizeFor(double W, double H) {
    return {W - 450, (H - 1200) / 2};
}

double frmMain::Width() const {
    return pixelsToTwipsX(this, outerGeometry(this).width());
}

double frmMain::Height() const {
    return pixelsToTwipsY(this, outerGeometry(this).height());
}

void frmMain::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    Form_Resize();
}

void frmMain::Form_Resize() {
    if (windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen))
        return;
    // The outer minimum becomes a minimum of the widget, so the window system holds it while
    // the window is dragged and resize() cannot undercut it.
    const QSize frame = frameExtent(this);
    const QSize minimum(twipsToPixelsX(this, minimumSide) - frame.width(),
                        twipsToPixelsY(this, minimumSide) - frame.height());
    if (minimumSize() != minimum)
        setMinimumSize(minimum);
    if (width() < minimum.width() || height() < minimum.height()) {
        resize(std::max(width(), minimum.width()), std::max(height(), minimum.height()));
        return; // the resize runs this rule again
    }

    const double W = std::round(Width());
    const double H = std::round(Height());
    const ListSize size = listSizeFor(W, H);
    // The rule counts on the frame's usual height; a frame reported thinner than it is (client-
    // side decorations) would push the Down list's lower edge out of the window, so the lists
    // give up what does not fit.
    const int gap = twipsToPixelsY(this, 150);
    const int room = (centralWidget()->height() - List1->y() - gap) / 2;
    const int ruled = twipsToPixelsY(this, size.height);
    const int listHeight = room > 0 ? std::min(ruled, room) : ruled;
    // Edges on whole device pixels, or fractional scales lose the lists' thin frames.
    const QPoint offset = centralWidget()->mapTo(this, QPoint(0, 0));
    const double ratio = devicePixelRatioF();
    List1->setGeometry(alignedToDevicePixels(
        QRect(List1->x(), List1->y(), twipsToPixelsX(this, size.width), listHeight), offset,
        ratio));
    const double list2Top =
        pixelsToTwipsY(this, List1->y()) + pixelsToTwipsY(this, List1->height()) + 150;
    List2->setGeometry(alignedToDevicePixels(
        QRect(List2->x(), twipsToPixelsY(this, list2Top), List1->width(), List1->height()), offset,
        ratio));
    lblDown->move(lblDown->x(), List2->y());
    // The status line may carry a notice longer than its design width: give it the row.
    Label1->resize(std::max(twipsToPixelsX(this, 2295),
                            centralWidget()->width() - Label1->x() - twipsToPixelsX(this, 60)),
                   Label1->height());
}

void frmMain::watchSelection(QListView* list, QListView* other) {
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    // Re-clicking the selected task, or Enter, opens its details again.
    connect(list, &QListView::clicked, this,
            [this](const QModelIndex& index) { listClicked(index, false); });
    // Enter (or the style's activation) moves the keyboard on into the details, to reach Restart.
    connect(list, &QListView::activated, this,
            [this](const QModelIndex& index) { listClicked(index, true); });
    QItemSelectionModel* selection = list->selectionModel();
    // A selection by the keyboard (arrows, Home, End, Page keys) opens the details as a click.
    connect(selection, &QItemSelectionModel::selectionChanged, this,
            [this, other](const QItemSelection& selected) {
                if (selected.indexes().isEmpty())
                    return;
                // One task selected at a time, in one list or the other.
                other->selectionModel()->clear();
                listClicked(selected.indexes().first(), false);
            });
}

void frmMain::closeEvent(QCloseEvent* event) {
    const auto reason = event->spontaneous() ? CloseReason::User : CloseReason::Code;
    if (monitor_.closeRule(reason)) {
        event->accept();
        return;
    }
    event->ignore();
    if (trayAvailable_)
        hide();
    else
        showMinimized();
}

void frmMain::mnuFileExit_Click() {
    // Without a notification area there is no tray menu, so nothing else could end the monitor.
    if (!trayAvailable_) {
        monitor_.shutDown();
        return;
    }
    close();
}

void frmMain::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && !isMinimized())
        wasMaximised_ = isMaximized();
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && !trayAvailable_ &&
        activatedWithoutTray)
        activatedWithoutTray();
}

void frmMain::setTrayAvailable(bool available) {
    if (available == trayAvailable_)
        return;
    trayAvailable_ = available;
    const bool wasVisible = isVisible() && !isMinimized();
    const Qt::WindowStates states = windowState() & ~Qt::WindowMinimized;
    const QRect client = geometry();
    setWindowFlags(windowFlagsFor(available)); // this hides the window and forgets its frame
    setGeometry(client);
    if (!available) {
        // The tray was the way back to a hidden window; now the window itself must be.
        setWindowState(states);
        show();
        raise();
        showNoTrayNotice();
    } else {
        noticeTimer_.stop();
        Label1->setText(statusText_);
        if (wasVisible) {
            setWindowState(states);
            show();
        }
    }
    updateTitle();
}

QString frmMain::noTrayNotice() {
    return QStringLiteral("No notification area: File, Exit ends the monitor");
}

void frmMain::showNoTrayNotice() {
    Label1->setText(noTrayNotice());
    noticeTimer_.start();
}

void frmMain::setBaseTitle(const QString& title) {
    baseTitle_ = title;
    updateTitle();
}

QString frmMain::configurationLabel(const QString& iniPath, const QString& title) {
    const QString label = title.trimmed();
    if (!label.isEmpty() || iniPath.trimmed().isEmpty())
        return label;
    return QFileInfo(iniPath.trimmed()).completeBaseName();
}

void frmMain::nameConfiguration(const QString& iniPath, const QString& title) {
    label_ = configurationLabel(iniPath, title);
    updateTitle();
}

QString frmMain::summary() const {
    const int down = monitor_.downList.rowCount();
    QString text = baseTitle_;
    if (!label_.isEmpty())
        text += QStringLiteral(" - ") + label_;
    if (down > 0)
        text += QStringLiteral(" (") + QString::number(down) + QStringLiteral(" down)");
    return text;
}

void frmMain::setStatusLine(const QString& text) {
    statusText_ = text;
    if (!noticeTimer_.isActive())
        Label1->setText(text);
}

void frmMain::updateTitle() {
    // Beside a tray the flashing icon and its tooltip tell of a failure; without one, the title
    // does. The product's name comes first, then the configuration's.
    const QString text = summary();
    if (trayAvailable_)
        setWindowTitle(label_.isEmpty() ? baseTitle_ : baseTitle_ + QStringLiteral(" - ") + label_);
    else
        setWindowTitle(text);
    Q_EMIT summaryChanged(text);
}

void frmMain::applyWindowState(View::WindowState state) {
    switch (state) {
    case View::WindowState::Hidden:
        if (trayAvailable_)
            hide();
        else
            showMinimized();
        break;
    case View::WindowState::Maximised:
        showMaximized();
        break;
    case View::WindowState::Normal:
        showNormal();
        break;
    }
}

void frmMain::prepare() {
    FlatLook(List1);
    FlatLook(List2);
    FlatLook(this);
    // The captions are narrow: one letter a line.
    lblUP->setText(QStringLiteral("U\np"));
    lblDown->setText(QStringLiteral("D\no\nw\nn"));
}

bool frmMain::showOrHide() {
    // A minimised window counts as hidden: otherwise the toggle would go on between minimised
    // and hidden, and a tool window has no task-bar entry to bring it back from.
    if (isVisible() && !isMinimized()) {
        hide();
        Notontop(this);
        return false;
    }
    bringBack();
    return true;
}

void frmMain::bringBack() {
    // Maximised stays maximised (the window manager may report an iconified window as merely
    // minimised); a window hidden while minimised would otherwise map minimised.
    Qt::WindowStates states = windowState() & ~Qt::WindowMinimized;
    if (wasMaximised_)
        states |= Qt::WindowMaximized;
    setWindowState(states | Qt::WindowActive);
    show();
    // Briefly topmost brings it in front of everything without leaving it there.
    OnTop(this);
    Notontop(this);
    raise();
    activateWindow();
    // A window hidden while it held the platform's focus keeps it there, so its activation is
    // no change to the platform and Qt never makes it the active window again: keys would reach
    // no widget. Tell Qt directly.
    if (QGuiApplication::focusWindow() == windowHandle() && QApplication::activeWindow() != this) {
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        QApplication::setActiveWindow(this);
        QT_WARNING_POP
    }
    if (centred_ && windowState() == Qt::WindowNoState)
        keepOnScreen(this); // the screens may have changed while it was away
}

void frmMain::listClicked(const QModelIndex& index, bool takeFocus) {
    if (index.isValid())
        ShowTaskDetails(index.data(TaskList::TaskIdRole).toInt(), takeFocus);
}

void frmMain::ShowTaskDetails(qint32 taskId, bool takeFocus) {
    // One details window, refilled for each selection, so its labels and its Restart button
    // always belong to the same task.
    viewTask_->Taskindex = taskId;
    viewTask_->Form_Load();
    viewTask_->setAttribute(Qt::WA_ShowWithoutActivating, !takeFocus);
    viewTask_->show();
    viewTask_->raise();
    if (takeFocus)
        viewTask_->activateWindow();
}

void frmMain::closeViewLog() {
    if (viewLog_ == nullptr)
        return;
    viewLog_->close();
    delete viewLog_;
}

void frmMain::viewLogOf(const QDate& date) {
    closeViewLog();
    // Indexing lets events run, so a later view command may finish first; the newest command
    // wins and an older reading is dropped, leaving one viewer with one complete file.
    const quint64 generation = ++viewGeneration_;
    viewLog_ = new frmViewLog(this);
    // Closed, it goes at once with all it read, and the memory goes back to the system: the
    // allocator would otherwise keep the megabytes of a large log's layout for itself.
    viewLog_->setAttribute(Qt::WA_DeleteOnClose);
#ifdef __GLIBC__
    connect(viewLog_, &QObject::destroyed, qApp, [] {
        // Once its children, destroyed after this signal, are gone too.
        QTimer::singleShot(0, qApp, [] { malloc_trim(0); });
    });
#endif
    const QString path = monitor_.eventLog.LogFileName(date);
    if (!QFileInfo::exists(path)) {
        viewLog_->setText(monitor_.eventLog.LogContents(date)); // the log's words for no file
    } else if (!viewLog_->openFile(path)) {
        return; // a view command run meanwhile replaced this viewer and shows its own
    }
    if (generation != viewGeneration_ || viewLog_ == nullptr)
        return;
    viewLog_->show();
}

void frmMain::mnuLogsView_Click() {
    viewLogOf(monitor_.eventLog.clock().wallTime().date());
}

QString frmMain::shortDateText(const QDate& date) {
    const QLocale locale = QLocale::system();
    return locale.toString(date, fourDigitYear(locale.dateFormat(QLocale::ShortFormat)));
}

QDate frmMain::readDate(const QString& reply) {
    const QString text = reply.trimmed();
    if (text.isEmpty())
        return {};
    const QLocale locale = QLocale::system();
    const QString shortFormat = locale.dateFormat(QLocale::ShortFormat);
    QDate date = locale.toDate(text, fourDigitYear(shortFormat));
    if (!date.isValid()) {
        date = locale.toDate(text, shortFormat);
        // A two-digit year means the century nearest today.
        if (date.isValid() && !shortFormat.contains(QStringLiteral("yyyy"))) {
            const int today = QDate::currentDate().year();
            while (date.year() < today - 50)
                date = date.addYears(100);
        }
    }
    if (!date.isValid())
        date = locale.toDate(text, QLocale::LongFormat);
    if (!date.isValid())
        date = QDate::fromString(text, Qt::ISODate);
    return date;
}

QString frmMain::askDateWithDialog(const QString& defaultReply, bool* ok) {
    QInputDialog dialog(this);
    dialog.setObjectName(QStringLiteral("ViewLogfileDialog"));
    // Modal to the main window only: the tray's menu stays usable meanwhile.
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setWindowTitle(QStringLiteral("View Logfile"));
    dialog.setLabelText(QStringLiteral("Date of logfile to be viewed:"));
    dialog.setTextValue(defaultReply);
    dialog.move(outerGeometry(this).topLeft());
    // Placed again once its own frame is known, so that the corners meet.
    onFrameChange(&dialog,
                  [this, &dialog] { moveOuterTo(&dialog, outerGeometry(this).topLeft()); });
    *ok = dialog.exec() == QDialog::Accepted;
    return dialog.textValue();
}

void frmMain::mnuLogsViewDate_Click() {
    bool ok = false;
    const QString reply = askDate(shortDateText(monitor_.eventLog.clock().wallTime().date()), &ok);
    if (!ok)
        return;
    const QDate date = readDate(reply);
    if (date.isValid())
        viewLogOf(date);
}

void frmMain::mnuLogsDisable_Click(bool checked) {
    // The action has already flipped its mark; the switch follows it.
    monitor_.eventLog.LogActivity = checked;
}
