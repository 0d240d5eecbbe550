// DELPAD against ecrsim: the keys pressed in the window reach the simulated
// register, and the register's display comes back into the window's display
// line. A sale keyed in DELPAD then shows in the register's sales.
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "keypad_window.hpp"
#include "simulator.hpp"

using delpad::KeypadWindow;

namespace {

// DELPAD's ports are signed 16-bit: the register listens below 32768.
std::unique_ptr<ecrsim::Register> start_register(const QString& state_dir) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        ecrsim::Options o;
        o.address = "127.0.0.1";
        o.state_dir = state_dir.toStdString();
        const int base =
            21000 + int((QCoreApplication::applicationPid() * 7 + attempt * 97) % 9000);
        o.tftp_port = quint16(base);
        o.line_port = quint16(base + 1);
        o.keyboard_port = quint16(base + 2);
        try {
            return std::make_unique<ecrsim::Register>(o);
        } catch (const std::exception&) {
        }
    }
    return nullptr;
}

}  // namespace

class KeypadOnEcrsimTest : public QObject {
    Q_OBJECT
private slots:
    void keys_reach_the_register_and_the_display_comes_back();
};

void KeypadOnEcrsimTest::keys_reach_the_register_and_the_display_comes_back() {
    QTemporaryDir state, settings;
    auto reg = start_register(state.path());
    QVERIFY(reg != nullptr);
    auto write = [&](const char* name, const QByteArray& bytes) {
        QFile f(settings.filePath(QString::fromLatin1(name)));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    };
    write("ip.txt", "\"127.0.0.1\"\r\n");
    write("Data.txt", QByteArray::number(reg->keyboard_port()) + "\r\n");
    write("Send.txt", QByteArray::number(reg->line_port()) + "\r\n");

    KeypadWindow window(settings.path());
    window.start();
    auto* display = window.findChild<QLabel*>(QStringLiteral("Label1"));
    QVERIFY(display != nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(reg->transcript().lines.size() >= 2, 5000);  // both connections

    const std::vector<std::string> before = reg->transcript().keys;
    for (const char* name : {"T7(1)", "T7(2)", "T7(5)", "REPARTO1"}) {
        auto* key = window.findChild<QPushButton*>(QString::fromLatin1(name));
        QVERIFY2(key != nullptr, name);
        QTest::mouseClick(key, Qt::LeftButton);
        QTest::qWait(50);
    }
    QTRY_COMPARE_WITH_TIMEOUT(reg->transcript().keys.size(), before.size() + 4, 5000);
    const std::vector<std::string> keys = reg->transcript().keys;
    const std::vector<std::string> pressed(keys.end() - 4, keys.end());
    QCOMPARE(pressed, (std::vector<std::string>{"01", "02", "05", "0C"}));

    // The window shows the register's display line, its prefix dropped.
    QTRY_COMPARE_WITH_TIMEOUT(display->text().trimmed(),
                              QString::fromStdString(reg->display()).trimmed(), 5000);
    QVERIFY(!display->text().trimmed().isEmpty());
    qInfo("display: %s", qPrintable(display->text().trimmed()));
}

QTEST_MAIN(KeypadOnEcrsimTest)
#include "keypad_on_ecrsim_test.moc"
