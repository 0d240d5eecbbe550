// The key table against the register's key list written out by hand, and
// the places, colours and type sizes of the keys.
#include "key_table.hpp"

#include <QTest>
#include <set>

#include "expected_keys.hpp"

using namespace delpad;

namespace {

const KeySpec* find_key(const std::string& name) {
    for (const auto& key : key_table())
        if (key.name == name) return &key;
    return nullptr;
}

bool overlaps(const TwipsRect& a, const TwipsRect& b) {
    return a.left < b.left + b.width && b.left < a.left + a.width && a.top < b.top + b.height &&
           b.top < a.top + a.height;
}

}  // namespace

class KeyTableTest : public QObject {
    Q_OBJECT
private slots:
    void every_key_has_its_caption_and_code_data();
    void every_key_has_its_caption_and_code();
    void no_other_keys();
    void message_is_quote_code_quote_202F();
    void families_and_digit_field_clearing();
    void places_data();
    void places();
    void visible_keys_do_not_overlap();
    void colours_and_type_sizes_data();
    void colours_and_type_sizes();
};

void KeyTableTest::every_key_has_its_caption_and_code_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("code");
    for (const auto& key : delpad_test::expected_keys)
        QTest::newRow(key.name) << QString(key.name) << QString(key.caption) << QString(key.code);
}

void KeyTableTest::every_key_has_its_caption_and_code() {
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QString, code);
    const KeySpec* key = find_key(name.toStdString());
    QVERIFY(key);
    QCOMPARE(QString::fromStdString(key->caption), caption);
    QCOMPARE(QString::fromStdString(key->code), code);
}

void KeyTableTest::no_other_keys() {
    std::set<std::string> names;
    for (const auto& key : key_table()) QVERIFY2(names.insert(key.name).second, key.name.c_str());
    QCOMPARE(key_table().size(), delpad_test::expected_keys.size());
}

void KeyTableTest::message_is_quote_code_quote_202F() {
    QCOMPARE(key_message("5C"), std::string("\"5C\"202F"));
    QCOMPARE(key_message("07"), std::string("\"07\"202F"));
    for (const auto& key : key_table()) QCOMPARE(key_message(key.code).size(), std::size_t(8));
}

void KeyTableTest::families_and_digit_field_clearing() {
    const std::set<std::string> clearing = {"C", "MENU", "X", "RISTAMPA_FATTURA"};
    for (const auto& key : key_table()) {
        const bool digit = key.name.rfind("T7(", 0) == 0;
        const bool department = key.name.rfind("REPARTO", 0) == 0 || key.name == "reparto15";
        QVERIFY2((key.family == KeyFamily::digit) == digit, key.name.c_str());
        QVERIFY2(key.clears_digit_field == (department || clearing.count(key.name) > 0),
                 key.name.c_str());
    }
}

void KeyTableTest::places_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("left");
    QTest::addColumn<int>("top");
    QTest::addColumn<int>("width");
    QTest::addColumn<bool>("hidden");
    QTest::newRow("REPARTO1") << "REPARTO1" << 120 << 1920 << 2175 << false;
    QTest::newRow("REPARTO7") << "REPARTO7" << 120 << 9120 << 2175 << false;
    QTest::newRow("REPARTO8") << "REPARTO8" << 2400 << 1920 << 2175 << false;
    QTest::newRow("REPARTO12") << "REPARTO12" << 2400 << 6720 << 2175 << false;
    QTest::newRow("reparto15") << "reparto15" << 4680 << 1920 << 2175 << false;
    QTest::newRow("REPARTO21") << "REPARTO21" << 4680 << 9120 << 2175 << false;
    QTest::newRow("MENU") << "MENU" << 7440 << 1920 << 1455 << false;
    QTest::newRow("FATTURA") << "FATTURA" << 10560 << 1920 << 1455 << true;
    QTest::newRow("RISTAMPA_FATTURA") << "RISTAMPA_FATTURA" << 12120 << 1920 << 1455 << true;
    QTest::newRow("AnnulloRT") << "AnnulloRT" << 10575 << 1935 << 1455 << false;
    QTest::newRow("ResoRT") << "ResoRT" << 12150 << 1935 << 1455 << false;
    QTest::newRow("CASSETTO") << "CASSETTO" << 13680 << 1920 << 1455 << false;
    QTest::newRow("PERC_A") << "PERC_A" << 12120 << 3120 << 1455 << false;
    QTest::newRow("RESO") << "RESO" << 10560 << 4320 << 1455 << false;
    QTest::newRow("T7(7)") << "T7(7)" << 7440 << 5520 << 1455 << false;
    QTest::newRow("CARTACRED") << "CARTACRED" << 13680 << 5520 << 1455 << false;
    QTest::newRow("Credito") << "Credito" << 13680 << 6720 << 1455 << false;
    QTest::newRow("C") << "C" << 12120 << 7920 << 1455 << false;
    QTest::newRow("T7(3)") << "T7(3)" << 10560 << 7920 << 1455 << false;
    QTest::newRow("Command3_VIRG") << "Command3_VIRG" << 7440 << 9120 << 1455 << false;
    QTest::newRow("T7(0)") << "T7(0)" << 9000 << 9120 << 1455 << false;
    QTest::newRow("Command2") << "Command2" << 10560 << 9120 << 1455 << false;
    QTest::newRow("FEED") << "FEED" << 12120 << 9120 << 1455 << false;
    QTest::newRow("TOTALE") << "TOTALE" << 13680 << 9120 << 1455 << false;
}

void KeyTableTest::places() {
    QFETCH(QString, name);
    QFETCH(int, left);
    QFETCH(int, top);
    QFETCH(int, width);
    QFETCH(bool, hidden);
    const KeySpec* key = find_key(name.toStdString());
    QVERIFY(key);
    QCOMPARE(key->place.left, left);
    QCOMPARE(key->place.top, top);
    QCOMPARE(key->place.width, width);
    QCOMPARE(key->place.height, 1095);
    QCOMPARE(key->hidden, hidden);
}

void KeyTableTest::visible_keys_do_not_overlap() {
    const auto& keys = key_table();
    for (std::size_t i = 0; i < keys.size(); ++i)
        for (std::size_t j = i + 1; j < keys.size(); ++j)
            if (!keys[i].hidden && !keys[j].hidden)
                QVERIFY2(!overlaps(keys[i].place, keys[j].place),
                         (keys[i].name + " " + keys[j].name).c_str());
    // Each hidden key lies under a visible one.
    QVERIFY(overlaps(find_key("FATTURA")->place, find_key("AnnulloRT")->place));
    QVERIFY(overlaps(find_key("RISTAMPA_FATTURA")->place, find_key("ResoRT")->place));
}

void KeyTableTest::colours_and_type_sizes_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("kind");
    QTest::addColumn<uint>("rgb");
    QTest::addColumn<double>("points");
    const int rgb = int(KeyColour::Kind::rgb);
    QTest::newRow("AnnulloRT") << "AnnulloRT" << rgb << 0xFF0000u << 12.0;
    QTest::newRow("ANNULLA") << "ANNULLA" << rgb << 0xFF0000u << 12.0;
    QTest::newRow("Command1") << "Command1" << rgb << 0xFF0000u << 12.0;
    QTest::newRow("TOTALVOID") << "TOTALVOID" << rgb << 0xFF0000u << 12.0;
    QTest::newRow("C") << "C" << rgb << 0xFF0000u << 13.5;
    QTest::newRow("ResoRT") << "ResoRT" << rgb << 0xFF8080u << 12.0;
    QTest::newRow("RESO") << "RESO" << rgb << 0xFF8080u << 12.0;
    QTest::newRow("TOTALE") << "TOTALE" << rgb << 0xFF80FFu << 9.75;
    QTest::newRow("Credito") << "Credito" << rgb << 0xFF80FFu << 13.5;
    QTest::newRow("CARTACRED") << "CARTACRED" << rgb << 0xFF80FFu << 13.5;
    QTest::newRow("SBTL") << "SBTL" << rgb << 0xFF80FFu << 13.5;
    QTest::newRow("MENU") << "MENU" << rgb << 0xFF8000u << 13.5;
    QTest::newRow("FUNZIONE") << "FUNZIONE" << rgb << 0xFFC080u << 12.0;
    QTest::newRow("T7(0)") << "T7(0)" << rgb << 0x808080u << 13.5;
    QTest::newRow("T7(9)") << "T7(9)" << rgb << 0x808080u << 13.5;
    QTest::newRow("Command2") << "Command2" << rgb << 0x808080u << 13.5;
    QTest::newRow("Command3_VIRG") << "Command3_VIRG" << rgb << 0x808080u << 13.5;
    QTest::newRow("PLU") << "PLU" << int(KeyColour::Kind::system_button_face) << 0u << 12.0;
    QTest::newRow("X") << "X" << int(KeyColour::Kind::system_button_face) << 0u << 13.5;
    QTest::newRow("REPARTO3") << "REPARTO3" << int(KeyColour::Kind::system_highlight) << 0u << 13.5;
    QTest::newRow("CASSETTO") << "CASSETTO" << rgb << 0xC0C0C0u << 9.75;
    QTest::newRow("RISTAMPA_FATTURA") << "RISTAMPA_FATTURA" << rgb << 0xC0C0C0u << 9.75;
    QTest::newRow("FATTURA") << "FATTURA" << rgb << 0xC0C0C0u << 12.0;
    QTest::newRow("OPERAT") << "OPERAT" << rgb << 0xC0C0C0u << 12.0;
    QTest::newRow("FEED") << "FEED" << rgb << 0xC0C0C0u << 12.0;
    QTest::newRow("BUONI") << "BUONI" << rgb << 0xC0C0C0u << 12.0;
}

void KeyTableTest::colours_and_type_sizes() {
    QFETCH(QString, name);
    QFETCH(int, kind);
    QFETCH(uint, rgb);
    QFETCH(double, points);
    const KeySpec* key = find_key(name.toStdString());
    QVERIFY(key);
    QCOMPARE(int(key->colour.kind), kind);
    if (key->colour.kind == KeyColour::Kind::rgb) QCOMPARE(uint(key->colour.rgb), rgb);
    QCOMPARE(key->point_size, points);
    QCOMPARE(key->icon, name == "CARTACRED" || name == "SBTL");
}

QTEST_APPLESS_MAIN(KeyTableTest)
#include "key_table_test.moc"
