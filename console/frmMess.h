#pragma once

#include <QWidget>

class QPlainTextEdit;
class QPushButton;

namespace talkmere {

class ServerControl;

// The server-message window: the operator types a text, Send broadcasts ":ser:" + the text to
// every client and closes the window. Closing it any way discards the text.
class frmMess : public QWidget {
    Q_OBJECT
public:
    explicit frmMess(ServerControl& server);

    // Shows the window, or brings it forward with its text intact when it is already open.
    void open();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void send();

    ServerControl& server_;
    QPlainTextEdit* txtMess;
    QPushButton* cmdSend;
};

} // namespace talkmere
