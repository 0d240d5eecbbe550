// TASTIERA, DELPAD's one window: the register's keys, the display line fed
// by the DATA connection, and the settings band (address, ports, SALVA IP,
// OFF). The key codes go out on the SEND connection.
#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>

#include "key_table.hpp"

class QLabel;
class QLineEdit;
class QPushButton;
class QTcpSocket;

namespace delpad {

// The program's version as major.minor.revision.
QString program_version();

class KeypadWindow : public QWidget {
    Q_OBJECT
public:
    // settings_dir is the directory that holds ip.txt, Data.txt and Send.txt
    // (the program's own directory when run normally).
    explicit KeypadWindow(QString settings_dir, QWidget* parent = nullptr);

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

    QString register_address() const { return address_; }
    std::int16_t data_port() const { return data_port_; }
    std::int16_t send_port() const { return send_port_; }

private:
    void build_settings_band();
    void build_fields();
    void build_band_buttons();
    void build_display();
    void build_keys();
    QPushButton* add_key(const KeySpec& key);
    void press_key(const KeySpec& key);
    void press_digit(const KeySpec& key);
    void set_outgoing(const QString& code);
    void send_outgoing();
    void show_arrival();
    void report_send_failure();

    QString settings_dir_;
    QString address_;
    std::int16_t data_port_ = 0;
    std::int16_t send_port_ = 0;

    QTcpSocket* data_ = nullptr;  // WskClient: display text in
    QTcpSocket* send_ = nullptr;  // WskServer: key codes out
    QLineEdit* ip_field_ = nullptr;
    QLineEdit* data_field_ = nullptr;
    QLineEdit* send_field_ = nullptr;
    QLineEdit* outgoing_ = nullptr;  // Text1
    QLineEdit* digits_ = nullptr;    // Text2
    QLabel* display_ = nullptr;      // Label1
    QLabel* credits_ = nullptr;      // Label3
};

}  // namespace delpad
