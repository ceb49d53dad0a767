#pragma once

#include "Layout.h"

#include <QMainWindow>

#include <array>
#include <memory>

class QAction;
class QCheckBox;
class QLabel;
class QMenu;
class QPushButton;
class QTableView;
class QTimer;

namespace talkmere {

class EventLogView;
class ServerControl;
class frmMess;

// The operator's main window. It owns the server (pool, client table, event log) for its whole
// life; loading it starts the server. Controls carry their names as object names.
class fMain : public QMainWindow {
    Q_OBJECT
public:
    // The program's window, with its server on port 100.
    fMain();
    // A window around a given server (tests run theirs on a loopback port of their own).
    explicit fMain(std::unique_ptr<ServerControl> server, QWidget* parent = nullptr);
    ~fMain() override;

    ServerControl& server() { return *server_; }
    // The client area the controls are placed in, below the menu bar.
    QWidget* clientArea() const { return client_; }
    // The server-message window once it has been opened, else nullptr.
    frmMess* messageWindow() const { return frmMess_.get(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    void createMenu();
    void load();
    void layoutControls();
    // The controls that the layout places, in the order of its rectangles.
    std::array<QWidget*, TwipControls::ControlCount> laidOut() const;
    // Rectangles in twips, already whole pixels.
    void placeControls(const MainLayout& layout);

    void startServer();
    void stopServer();
    void refreshStatistics();
    void openMessageWindow();
    void changePassword();
    void exitProgram();
    void showStatus();
    void showPasswordCaption();

    std::unique_ptr<ServerControl> server_;
    std::unique_ptr<frmMess> frmMess_;
    QWidget* client_ = nullptr;
    bool exiting_ = false;

    QTableView* lvwClients = nullptr;
    QPushButton* cmdStartServer = nullptr;
    QPushButton* cmdStopServer = nullptr;
    QLabel* lblStatus = nullptr;
    EventLogView* lstEvents = nullptr;
    QLabel* lblBytesSent = nullptr;
    QLabel* lblBytesReceived = nullptr;
    QLabel* lblSocketCount = nullptr;
    QCheckBox* chkDataEvents = nullptr;
    QTimer* tmrProperties = nullptr;

    QMenu* File = nullptr;
    QAction* FMess = nullptr;
    QAction* spacer1 = nullptr;
    QAction* FExit = nullptr;
    QAction* pass = nullptr;
};

} // namespace talkmere
