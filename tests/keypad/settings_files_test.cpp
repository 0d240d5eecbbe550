// The settings files: first-field rule, port conversion, the file lookup and
// the record SALVA IP writes.
#include "settings_files.hpp"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace delpad;

namespace {

std::filesystem::path path_of(const QTemporaryDir& dir) {
    return std::filesystem::path(dir.path().toStdString());
}

void write_file(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    QFile file(dir.filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray read_file(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return "<missing>";
    return file.readAll();
}

}  // namespace

class SettingsFilesTest : public QObject {
    Q_OBJECT
private slots:
    void first_field_data();
    void first_field();
    void convert_port_data();
    void convert_port();
    void trim_blanks_only_spaces();
    void read_setting_data();
    void read_setting();
    void read_setting_missing_or_not_a_file();
    void read_setting_prefers_the_exact_name();
    void save_ip_writes_one_quoted_record();
    void save_ip_record_reads_back_as_the_address();
    void save_ip_fails_silently();
    void failed_save_keeps_the_saved_address();
};

void SettingsFilesTest::first_field_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("field");
    QTest::newRow("plain address") << QByteArray("192.168.1.20\r\n") << QByteArray("192.168.1.20");
    QTest::newRow("quoted address")
        << QByteArray("\"192.168.1.20\"\r\n") << QByteArray("192.168.1.20");
    QTest::newRow("no line end") << QByteArray("9930") << QByteArray("9930");
    QTest::newRow("comma ends the field") << QByteArray("9930,more text\r\n") << QByteArray("9930");
    QTest::newRow("leading blanks skipped")
        << QByteArray("   10.0.0.1\r\n") << QByteArray("10.0.0.1");
    QTest::newRow("trailing blanks kept") << QByteArray("1723  ,x\r\n") << QByteArray("1723  ");
    QTest::newRow("only the first line") << QByteArray("alpha\r\nbeta\r\n") << QByteArray("alpha");
    QTest::newRow("unix line end") << QByteArray("alpha\nbeta") << QByteArray("alpha");
    QTest::newRow("quoted comma kept") << QByteArray("\"a,b\",c\r\n") << QByteArray("a,b");
    QTest::newRow("after the quote ignored") << QByteArray("\"cassa\" 12,x") << QByteArray("cassa");
    QTest::newRow("blanks then quotes") << QByteArray("  \" host \"\r\n") << QByteArray(" host ");
    QTest::newRow("unclosed quote to line end")
        << QByteArray("\"cassa\r\nnext") << QByteArray("cassa");
    QTest::newRow("empty file") << QByteArray() << QByteArray();
    QTest::newRow("empty first line") << QByteArray("\r\n9930\r\n") << QByteArray();
    QTest::newRow("blank first line") << QByteArray("    \r\n9930") << QByteArray();
    QTest::newRow("leading comma") << QByteArray(",9930") << QByteArray();
}

void SettingsFilesTest::first_field() {
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, field);
    QCOMPARE(QByteArray::fromStdString(delpad::first_field(content.toStdString())), field);
}

void SettingsFilesTest::convert_port_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("fits");
    QTest::addColumn<int>("port");
    QTest::newRow("plain") << QByteArray("9930") << true << 9930;
    QTest::newRow("empty gives 0") << QByteArray("") << true << 0;
    QTest::newRow("no number gives 0") << QByteArray("abc") << true << 0;
    QTest::newRow("leading number") << QByteArray("1723xyz") << true << 1723;
    QTest::newRow("leading blanks") << QByteArray("   1723") << true << 1723;
    QTest::newRow("trailing blanks") << QByteArray("1723   ") << true << 1723;
    QTest::newRow("plus sign") << QByteArray("+80") << true << 80;
    QTest::newRow("negative") << QByteArray("-1") << true << -1;
    QTest::newRow("largest") << QByteArray("32767") << true << 32767;
    QTest::newRow("half down to even") << QByteArray("2.5") << true << 2;
    QTest::newRow("half up to even") << QByteArray("3.5") << true << 4;
    QTest::newRow("above half") << QByteArray("2.5001") << true << 3;
    QTest::newRow("below half") << QByteArray("1723.4999") << true << 1723;
    QTest::newRow("fraction only") << QByteArray(".7") << true << 1;
    QTest::newRow("negative half to even") << QByteArray("-32768.5") << true << -32768;
    QTest::newRow("above 32767") << QByteArray("32768") << false << 0;
    QTest::newRow("far above") << QByteArray("65535") << false << 0;
    QTest::newRow("endless digits") << QByteArray("99999999999999999999999999") << false << 0;
    QTest::newRow("rounds past 32767") << QByteArray("32767.5") << false << 0;
    QTest::newRow("below -32768") << QByteArray("-32769") << false << 0;
}

void SettingsFilesTest::convert_port() {
    QFETCH(QByteArray, text);
    QFETCH(bool, fits);
    QFETCH(int, port);
    // A failed conversion keeps the value the port had.
    constexpr std::int16_t previous = 4321;
    std::int16_t value = previous;
    QCOMPARE(delpad::convert_port(text.toStdString(), value), fits);
    QCOMPARE(int(value), fits ? port : int(previous));
}

void SettingsFilesTest::trim_blanks_only_spaces() {
    QCOMPARE(trim_blanks("  a b  "), std::string("a b"));
    QCOMPARE(trim_blanks("\t a \r\n"), std::string("\t a \r\n"));
    QCOMPARE(trim_blanks("     "), std::string());
}

void SettingsFilesTest::read_setting_data() {
    QTest::addColumn<QString>("file_name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("asked");
    QTest::addColumn<QByteArray>("field");
    QTest::newRow("ip quoted") << "ip.txt" << QByteArray("\"127.0.0.1\"\r\n") << "ip.txt"
                               << QByteArray("127.0.0.1");
    QTest::newRow("ip unquoted") << "ip.txt" << QByteArray("127.0.0.1\r\n") << "ip.txt"
                                 << QByteArray("127.0.0.1");
    QTest::newRow("data lower case")
        << "data.txt" << QByteArray("9930,x\r\n") << "Data.txt" << QByteArray("9930");
    QTest::newRow("send upper case")
        << "SEND.TXT" << QByteArray("1723\r\n") << "Send.txt" << QByteArray("1723");
    QTest::newRow("empty file") << "Send.txt" << QByteArray() << "Send.txt" << QByteArray();
}

void SettingsFilesTest::read_setting() {
    QFETCH(QString, file_name);
    QFETCH(QByteArray, content);
    QFETCH(QString, asked);
    QFETCH(QByteArray, field);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    write_file(dir, file_name, content);
    QCOMPARE(QByteArray::fromStdString(delpad::read_setting(path_of(dir), asked.toStdString())),
             field);
}

void SettingsFilesTest::read_setting_missing_or_not_a_file() {
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("Send.txt"));
    write_file(dir, "other.txt", "9930\r\n");
    QCOMPARE(delpad::read_setting(path_of(dir), data_file), std::string());
    QCOMPARE(delpad::read_setting(path_of(dir), send_file), std::string());
    QCOMPARE(delpad::read_setting(path_of(dir) / "absent", ip_file), std::string());
}

void SettingsFilesTest::read_setting_prefers_the_exact_name() {
    QTemporaryDir dir;
    write_file(dir, "IP.TXT", "10.0.0.9\r\n");
    write_file(dir, "ip.txt", "\"127.0.0.1\"\r\n");
    QCOMPARE(delpad::read_setting(path_of(dir), ip_file), std::string("127.0.0.1"));
}

void SettingsFilesTest::save_ip_writes_one_quoted_record() {
    QTemporaryDir dir;
    write_file(dir, "ip.txt", "\"10.1.2.3\"\r\nsecond line that must go\r\n");
    QVERIFY(save_ip(path_of(dir), "   127.0.0.1  "));
    QCOMPARE(read_file(dir.filePath("ip.txt")), QByteArray("\"127.0.0.1\"\r\n"));
    QCOMPARE(ip_record(""), std::string("\"\"\r\n"));
}

void SettingsFilesTest::save_ip_record_reads_back_as_the_address() {
    QTemporaryDir dir;
    QVERIFY(save_ip(path_of(dir), " cassa "));
    QCOMPARE(delpad::read_setting(path_of(dir), ip_file), std::string("cassa"));
}

void SettingsFilesTest::save_ip_fails_silently() {
    QTemporaryDir dir;
    QVERIFY(!save_ip(path_of(dir) / "absent", "127.0.0.1"));
    QVERIFY(!QFile::exists(dir.filePath("absent/ip.txt")));
}

void SettingsFilesTest::failed_save_keeps_the_saved_address() {
    QTemporaryDir dir;
    write_file(dir, "ip.txt", "\"10.1.2.3\"\r\n");
    // A directory where the new record would be written makes the write fail.
    QVERIFY(QDir(dir.path()).mkdir("ip.txt.new"));
    QVERIFY(!save_ip(path_of(dir), "127.0.0.1"));
    QCOMPARE(read_file(dir.filePath("ip.txt")), QByteArray("\"10.1.2.3\"\r\n"));
    QVERIFY(QDir(dir.path()).rmdir("ip.txt.new"));
    QVERIFY(save_ip(path_of(dir), "127.0.0.1"));
    QCOMPARE(read_file(dir.filePath("ip.txt")), QByteArray("\"127.0.0.1\"\r\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"ip.txt"});
}

QTEST_APPLESS_MAIN(SettingsFilesTest)
#include "settings_files_test.moc"
