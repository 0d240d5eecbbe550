// The keypad window against loopback servers playing the register: the
// settings read at start, both connections, every key's message, the display
// line, SALVA IP, OFF, the failed-send message box, and the layout.
#include "keypad_window.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

#include "expected_keys.hpp"
#include "form_layout.hpp"

using delpad::KeypadWindow;

namespace {

// The program's ports are signed 16-bit, so the register listens below 32768.
quint16 listen_low(QTcpServer& server) {
    const int base = 20000 + int(QCoreApplication::applicationPid() % 4000) * 3;
    for (int port = base; port < 32767; ++port)
        if (server.listen(QHostAddress::LocalHost, quint16(port))) return quint16(port);
    return 0;
}

// A loopback port with nobody listening on it.
quint16 closed_port() {
    QTcpServer server;
    const quint16 port = listen_low(server);
    server.close();
    return port;
}

QByteArray message(const char* code) {
    return QByteArray("\"") + code + "\"202F";
}

// Closes every message box the program opens, from the event loop the box
// runs, and records what it showed.
class BoxCloser : public QObject {
public:
    BoxCloser() {
        connect(&timer_, &QTimer::timeout, this, &BoxCloser::close_box);
        timer_.start(10);
    }
    int count = 0;
    QString text;
    QString title;
    QMessageBox::StandardButtons buttons;

private:
    void close_box() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || box == last_) return;
        last_ = box;
        ++count;
        text = box->text();
        title = box->windowTitle();
        buttons = box->standardButtons();
        box->button(QMessageBox::Ok)->click();
    }
    QTimer timer_;
    QPointer<QMessageBox> last_;
};

// The settings directory, the register's two listening ports and the window.
struct Bench {
    QTemporaryDir dir;
    QTcpServer data_server;
    QTcpServer send_server;
    quint16 data_port = listen_low(data_server);
    quint16 send_port = listen_low(send_server);
    std::unique_ptr<KeypadWindow> window;
    QTcpSocket* data_peer = nullptr;  // the register's end of the DATA connection
    QTcpSocket* send_peer = nullptr;  // the register's end of the SEND connection

    void write(const QString& name, const QByteArray& bytes) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    void write_all_settings() {
        write("ip.txt", "\"127.0.0.1\"\r\n");
        write("Data.txt", QByteArray::number(data_port) + "\r\n");
        write("Send.txt", QByteArray::number(send_port) + "\r\n");
    }
    void start() {
        window = std::make_unique<KeypadWindow>(dir.path());
        window->start();
    }
    template <class T>
    T* get(const char* name) {
        return window->findChild<T*>(QString::fromLatin1(name));
    }
    QPushButton* key(const char* name) { return get<QPushButton>(name); }
    QTcpSocket* send_socket() { return get<QTcpSocket>("WskServer"); }
    QTcpSocket* data_socket() { return get<QTcpSocket>("WskClient"); }

    // Both connections accepted by the register and usable by the program.
    void accept_both() {
        QTRY_VERIFY(data_server.hasPendingConnections());
        QTRY_VERIFY(send_server.hasPendingConnections());
        data_peer = data_server.nextPendingConnection();
        send_peer = send_server.nextPendingConnection();
        QTRY_COMPARE(data_socket()->state(), QAbstractSocket::ConnectedState);
        QTRY_COMPARE(send_socket()->state(), QAbstractSocket::ConnectedState);
    }
    void open() {
        QVERIFY(data_port && send_port);
        write_all_settings();
        start();
        accept_both();
    }
    // Everything the register has received on the SEND connection, once at
    // least `size` bytes are there.
    QByteArray received(QTcpSocket* peer, qsizetype size) {
        QByteArray bytes;
        (void)QTest::qWaitFor(
            [&] {
                bytes += peer->readAll();
                return bytes.size() >= size;
            },
            5000);
        QTest::qWait(20);
        return bytes + peer->readAll();
    }
};

}  // namespace

class KeypadWindowTest : public QObject {
    Q_OBJECT
private slots:
    void startup_reads_the_settings_and_connects_both();
    void first_start_without_settings_connects_nothing();
    void data_port_above_32767_is_not_used();
    void every_key_sends_its_message_data();
    void every_key_sends_its_message();
    void consecutive_keys_make_one_plain_stream();
    void digit_then_department();
    void reso_and_reso_scontrino_send_the_same();
    void display_shows_each_arrival_data();
    void display_shows_each_arrival();
    void display_replaces_never_accumulates();
    void send_connection_data_is_not_shown();
    void save_address_writes_ip_and_reconnects();
    void failed_send_shows_the_box_once_data();
    void failed_send_shows_the_box_once();
    void same_key_goes_out_after_reconnect();
    void off_closes_both_and_ends();
    void hidden_connect_and_disconnect_buttons();
    void version_in_credits_line();
    void layout_data();
    void layout();
    void fonts();
    void screenshot_shows_flat_colours();
    void display_is_plain_text_data();
    void display_is_plain_text();
    void display_blanks_when_data_closes();
    void trailing_blanks_move_the_text();
    void key_after_a_drop_connects_once_more();
    void connection_mark_follows_both_connections();
    void save_failure_is_reported();
    void keyboard_plays_the_keypad_data();
    void keyboard_plays_the_keypad();
    void keyboard_edits_the_ip_field_only_when_it_has_focus();
    void window_scales_down_to_fit();
};

void KeypadWindowTest::startup_reads_the_settings_and_connects_both() {
    Bench bench;
    bench.write("IP.txt", "  \"127.0.0.1\"  ,ignored\r\nsecond line\r\n");
    bench.write("data.txt", QByteArray::number(bench.data_port) + ",comment\r\n");
    bench.write("Send.txt", "  " + QByteArray::number(bench.send_port) + "\r\n");
    bench.start();
    bench.accept_both();
    QCOMPARE(bench.get<QLineEdit>("Text3")->text(), QString("127.0.0.1"));
    QCOMPARE(bench.get<QLineEdit>("Text4")->text(), QString::number(bench.data_port));
    QCOMPARE(bench.get<QLineEdit>("Text5")->text(), QString::number(bench.send_port));
    QCOMPARE(bench.window->session().address(), std::string("127.0.0.1"));
    QCOMPARE(int(bench.window->session().data_port()), int(bench.data_port));
    QCOMPARE(int(bench.window->session().send_port()), int(bench.send_port));
    QCOMPARE(bench.data_socket()->peerPort(), bench.data_port);
    QCOMPARE(bench.send_socket()->peerPort(), bench.send_port);
    QVERIFY(!bench.get<QLineEdit>("Text4")->isEnabled());
    QVERIFY(!bench.get<QLineEdit>("Text5")->isEnabled());
    QVERIFY(bench.get<QLineEdit>("Text3")->isEnabled());
}

void KeypadWindowTest::first_start_without_settings_connects_nothing() {
    Bench bench;
    bench.start();
    for (const char* field : {"Text3", "Text4", "Text5"})
        QCOMPARE(bench.get<QLineEdit>(field)->text(), QString());
    QCOMPARE(int(bench.window->session().data_port()), 0);
    QCOMPARE(int(bench.window->session().send_port()), 0);
    QCOMPARE(bench.data_socket()->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(bench.send_socket()->state(), QAbstractSocket::UnconnectedState);
}

void KeypadWindowTest::data_port_above_32767_is_not_used() {
    Bench bench;
    bench.write_all_settings();
    bench.write("Data.txt", "40000\r\n");
    bench.start();
    QCOMPARE(bench.get<QLineEdit>("Text4")->text(), QString("40000"));
    QCOMPARE(int(bench.window->session().data_port()), 0);
    QTRY_VERIFY(bench.send_server.hasPendingConnections());
    QTRY_COMPARE(bench.send_socket()->state(), QAbstractSocket::ConnectedState);
    QCOMPARE(bench.data_socket()->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(!bench.data_server.hasPendingConnections());
}

void KeypadWindowTest::every_key_sends_its_message_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    for (const auto& key : delpad_test::expected_keys)
        QTest::newRow(key.name) << QString(key.name) << message(key.code);
}

void KeypadWindowTest::every_key_sends_its_message() {
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    Bench bench;
    bench.open();
    BoxCloser boxes;
    auto* button = bench.key(name.toLatin1().constData());
    QVERIFY(button);
    button->click();
    QCOMPARE(bench.received(bench.send_peer, bytes.size()), bytes);
    QCOMPARE(boxes.count, 0);
    QCOMPARE(bench.window->session().outgoing(), std::string());
    QCOMPARE(bench.data_peer->bytesAvailable(), 0);
}

void KeypadWindowTest::consecutive_keys_make_one_plain_stream() {
    Bench bench;
    bench.open();
    QByteArray expected;
    for (const auto& key : delpad_test::expected_keys) {
        bench.key(key.name)->click();
        expected += message(key.code);
    }
    QCOMPARE(bench.received(bench.send_peer, expected.size()), expected);
}

void KeypadWindowTest::digit_then_department() {
    Bench bench;
    bench.open();
    bench.key("T7(3)")->click();
    bench.key("REPARTO1")->click();
    bench.key("T7(7)")->click();
    bench.key("Command2")->click();
    bench.key("REPARTO12")->click();
    QCOMPARE(bench.received(bench.send_peer, 40),
             QByteArray("\"03\"202F\"0C\"202F\"07\"202F\"0A\"202F\"17\"202F"));
}

void KeypadWindowTest::reso_and_reso_scontrino_send_the_same() {
    Bench bench;
    bench.open();
    bench.key("RESO")->click();
    const QByteArray reso = bench.received(bench.send_peer, 8);
    bench.key("ResoRT")->click();
    const QByteArray reso_scontrino = bench.received(bench.send_peer, 8);
    QCOMPARE(reso, QByteArray("\"72\"202F"));
    QCOMPARE(reso_scontrino, reso);
    QCOMPARE(bench.key("ResoRT")->text(), QString("   RESO   scontrino"));
}

void KeypadWindowTest::display_shows_each_arrival_data() {
    QTest::addColumn<QByteArray>("arrival");
    QTest::addColumn<QString>("shown");
    const QByteArray head = "ABCDEFGHIJKLMNOPQRSTUVW";
    QTest::newRow("30 characters") << head + "1234567" << QString("1234567\r\n");
    QTest::newRow("23 characters") << head << QString("\r\n");
    QTest::newRow("blanks around") << head + "  TOTALE  " << QString("TOTALE  \r\n");
    QTest::newRow("single-byte text")
        << head + "\xE0 PAGARE" << QString::fromLatin1("\xE0 PAGARE\r\n");
}

void KeypadWindowTest::display_shows_each_arrival() {
    QFETCH(QByteArray, arrival);
    QFETCH(QString, shown);
    Bench bench;
    bench.open();
    auto* display = bench.get<QLabel>("Label1");
    display->setText("before");
    bench.data_peer->write(arrival);
    bench.data_peer->flush();
    QTRY_COMPARE(display->text(), shown);
}

void KeypadWindowTest::display_replaces_never_accumulates() {
    Bench bench;
    bench.open();
    auto* display = bench.get<QLabel>("Label1");
    const QByteArray head(23, '#');
    bench.data_peer->write(head + "PRIMA RIGA");
    QTRY_COMPARE(display->text(), QString("PRIMA RIGA\r\n"));
    bench.data_peer->write(head + "SECONDA");
    QTRY_COMPARE(display->text(), QString("SECONDA\r\n"));
    bench.data_peer->write(head);
    QTRY_COMPARE(display->text(), QString("\r\n"));
}

void KeypadWindowTest::send_connection_data_is_not_shown() {
    Bench bench;
    bench.open();
    auto* display = bench.get<QLabel>("Label1");
    bench.send_peer->write(QByteArray(23, '#') + "NOT ON DISPLAY");
    bench.send_peer->flush();
    QTest::qWait(100);
    QCOMPARE(display->text(), QString());
    bench.key("SBTL")->click();
    QCOMPARE(bench.received(bench.send_peer, 8), QByteArray("\"5D\"202F"));
}

void KeypadWindowTest::save_address_writes_ip_and_reconnects() {
    Bench bench;
    bench.open();
    QPointer<QTcpSocket> old_data = bench.data_peer;
    QPointer<QTcpSocket> old_send = bench.send_peer;
    bench.get<QLineEdit>("Text3")->setText("   127.0.0.1  ");
    bench.key("Command5")->click();

    QFile file(bench.dir.filePath("ip.txt"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("\"127.0.0.1\"\r\n"));
    QCOMPARE(bench.window->session().address(), std::string("127.0.0.1"));
    QTRY_COMPARE(old_data->state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(old_send->state(), QAbstractSocket::UnconnectedState);
    bench.accept_both();
    QVERIFY(bench.data_peer != old_data && bench.send_peer != old_send);

    bench.key("TOTALE")->click();
    QCOMPARE(bench.received(bench.send_peer, 8), QByteArray("\"5C\"202F"));
    QCOMPARE(old_send->bytesAvailable(), 0);
    bench.data_peer->write(QByteArray(23, '-') + "OK");
    QTRY_COMPARE(bench.get<QLabel>("Label1")->text(), QString("OK\r\n"));
}

void KeypadWindowTest::failed_send_shows_the_box_once_data() {
    QTest::addColumn<QString>("situation");
    QTest::newRow("no settings files") << "none";
    QTest::newRow("send port refused") << "refused";
    QTest::newRow("register closed the connection") << "closed";
    QTest::newRow("negative send port") << "negative";
    QTest::newRow("zero send port") << "zero";
}

void KeypadWindowTest::failed_send_shows_the_box_once() {
    QFETCH(QString, situation);
    Bench bench;
    if (situation == "refused") {
        bench.write_all_settings();
        bench.write("Send.txt", QByteArray::number(closed_port()));
    } else if (situation == "closed") {
        bench.write_all_settings();
    } else if (situation == "negative") {
        bench.write_all_settings();
        bench.write("Send.txt", "-" + QByteArray::number(bench.send_port));
    } else if (situation == "zero") {
        bench.write_all_settings();
        bench.write("Send.txt", "0");
    }
    bench.start();
    // No usable port: the connection is not even attempted.
    if (situation == "negative" || situation == "zero")
        QCOMPARE(bench.send_socket()->state(), QAbstractSocket::UnconnectedState);
    if (situation == "closed") {
        bench.accept_both();
        // The register is gone, not only the connection.
        bench.send_server.close();
        bench.send_peer->close();
        QTRY_COMPARE(bench.send_socket()->state(), QAbstractSocket::UnconnectedState);
    }
    QTRY_VERIFY(bench.send_socket()->state() == QAbstractSocket::UnconnectedState);

    BoxCloser boxes;
    bench.key("TOTALE")->click();
    QCOMPARE(boxes.count, 1);
    QCOMPARE(boxes.text, QString("Indirizzo IP non rintracciabile"));
    QCOMPARE(boxes.title, QString("DELPAD"));
    QCOMPARE(boxes.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(bench.window->session().outgoing(), std::string("5C"));

    // A digit press that fails is reported once as well.
    bench.key("T7(4)")->click();
    QCOMPARE(boxes.count, 2);
    QCOMPARE(bench.window->session().outgoing(), std::string("04"));

    QTest::qWait(50);
    QCOMPARE(boxes.count, 2);
    QVERIFY(!bench.send_server.hasPendingConnections());
    if (situation == "closed") QCOMPARE(bench.send_peer->bytesAvailable(), 0);
}

void KeypadWindowTest::same_key_goes_out_after_reconnect() {
    Bench bench;
    bench.write_all_settings();
    QVERIFY(QFile::remove(bench.dir.filePath("ip.txt")));
    bench.start();
    BoxCloser boxes;
    bench.key("TOTALE")->click();
    QCOMPARE(boxes.count, 1);
    QCOMPARE(bench.window->session().outgoing(), std::string("5C"));

    bench.get<QLineEdit>("Text3")->setText("127.0.0.1");
    bench.key("Command5")->click();
    bench.accept_both();
    bench.key("TOTALE")->click();
    QCOMPARE(bench.received(bench.send_peer, 8), QByteArray("\"5C\"202F"));
    QCOMPARE(boxes.count, 1);
    QCOMPARE(bench.window->session().outgoing(), std::string());
    bench.key("SBTL")->click();
    QCOMPARE(bench.received(bench.send_peer, 8), QByteArray("\"5D\"202F"));
}

void KeypadWindowTest::off_closes_both_and_ends() {
    Bench bench;
    bench.open();
    bench.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(bench.window.get()));
    // The program's event loop ends when OFF closes its one window.
    QTimer::singleShot(0, bench.key("CHIUDI"), &QPushButton::click);
    QTimer give_up;
    give_up.setSingleShot(true);
    connect(&give_up, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    give_up.start(5000);
    QCOMPARE(QApplication::exec(), 0);
    QCOMPARE(bench.data_socket()->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(bench.send_socket()->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(!bench.window->isVisible());
    QTRY_COMPARE(bench.data_peer->state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(bench.send_peer->state(), QAbstractSocket::UnconnectedState);
}

void KeypadWindowTest::hidden_connect_and_disconnect_buttons() {
    Bench bench;
    bench.open();
    QCOMPARE(bench.key("Command3")->text(), QString("DISCONNETTI"));
    QCOMPARE(bench.key("Command4")->text(), QString("CONNETTI"));
    bench.key("Command3")->click();
    QCOMPARE(bench.data_socket()->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(bench.send_socket()->state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(bench.send_peer->state(), QAbstractSocket::UnconnectedState);
    bench.key("Command4")->click();
    bench.accept_both();
    bench.key("EAN")->click();
    QCOMPARE(bench.received(bench.send_peer, 8), QByteArray("\"74\"202F"));
}

void KeypadWindowTest::version_in_credits_line() {
    Bench bench;
    bench.window = std::make_unique<KeypadWindow>(bench.dir.path());
    const QString design = bench.get<QLabel>("Label3")->text();
    QVERIFY(!design.isEmpty());
    QVERIFY(!design.contains("vers."));
    bench.window->start();
    QCOMPARE(bench.get<QLabel>("Label3")->text(),
             design + "     vers. " + delpad::program_version_text());
    QVERIFY(QRegularExpression("^\\d+\\.\\d+\\.\\d+$")
                .match(delpad::program_version_text())
                .hasMatch());
}

void KeypadWindowTest::layout_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("place");
    QTest::addColumn<bool>("hidden");
    // Twips divided by 15.
    QTest::newRow("Label2(0)") << "Label2(0)" << QRect(8, 8, 129, 17) << false;
    QTest::newRow("Text3") << "Text3" << QRect(128, 8, 97, 25) << false;
    QTest::newRow("Label2(1)") << "Label2(1)" << QRect(8, 40, 145, 17) << false;
    QTest::newRow("Text4") << "Text4" << QRect(128, 40, 65, 25) << false;
    QTest::newRow("Label2(2)") << "Label2(2)" << QRect(8, 72, 145, 17) << false;
    QTest::newRow("Text5") << "Text5" << QRect(128, 72, 65, 25) << false;
    QTest::newRow("Command5") << "Command5" << QRect(232, 8, 105, 33) << false;
    QTest::newRow("Command4") << "Command4" << QRect(232, 48, 105, 33) << true;
    QTest::newRow("Command3") << "Command3" << QRect(232, 88, 105, 33) << true;
    QTest::newRow("CHIUDI") << "CHIUDI" << QRect(344, 8, 73, 113) << false;
    QTest::newRow("Label1") << "Label1" << QRect(424, 8, 585, 113) << false;
    QTest::newRow("Label3") << "Label3" << QRect(8, 688, 1001, 33) << false;
    QTest::newRow("Connessione") << "Connessione" << QRect(232, 48, 105, 25) << false;
    QTest::newRow("REPARTO1") << "REPARTO1" << QRect(8, 128, 145, 73) << false;
    QTest::newRow("reparto15") << "reparto15" << QRect(312, 128, 145, 73) << false;
    QTest::newRow("REPARTO21") << "REPARTO21" << QRect(312, 608, 145, 73) << false;
    QTest::newRow("MENU") << "MENU" << QRect(496, 128, 97, 73) << false;
    QTest::newRow("FATTURA") << "FATTURA" << QRect(704, 128, 97, 73) << true;
    QTest::newRow("RISTAMPA_FATTURA") << "RISTAMPA_FATTURA" << QRect(808, 128, 97, 73) << true;
    QTest::newRow("AnnulloRT") << "AnnulloRT" << QRect(705, 129, 97, 73) << false;
    QTest::newRow("ResoRT") << "ResoRT" << QRect(810, 129, 97, 73) << false;
    QTest::newRow("TOTALE") << "TOTALE" << QRect(912, 608, 97, 73) << false;
    QTest::newRow("T7(5)") << "T7(5)" << QRect(600, 448, 97, 73) << false;
}

void KeypadWindowTest::layout() {
    QFETCH(QString, name);
    QFETCH(QRect, place);
    QFETCH(bool, hidden);
    QTemporaryDir dir;
    KeypadWindow window(dir.path());
    QCOMPARE(window.objectName(), QString("TASTIERA"));
    QCOMPARE(window.size(), QSize(1016, 721));
    auto* widget = window.findChild<QWidget*>(name);
    QVERIFY(widget);
    QCOMPARE(widget->geometry(), place);
    QCOMPARE(widget->isHidden(), hidden);
}

void KeypadWindowTest::fonts() {
    QTemporaryDir dir;
    KeypadWindow window(dir.path());
    const struct {
        const char* name;
        double points;
        bool bold;
    } cases[] = {{"Label2(0)", 9.75, true}, {"Text3", 9.75, true},    {"Command5", 8.25, true},
                 {"CHIUDI", 13.5, true},    {"Label3", 13.5, true},   {"TOTALE", 9.75, true},
                 {"T7(1)", 13.5, true},     {"REPARTO2", 13.5, true}, {"EAN", 12, true}};
    for (const auto& c : cases) {
        const QFont font = window.findChild<QWidget*>(c.name)->font();
        QCOMPARE(font.pointSizeF(), c.points);
        QCOMPARE(font.bold(), c.bold);
        QCOMPARE(font.families().value(0), QString("MS Sans Serif"));
    }
    const QFont display = window.findChild<QLabel*>("Label1")->font();
    QCOMPARE(display.families().value(0), QString("Lucida Console"));
    QCOMPARE(display.pointSizeF(), 36.0);
    QVERIFY(!display.bold());
    QVERIFY(window.findChild<QLabel*>("Label1")->alignment() & Qt::AlignHCenter);
}

void KeypadWindowTest::screenshot_shows_flat_colours() {
    // No settings files, so nothing connects; the fields are filled for the
    // picture only.
    QTemporaryDir dir;
    KeypadWindow window(dir.path());
    window.start();
    window.findChild<QLineEdit*>("Text3")->setText("127.0.0.1");
    window.findChild<QLineEdit*>("Text4")->setText("9930");
    window.findChild<QLineEdit*>("Text5")->setText("1723");
    window.findChild<QLabel*>("Label1")->setText(QString("TOTALE      12,50\r\n"));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QImage image = window.grab().toImage();
    const QString path =
        qEnvironmentVariable("DELPAD_SCREENSHOT", QDir::temp().filePath("delpad.png"));
    QVERIFY(image.save(path));
    QCOMPARE(image.size(), QSize(1016, 721));

    const struct {
        const char* name;
        QRgb colour;
    } faces[] = {{"MENU", 0xFF8000},   {"AnnulloRT", 0xFF0000}, {"ResoRT", 0xFF8080},
                 {"TOTALE", 0xFF80FF}, {"T7(5)", 0x808080},     {"FUNZIONE", 0xFFC080},
                 {"FEED", 0xC0C0C0},   {"Command5", 0xC0C000},  {"CHIUDI", 0x008000}};
    for (const auto& face : faces) {
        const QRect r = window.findChild<QWidget*>(face.name)->geometry();
        // Top and bottom of the face carry the same colour: no gradient.
        QCOMPARE(QColor(image.pixel(r.left() + 5, r.top() + 5)), QColor(face.colour));
        QCOMPARE(QColor(image.pixel(r.left() + 5, r.bottom() - 5)), QColor(face.colour));
    }
    QCOMPARE(QColor(image.pixel(2, 2)), QColor(0x404040));
    QCOMPARE(QColor(image.pixel(470, 684)), QColor(0x404040));
    QCOMPARE(QColor(image.pixel(430, 115)), QApplication::palette().color(QPalette::Highlight));
}

void KeypadWindowTest::display_is_plain_text_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("bold") << QByteArray("<b>12,50</b>") << QString("<b>12,50</b>\r\n");
    QTest::newRow("entity") << QByteArray("A &amp; B") << QString("A &amp; B\r\n");
    QTest::newRow("leading paragraph")
        << QByteArray("<P>    TOTALE") << QString("<P>    TOTALE\r\n");
    QTest::newRow("image") << QByteArray("<img src=\"/etc/hostname\">")
                           << QString("<img src=\"/etc/hostname\">\r\n");
    QTest::newRow("euro") << QByteArray("\x80 5,00") << QString::fromUtf8("\u20AC 5,00\r\n");
}

void KeypadWindowTest::display_is_plain_text() {
    QFETCH(QByteArray, text);
    QFETCH(QString, shown);
    Bench bench;
    bench.open();
    auto* display = bench.get<QLabel>("Label1");
    bench.data_peer->write(QByteArray(23, '#') + text);
    QTRY_COMPARE(display->text(), shown);
    QCOMPARE(display->textFormat(), Qt::PlainText);
}

void KeypadWindowTest::display_blanks_when_data_closes() {
    Bench bench;
    bench.open();
    auto* display = bench.get<QLabel>("Label1");
    bench.data_peer->write(QByteArray(23, '#') + "   12,50");
    QTRY_COMPARE(display->text(), QString("12,50\r\n"));
    bench.data_peer->close();
    QTRY_COMPARE(display->text(), QString());
}

// The first column of the display that carries ink (the text colour).
int first_inked_column(QLabel* display) {
    const QImage image = display->grab().toImage();
    const QColor ink = display->palette().color(QPalette::WindowText);
    for (int x = 0; x < image.width(); ++x)
        for (int y = 0; y < image.height(); ++y)
            if (qAbs(QColor(image.pixel(x, y)).lightness() - ink.lightness()) < 40) return x;
    return -1;
}

void KeypadWindowTest::trailing_blanks_move_the_text() {
    QTemporaryDir dir;
    KeypadWindow window(dir.path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* display = window.findChild<QLabel*>("Label1");
    display->setText("ABC\r\n");
    const int plain = first_inked_column(display);
    display->setText("ABC      \r\n");
    const int padded = first_inked_column(display);
    QVERIFY(plain > 0);
    // Six blanks of padding move the text three cells to the left.
    const int cell = QFontMetrics(display->font()).horizontalAdvance(QLatin1Char('M'));
    QCOMPARE(plain - padded, 3 * cell);
}

void KeypadWindowTest::key_after_a_drop_connects_once_more() {
    Bench bench;
    bench.open();
    BoxCloser boxes;
    bench.send_peer->close();
    bench.data_peer->close();
    QTRY_COMPARE(bench.send_socket()->state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(bench.data_socket()->state(), QAbstractSocket::UnconnectedState);
    bench.key("TOTALE")->click();
    QCOMPARE(boxes.count, 0);
    bench.accept_both();
    QCOMPARE(bench.received(bench.send_peer, 8), QByteArray("\"5C\"202F"));
    bench.data_peer->write(QByteArray(23, '-') + "DI NUOVO");
    QTRY_COMPARE(bench.get<QLabel>("Label1")->text(), QString("DI NUOVO\r\n"));
}

void KeypadWindowTest::connection_mark_follows_both_connections() {
    Bench bench;
    bench.write_all_settings();
    bench.start();
    auto* mark = bench.get<QLabel>("Connessione");
    QVERIFY(mark);
    bench.accept_both();
    QTRY_COMPARE(mark->text(), QString("COLLEGATO"));
    bench.data_peer->close();
    QTRY_COMPARE(mark->text(), QString("NON COLLEGATO"));
}

void KeypadWindowTest::save_failure_is_reported() {
    Bench bench;
    bench.open();
    QVERIFY(QDir(bench.dir.path()).mkdir("ip.txt.new"));
    BoxCloser boxes;
    bench.key("Command5")->click();
    QCOMPARE(boxes.count, 1);
    QCOMPARE(boxes.text, QString::fromLatin1(delpad::save_failure_text.data()));
    QCOMPARE(boxes.title, QString("DELPAD"));
    // The connections are renewed all the same.
    bench.accept_both();
}

void KeypadWindowTest::keyboard_plays_the_keypad_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("3") << int(Qt::Key_3) << "3" << message("03");
    QTest::newRow("comma") << int(Qt::Key_Comma) << "," << message("0B");
    QTest::newRow("period") << int(Qt::Key_Period) << "." << message("0B");
    QTest::newRow("D for 00") << int(Qt::Key_D) << "d" << message("0A");
    QTest::newRow("X") << int(Qt::Key_X) << "x" << message("61");
    QTest::newRow("asterisk") << int(Qt::Key_Asterisk) << "*" << message("61");
    QTest::newRow("Enter") << int(Qt::Key_Return) << "\r" << message("5C");
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << "\r" << message("5C");
    QTest::newRow("Backspace") << int(Qt::Key_Backspace) << "\b" << message("5F");
    QTest::newRow("Escape") << int(Qt::Key_Escape) << "\x1b" << message("69");
    QTest::newRow("F1") << int(Qt::Key_F1) << "" << message("0C");
    QTest::newRow("F12") << int(Qt::Key_F12) << "" << message("17");
}

void KeypadWindowTest::keyboard_plays_the_keypad() {
    QFETCH(int, key);
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    Bench bench;
    bench.open();
    bench.window->show();
    QVERIFY(QTest::qWaitForWindowActive(bench.window.get()));
    QVERIFY(QApplication::focusWidget() != bench.get<QLineEdit>("Text3"));
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(QApplication::focusWidget(), &press);
    // Held down, the key presses once.
    QKeyEvent repeat(QEvent::KeyPress, key, Qt::NoModifier, text, true);
    QApplication::sendEvent(QApplication::focusWidget(), &repeat);
    QCOMPARE(bench.received(bench.send_peer, bytes.size()), bytes);
    QCOMPARE(bench.get<QLineEdit>("Text3")->text(), QString("127.0.0.1"));
}

void KeypadWindowTest::keyboard_edits_the_ip_field_only_when_it_has_focus() {
    Bench bench;
    bench.open();
    bench.window->show();
    QVERIFY(QTest::qWaitForWindowActive(bench.window.get()));
    auto* ip = bench.get<QLineEdit>("Text3");
    QCOMPARE(bench.key("TOTALE")->toolTip(), QString("Tastiera: Invio"));
    QCOMPARE(bench.key("REPARTO12")->toolTip(), QString("Tastiera: F12"));
    QCOMPARE(bench.key("SBTL")->toolTip(), QString());
    // Typed at start, "35" goes to the register, not into the address.
    QTest::keyClicks(QApplication::focusWidget(), "35");
    QCOMPARE(bench.received(bench.send_peer, 16), message("03") + message("05"));
    QCOMPARE(ip->text(), QString("127.0.0.1"));
    // Clicked, the field takes the typing; Enter there sends nothing and
    // Escape gives the keyboard back to the keypad.
    ip->setFocus();
    QTest::keyClick(ip, Qt::Key_End);
    QTest::keyClicks(ip, "9");
    QTest::keyClick(ip, Qt::Key_Return);
    QCOMPARE(ip->text(), QString("127.0.0.19"));
    QTest::keyClick(ip, Qt::Key_Escape);
    QVERIFY(!ip->hasFocus());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(bench.received(bench.send_peer, 8), message("5C"));
    // Tab reaches the keys; Space presses the one that carries the frame.
    const delpad::KeySpec* key = nullptr;
    for (int i = 0; i < 8 && key == nullptr; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        key = delpad::find_key(QApplication::focusWidget()->objectName().toStdString());
    }
    QVERIFY(key);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    QCOMPARE(bench.received(bench.send_peer, 8), message(key->code.c_str()));
}

void KeypadWindowTest::window_scales_down_to_fit() {
    QTemporaryDir dir;
    KeypadWindow window(dir.path());
    window.fit_to(QSize(1366, 728), QSize(16, 39));
    QCOMPARE(window.size(), QSize(971, 689));
    QCoreApplication::processEvents();
    auto* totale = window.findChild<QWidget*>("TOTALE");
    const double s = 689.0 / 10815;
    QCOMPARE(totale->geometry(),
             QRect(qRound(13680 * s), qRound(9120 * s), qRound(1455 * s), qRound(1095 * s)));
    QVERIFY(totale->font().pointSizeF() < 9.75);
    window.fit_to(QSize(3000, 2000), QSize(16, 39));
    QCOMPARE(window.size(), QSize(1016, 721));
}

QTEST_MAIN(KeypadWindowTest)
#include "keypad_window_test.moc"
