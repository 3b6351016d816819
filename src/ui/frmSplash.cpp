#include "ui/frmSplash.h"

#include "platform/Version.h"
#include "ui/WindowRoutines.h"

#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QSysInfo>
#include <algorithm>

using namespace WindowRoutines;

namespace {
const char* const legalNotice =
    "This program watches the tasks it is given and reports their failures. It is supplied as "
    "is, without warranty of any kind; its makers accept no liability for any loss arising from "
    "its use.";
} // namespace

frmSplash::frmSplash(const QIcon& logo, QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint), logo_(logo) {
    setObjectName(QStringLiteral("frmSplash"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    setFixedSize(twipsToPixelsX(this, 4650), twipsToPixelsY(this, 3180));

    Frame1 = new QFrame(this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setFrameShape(QFrame::Box);
    Frame1->setFrameShadow(QFrame::Sunken);
    Frame1->setGeometry(twipsToPixelsX(this, 30), twipsToPixelsY(this, -60),
                        twipsToPixelsX(this, 4590), twipsToPixelsY(this, 3225));

    imgLogo = addLabel("imgLogo", 270, 600, 945, 1005);
    imgLogo->setScaledContents(true);
    drawLogo();

    auto* lblVersion = addLabel("lblVersion", 3765, 990, 0, 0);
    lblVersion->setFont(designFont(QStringLiteral("Arial"), 9.75, true));
    lblVersion->setText(QStringLiteral("Version ") + QLatin1String(Version::text));

    auto* lblProductName = addLabel("lblProductName", 1560, 420, 0, 0);
    lblProductName->setFont(designFont(QStringLiteral("Arial"), 14.25, true));
    lblProductName->setText(QString::fromUtf8(Version::productName));
    auto* lblCopyright = addLabel("lblCopyright", 1560, 1290, 2925, 255);
    lblCopyright->setFont(designFont(QStringLiteral("Arial"), 8.25, false));
    lblCopyright->setText(QString::fromUtf8(Version::copyright));
    auto* lblCompany = addLabel("lblCompany", 1560, 1500, 2925, 255);
    lblCompany->setFont(designFont(QStringLiteral("Arial"), 8.25, false));
    lblCompany->setText(QString::fromUtf8(Version::companyName));

    auto* lblPlatform = addLabel("lblPlatform", 3525, 690, 0, 0);
    lblPlatform->setFont(designFont(QStringLiteral("Arial"), 12, true));
    lblPlatform->setText(platformName());
    auto* lblWarning = addLabel("lblWarning", 60, 2160, 4485, 1005);
    lblWarning->setFont(designFont(QStringLiteral("Arial"), 8.25, false));
    lblWarning->setWordWrap(true);
    lblWarning->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblWarning->setText(QString::fromUtf8(legalNotice));

    // Labels that size themselves. The right-aligned ones grow leftwards from a common right
    // edge, so a longer platform name or version stays inside the frame.
    for (QLabel* label : {lblProductName, lblPlatform, lblVersion})
        label->adjustSize();
    const int rightEdge = twipsToPixelsX(this, 4470);
    for (QLabel* label : {lblPlatform, lblVersion}) {
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        label->move(std::min(label->x(), rightEdge - label->width()), label->y());
    }

    OnTop(this);

    tmrSplash.setInterval(1000);
    connect(&tmrSplash, &QTimer::timeout, this, &frmSplash::tmrSplash_Timer);
    tmrSplash.start();
}

// The logo is drawn for the box's size on this screen, not stretched from a small bitmap.
void frmSplash::drawLogo() {
    const qreal ratio = devicePixelRatioF();
    const int side = std::max(imgLogo->width(), imgLogo->height());
    imgLogo->setPixmap(logo_.pixmap(QSize(side, side), ratio));
}

void frmSplash::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    drawLogo(); // the screen, and with it the scale, is known now
}

QString frmSplash::platformName() {
    const QString kernel = QSysInfo::kernelType();
    return kernel.isEmpty() ? QStringLiteral("Unknown") : kernel.left(1).toUpper() + kernel.mid(1);
}

QLabel* frmSplash::addLabel(const char* name, int left, int top, int width, int height) {
    auto* label = new QLabel(Frame1);
    label->setObjectName(QString::fromLatin1(name));
    // The frame starts above the client area; design positions are the window's.
    label->setGeometry(twipsToPixelsX(this, left), twipsToPixelsY(this, top) - Frame1->y(),
                       twipsToPixelsX(this, width), twipsToPixelsY(this, height));
    return label;
}

void frmSplash::tmrSplash_Timer() {
    ++SplashTicks;
    // The fourth tick would load the main window, which always exists by now.
    if (SplashTicks == 5)
        close();
}

void frmSplash::keyPressEvent(QKeyEvent*) {
    close();
}

// Labels, the logo and the frame leave clicks to their parent, so one handler serves them all.
void frmSplash::mousePressEvent(QMouseEvent*) {
    close();
}

void frmSplash::closeEvent(QCloseEvent* event) {
    Notontop(this);
    tmrSplash.stop();
    event->accept();
}
