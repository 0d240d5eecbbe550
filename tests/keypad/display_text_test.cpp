// The display rule: 23 characters dropped, CR LF appended, blanks trimmed.
#include "display_text.hpp"

#include <QTest>

class DisplayTextTest : public QObject {
    Q_OBJECT
private slots:
    void display_text_data();
    void display_text();
};

void DisplayTextTest::display_text_data() {
    QTest::addColumn<QByteArray>("arrival");
    QTest::addColumn<QByteArray>("shown");
    const QByteArray head = "ABCDEFGHIJKLMNOPQRSTUVW";  // 23 characters
    QTest::newRow("30 characters") << head + "1234567" << QByteArray("1234567\r\n");
    QTest::newRow("23 characters") << head << QByteArray("\r\n");
    QTest::newRow("24 characters") << head + "Z" << QByteArray("Z\r\n");
    QTest::newRow("22 characters") << head.left(22) << QByteArray("\r\n");
    QTest::newRow("nothing") << QByteArray() << QByteArray("\r\n");
    QTest::newRow("leading blanks removed") << head + "   TOTALE" << QByteArray("TOTALE\r\n");
    QTest::newRow("blanks before CR LF stay") << head + "TOTALE   " << QByteArray("TOTALE   \r\n");
    QTest::newRow("only blanks") << head + "      " << QByteArray("\r\n");
    QTest::newRow("blanks in the head do not count")
        << QByteArray(23, ' ') + "  12,50" << QByteArray("12,50\r\n");
    QTest::newRow("line ends kept")
        << head + "RIGA 1\r\nRIGA 2" << QByteArray("RIGA 1\r\nRIGA 2\r\n");
    QTest::newRow("tabs are not blanks") << head + "\t5,00" << QByteArray("\t5,00\r\n");
    QTest::newRow("bytes above 127") << head + "\xE0 \x80" << QByteArray("\xE0 \x80\r\n");
}

void DisplayTextTest::display_text() {
    QFETCH(QByteArray, arrival);
    QFETCH(QByteArray, shown);
    const std::string text =
        delpad::display_text(std::string_view(arrival.constData(), std::size_t(arrival.size())));
    QCOMPARE(QByteArray::fromStdString(text), shown);
}

QTEST_APPLESS_MAIN(DisplayTextTest)
#include "display_text_test.moc"
