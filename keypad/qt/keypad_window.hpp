// TASTIERA, DELPAD's one window in Qt: the register's keys, the display line
// fed by the DATA connection, the connection mark and the settings band
// (address, ports, SALVA IP, OFF). The session logic is the core's.
#pragma once

#include <QString>
#include <QWidget>
#include <memory>
#include <vector>

#include "form_layout.hpp"
#include "session.hpp"

class QLabel;
class QLineEdit;
class QPushButton;
class QTcpSocket;

namespace delpad {

// The program's version as major.minor.revision.
QString program_version_text();

class KeypadWindow : public QWidget {
    Q_OBJECT
public:
    // settings_dir is the directory that holds ip.txt, Data.txt and Send.txt
    // (the program's own directory when run normally).
    explicit KeypadWindow(QString settings_dir, QWidget* parent = nullptr);
    ~KeypadWindow() override;

    // Start-up: version in the credits line, the three settings, connect.
    void start();
    // CONNETTI: address and ports from the fields, then both connections.
    void connect_register();
    // DISCONNETTI: closes the DATA, then the SEND connection.
    void disconnect_register();
    // SALVA IP: rewrites ip.txt, closes both connections and connects again.
    void save_address();
    // OFF: closes both connections and ends the program.
    void off();
    // Shrinks the window, keeping its proportions, so that it fits into an
    // area of `available` pixels with its frame of `frame` pixels.
    void fit_to(QSize available, QSize frame);

    const Session& session() const { return *session_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void build_controls();
    void build_keys();
    QPushButton* add_key(const KeySpec& key);
    void press_key(const KeySpec& key);
    void show_arrival();
    void show_connection();
    void report(std::string_view text);
    SettingsFields fields() const;
    void apply_layout();
    void place(QWidget* widget, const TwipsRect& where, double points);

    struct Placed {
        QWidget* widget;
        TwipsRect where;
        double points;
    };
    std::vector<Placed> placed_;

    QString settings_dir_;
    QTcpSocket* data_ = nullptr;  // WskClient: display text in
    QTcpSocket* send_ = nullptr;  // WskServer: key codes out
    std::unique_ptr<Link> data_link_;
    std::unique_ptr<Link> send_link_;
    std::unique_ptr<Session> session_;
    QLineEdit* ip_field_ = nullptr;
    QLineEdit* data_field_ = nullptr;
    QLineEdit* send_field_ = nullptr;
    QLabel* display_ = nullptr;  // Label1
    QLabel* credits_ = nullptr;  // Label3
    QLabel* mark_ = nullptr;     // connected / not connected
};

}  // namespace delpad
