#pragma once

#include <QMainWindow>

#include <functional>
#include <memory>

class QAction;
class QLabel;
class QLineEdit;
class QPushButton;

namespace talkmere {

class ServerControl;
class fMain;

// Makes the server the main window will own; the program's is the one on port 100.
using ServerFactory = std::function<std::unique_ptr<ServerControl>()>;

// The password prompt, the program's first window. OK with a password stores it, opens the main
// window and closes the prompt; Exit closes the prompt, which ends the program. The prompt keeps
// the main window it opened, so that the window and its server go when the program ends.
class frmStart : public QMainWindow {
    Q_OBJECT
public:
    explicit frmStart(ServerFactory makeServer = {}, QWidget* parent = nullptr);
    ~frmStart() override;

    // The main window once a password has been accepted, else nullptr.
    fMain* mainWindow() const { return main_.get(); }

private:
    void confirmPassword();
    void leave();

    ServerFactory makeServer_;
    std::unique_ptr<fMain> main_;

    QPushButton* OKButton = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* txtPass = nullptr;
    QAction* Exit = nullptr;
};

} // namespace talkmere
