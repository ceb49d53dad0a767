#include "frmStart.h"

#include "AppInfo.h"
#include "CentredWindow.h"
#include "HandlerEdge.h"
#include "ServerControl.h"
#include "Twips.h"
#include "fMain.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>

#include <exception>
#include <limits>

namespace talkmere {

namespace {

// The label is designed for a narrow font; with a wider one its caption would be cut at both
// ends, so the font shrinks until the whole caption fits.
void fitFontToWidth(QLabel* label) {
    QFont font = label->font();
    const auto fits = [&] {
        return QFontMetrics(font).horizontalAdvance(label->text()) <= label->width();
    };
    if (font.pointSizeF() > 0) {
        while (!fits() && font.pointSizeF() > 6)
            font.setPointSizeF(font.pointSizeF() - 0.5);
    } else {
        while (!fits() && font.pixelSize() > 8)
            font.setPixelSize(font.pixelSize() - 1);
    }
    label->setFont(font);
}

} // namespace

frmStart::frmStart(ServerFactory makeServer, QWidget* parent)
    // No border, yet a title for the task bar; the menu bar keeps Exit reachable.
    : QMainWindow(parent, Qt::Window | Qt::FramelessWindowHint),
      makeServer_(std::move(makeServer)) {
    setObjectName(QStringLiteral("frmStart"));
    setWindowTitle(QStringLiteral("Enter a server password"));

    auto* client = new QWidget(this);
    setCentralWidget(client);

    // Created in tab order: OK, the label (which takes no focus), the text box.
    OKButton = new QPushButton(QStringLiteral("OK"), client);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setGeometry(twips::rect(120, 840, 2055, 375));
    OKButton->setAutoDefault(false);
    OKButton->setDefault(false);

    Label1 = new QLabel(QStringLiteral("Enter a server password:"), client);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(twips::rect(120, 120, 2055, 255));
    Label1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    fitFontToWidth(Label1);

    txtPass = new QLineEdit(client);
    txtPass->setObjectName(QStringLiteral("txtPass"));
    txtPass->setGeometry(twips::rect(120, 480, 2055, 285));
    txtPass->setEchoMode(QLineEdit::Normal);
    txtPass->setMaxLength(std::numeric_limits<int>::max());
    Label1->setBuddy(txtPass); // what a screen reader calls the text box

    setTabOrder(OKButton, txtPass);

    Exit = menuBar()->addAction(QStringLiteral("Exit"));
    Exit->setObjectName(QStringLiteral("Exit"));

    sizeAndCentre(*this, 2295, 1335, true);
    OKButton->setFocus();

    connect(OKButton, &QPushButton::clicked, this, &frmStart::confirmPassword);
    connect(Exit, &QAction::triggered, this, &frmStart::leave);
}

frmStart::~frmStart() = default;

void frmStart::confirmPassword() {
    // No main window and so no event log yet: a failure is told here, and the operator may try
    // again.
    const auto tell = [this](const char* reason) {
        QMessageBox::warning(this, QString::fromLatin1(kApplicationTitle),
                             QStringLiteral("The server could not be set up: ") +
                                 QString::fromLocal8Bit(reason));
    };
    atHandlerEdge(tell, [this] {
        if (main_)
            return;
        if (txtPass->text().isEmpty()) {
            QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kApplicationTitle),
                            QStringLiteral("You must enter a password!!"), QMessageBox::Ok, this);
            box.exec();
            return;
        }
        ServerControl::setPassword(txtPass->text().toUtf8());
        main_ = makeServer_ ? std::make_unique<fMain>(makeServer_()) : std::make_unique<fMain>();
        main_->show();
        close();
    });
}

void frmStart::leave() {
    close();
    // Before any password the prompt is the only window, so closing it ends the program.
    if (!main_)
        QCoreApplication::exit(0);
}

} // namespace talkmere
