#include "fMain.h"

#include "AppInfo.h"
#include "CentredWindow.h"
#include "EventLogView.h"
#include "HandlerEdge.h"
#include "Layout.h"
#include "Module1.h"
#include "PaintHold.h"
#include "ServerControl.h"
#include "StatisticLabel.h"
#include "Twips.h"
#include "frmMess.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <qdrawutil.h>

#include <utility>

namespace talkmere {

namespace {

// A menu caption shows "&" as a mnemonic marker unless doubled; the password must show as is.
QString literalMenuText(const QString& text) {
    QString escaped = text;
    return escaped.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

template <typename T> T* named(T* widget, const char* name) {
    widget->setObjectName(QLatin1String(name));
    return widget;
}

// The status shows in its colour, inside a plain black single-line border: the frame of a plain
// label takes the text's colour.
class StatusLabel final : public QLabel {
public:
    StatusLabel(const QString& text, EventLog& log, QWidget* parent)
        : QLabel(text, parent), log_(log) {}

protected:
    void paintEvent(QPaintEvent* event) override {
        guardedHandler(log_, "Status paint", [this, event] {
            QLabel::paintEvent(event);
            QPainter painter(this);
            qDrawPlainRect(&painter, rect(), Qt::black, lineWidth());
        });
    }

private:
    EventLog& log_;
};

} // namespace

fMain::fMain() : fMain(std::make_unique<ServerControl>()) {}

fMain::fMain(std::unique_ptr<ServerControl> server, QWidget* parent)
    : QMainWindow(parent), server_(server ? std::move(server) : std::make_unique<ServerControl>()) {
    setObjectName(QStringLiteral("fMain"));
    setWindowTitle(QStringLiteral("ZeviderUrive echo server"));
    if (const AnswerGate* gate = server_->pool().answerGate())
        new PaintHold(*gate, this);
    createControls();
    createMenu();

    sizeAndCentre(*this, kDesignWidth, kDesignHeight, false);

    load();
}

fMain::~fMain() {
    // The message window goes first: it refers to the server.
    frmMess_.reset();
}

void fMain::createControls() {
    client_ = new QWidget(this);
    client_->setObjectName(QStringLiteral("clientArea"));
    setCentralWidget(client_);
    client_->installEventFilter(this);

    // Created in tab order, so the focus chain and the stacking follow the design.
    lvwClients = named(new QTableView(client_), "lvwClients");
    lvwClients->setModel(&server_->clients());
    lvwClients->verticalHeader()->hide();
    // Report style: one text line per row, as in a list view.
    lvwClients->verticalHeader()->setDefaultSectionSize(lvwClients->fontMetrics().height() + 4);
    lvwClients->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvwClients->setSelectionMode(QAbstractItemView::SingleSelection);
    lvwClients->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvwClients->setShowGrid(false);
    lvwClients->setWordWrap(false);
    lvwClients->setAccessibleName(QStringLiteral("Clients"));

    cmdStartServer =
        named(new QPushButton(QStringLiteral("Start server"), client_), "cmdStartServer");
    cmdStopServer = named(new QPushButton(QStringLiteral("Stop server"), client_), "cmdStopServer");
    for (QPushButton* button : {cmdStartServer, cmdStopServer}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    lblStatus =
        named(new StatusLabel(QStringLiteral("Offline"), server_->log(), client_), "lblStatus");
    lblStatus->setFrameStyle(QFrame::Box | QFrame::Plain);
    lblStatus->setLineWidth(1);
    QPalette red = lblStatus->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    lblStatus->setPalette(red);

    lstEvents = named(new EventLogView(server_->log(), client_), "lstEvents");

    lblBytesSent = named(new StatisticLabel(QStringLiteral("Bytes Sent:"), server_->log(), client_),
                         "lblBytesSent");
    lblBytesReceived =
        named(new StatisticLabel(QStringLiteral("Bytes Received:"), server_->log(), client_),
              "lblBytesReceived");
    lblSocketCount =
        named(new StatisticLabel(QStringLiteral("SocketCount"), server_->log(), client_),
              "lblSocketCount");
    chkDataEvents =
        named(new QCheckBox(QStringLiteral("Show data events"), client_), "chkDataEvents");

    placeControls(designLayout());

    setTabOrder(lvwClients, cmdStartServer);
    setTabOrder(cmdStartServer, cmdStopServer);
    setTabOrder(cmdStopServer, lstEvents);
    setTabOrder(lstEvents, chkDataEvents);

    tmrProperties = new QTimer(this);
    tmrProperties->setObjectName(QStringLiteral("tmrProperties"));
    tmrProperties->setInterval(100);
    tmrProperties->setTimerType(Qt::CoarseTimer);

    connect(cmdStartServer, &QPushButton::clicked, this, &fMain::startServer);
    connect(cmdStopServer, &QPushButton::clicked, this, &fMain::stopServer);
    connect(chkDataEvents, &QCheckBox::toggled, this, [this](bool checked) {
        guardedHandler(server_->log(), "Show data events",
                       [&] { server_->relay().setShowDataEvents(checked); });
    });
    connect(tmrProperties, &QTimer::timeout, this, &fMain::refreshStatistics);
    connect(server_.get(), &ServerControl::statusChanged, this, &fMain::showStatus);
    connect(server_.get(), &ServerControl::passwordChanged, this, &fMain::showPasswordCaption);
}

void fMain::createMenu() {
    File = menuBar()->addMenu(QStringLiteral("File"));
    File->setObjectName(QStringLiteral("File"));
    FMess = File->addAction(QStringLiteral("Send Server Message"));
    FMess->setObjectName(QStringLiteral("FMess"));
    spacer1 = File->addSeparator();
    spacer1->setObjectName(QStringLiteral("spacer1"));
    FExit = File->addAction(QStringLiteral("Exit"));
    FExit->setObjectName(QStringLiteral("FExit"));
    pass = menuBar()->addAction(QStringLiteral("Password"));
    pass->setObjectName(QStringLiteral("pass"));

    connect(FMess, &QAction::triggered, this, &fMain::openMessageWindow);
    connect(FExit, &QAction::triggered, this, &fMain::exitProgram);
    connect(pass, &QAction::triggered, this, &fMain::changePassword);
}

void fMain::load() {
    showPasswordCaption();
    server_->clients().setUp();
    setWindowTitle(mainWindowCaption());
    chkDataEvents->setChecked(true);
    startServer();
    tmrProperties->start();
}

bool fMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == client_ && event->type() == QEvent::Resize)
        guardedHandler(server_->log(), "Layout", [this] { layoutControls(); });
    return QMainWindow::eventFilter(watched, event);
}

void fMain::layoutControls() {
    const LogLines log{lstEvents->lineHeight() * twips::kPerPixel,
                       2 * lstEvents->frameWidth() * twips::kPerPixel};
    MainLayout now;
    const auto controls = laidOut();
    for (size_t i = 0; i < controls.size(); ++i) {
        const QRect r = controls[i]->geometry();
        now[i] = {twips::fromPixels(r.x()), twips::fromPixels(r.y()), twips::fromPixels(r.width()),
                  twips::fromPixels(r.height())};
    }
    placeControls(layoutFor(twips::fromPixels(client_->width()),
                            twips::fromPixels(client_->height()), log, now));
}

std::array<QWidget*, TwipControls::ControlCount> fMain::laidOut() const {
    return {lvwClients,   cmdStartServer,   cmdStopServer,  lblStatus,    lstEvents,
            lblBytesSent, lblBytesReceived, lblSocketCount, chkDataEvents};
}

void fMain::placeControls(const MainLayout& layout) {
    const auto controls = laidOut();
    for (size_t i = 0; i < controls.size(); ++i) {
        const TwipRect& r = layout[i];
        controls[i]->setGeometry(twips::toPixels(r.left), twips::toPixels(r.top),
                                 twips::toPixels(r.width), twips::toPixels(r.height));
    }
}

void fMain::startServer() {
    guardedHandler(server_->log(), "Start server", [this] { server_->startServer(); });
}

void fMain::stopServer() {
    guardedHandler(server_->log(), "Stop server", [this] { server_->stopServer(); });
}

void fMain::refreshStatistics() {
    guardedHandler(server_->log(), "Statistics refresh", [this] {
        const ZeviderUrive& pool = server_->pool();
        lblBytesSent->setText(QStringLiteral("Bytes sent: ") + QString::number(pool.BytesSent()));
        lblBytesReceived->setText(QStringLiteral("Bytes received: ") +
                                  QString::number(pool.BytesReceived()));
        lblSocketCount->setText(QStringLiteral("Socket count: ") +
                                QString::number(pool.SocketCount()));
        lstEvents->refresh();
    });
}

void fMain::openMessageWindow() {
    guardedHandler(server_->log(), "Send Server Message", [this] {
        if (!frmMess_)
            frmMess_ = std::make_unique<frmMess>(*server_);
        frmMess_->open();
    });
}

void fMain::changePassword() {
    guardedHandler(server_->log(), "Server password", [this] {
        bool ok = false;
        QString answer = QInputDialog::getText(
            this, QStringLiteral("Server Password"), QStringLiteral("Enter a new password:"),
            QLineEdit::Normal, QString::fromUtf8(Module1::ServerPassword), &ok);
        // Cancel answers with the empty text, which becomes the password.
        if (!ok)
            answer.clear();
        server_->changePassword(answer.toUtf8());
    });
}

void fMain::exitProgram() {
    if (exiting_)
        return;
    exiting_ = true;
    guardedHandler(server_->log(), "Exit", [this] { server_->shutdownForExit(); });
    // Nothing is deleted here: this may run inside a send's yield, so the windows only hide and
    // the event loop is told to end; the stacks unwind before anything goes.
    if (frmMess_)
        frmMess_->hide();
    hide();
    QCoreApplication::exit(0);
}

void fMain::closeEvent(QCloseEvent* event) {
    exitProgram();
    event->accept();
}

void fMain::showStatus() {
    guardedHandler(server_->log(), "Status", [this] {
        lblStatus->setText(server_->statusText());
        QPalette palette = lblStatus->palette();
        palette.setColor(QPalette::WindowText, server_->statusColour());
        lblStatus->setPalette(palette);
    });
}

void fMain::showPasswordCaption() {
    guardedHandler(server_->log(), "Password caption",
                   [this] { pass->setText(literalMenuText(server_->passwordCaption())); });
}

} // namespace talkmere
