// The keypad window. Every control sits where the register's keyboard has
// it, in twips converted to pixels; start-up, connect, SALVA IP and OFF skip
// whatever fails without a word, and only a key that cannot be sent is
// reported.
#include "keypad_window.hpp"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QTcpSocket>
#include <filesystem>
#include <string>

#include "display_text.hpp"
#include "key_button.hpp"
#include "settings_files.hpp"

namespace delpad {
namespace {

constexpr QRgb form_colour = 0x404040;
// The system's inactive-border colour of the classic Windows scheme: the
// captions of the settings band and the credits line.
constexpr QRgb inactive_border_colour = 0xD4D0C8;
constexpr int icon_pixels = 32;

const QString program_title = QStringLiteral("DELPAD");
const QString send_failure_text = QStringLiteral("Indirizzo IP non rintracciabile");
const QString credits_caption =
    QStringLiteral("DELPAD  -  tastiera remota del registratore di cassa");

QRect to_pixels(const TwipsRect& r) {
    return {delpad::to_pixels(r.left), delpad::to_pixels(r.top), delpad::to_pixels(r.width),
            delpad::to_pixels(r.height)};
}

// "MS Sans Serif" first, so Windows gets it; Liberation Sans has the same
// metrics where it is missing.
QFont sans_bold(double points) {
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setBold(true);
    font.setPointSizeF(points);
    return font;
}

QFont display_font() {
    QFont font;
    font.setFamilies({QStringLiteral("Lucida Console"), QStringLiteral("Liberation Mono")});
    font.setStyleHint(QFont::Monospace);
    font.setPointSizeF(36);
    return font;
}

QColor key_colour(const KeyColour& colour) {
    switch (colour.kind) {
        case KeyColour::Kind::system_highlight:
            return QApplication::palette().color(QPalette::Highlight);
        case KeyColour::Kind::system_button_face:
            return QApplication::palette().color(QPalette::Button);
        case KeyColour::Kind::rgb:
            break;
    }
    return QColor::fromRgb(colour.rgb);
}

// A background colour alone gets a gradient from some styles; with the
// border set as well the face stays flat.
QString flat_button_style(const QColor& face) {
    return QStringLiteral(
               "QPushButton { background-color: %1; border: 2px outset %1; }"
               "QPushButton:pressed { border-style: inset; }")
        .arg(face.name());
}

QString from_single_bytes(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

std::string to_single_bytes(const QString& text) {
    return text.toLatin1().toStdString();
}

QString trimmed_blanks(const QString& text) {
    return QString::fromStdString(trim_blanks(text.toStdString()));
}

// The pictures on CARTACRED (a card) and SBTL (a summation sign).
QIcon key_icon(const std::string& name) {
    QPixmap picture(icon_pixels, icon_pixels);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1.5));
    if (name == "CARTACRED") {
        painter.setBrush(QColor(0x3060C0));
        painter.drawRoundedRect(QRectF(2, 7, 28, 19), 3, 3);
        painter.fillRect(QRectF(2.5, 11, 27, 4), Qt::black);
        painter.fillRect(QRectF(6, 18, 7, 5), QColor(0xE0C040));
    } else {
        QFont font;
        font.setPixelSize(28);
        font.setBold(true);
        painter.setFont(font);
        painter.drawText(picture.rect(), Qt::AlignCenter, QString(QChar(0x03A3)));
    }
    return QIcon(picture);
}

// Connect is refused, silently, while the connection is in use or when there
// is no address or no usable port.
void open_connection(QTcpSocket& socket, const QString& host, std::int16_t port) {
    if (host.isEmpty() || port <= 0 || socket.state() != QAbstractSocket::UnconnectedState) return;
    socket.connectToHost(host, static_cast<quint16>(port));
}

// Closes at once; a connection still flushing is cut, so that a following
// connect finds the object free.
void close_connection(QTcpSocket& socket) {
    socket.close();
    if (socket.state() != QAbstractSocket::UnconnectedState) socket.abort();
}

// One write per message; it fails unless the connection is established.
bool write_message(QTcpSocket& socket, const QByteArray& message) {
    if (socket.state() != QAbstractSocket::ConnectedState) return false;
    if (socket.write(message) != message.size()) return false;
    socket.flush();
    return true;
}

QLabel* make_label(QWidget* parent, const char* name, const QString& text, const TwipsRect& place,
                   const QFont& font, const QColor& background, const QColor& foreground) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(to_pixels(place));
    label->setFont(font);
    QPalette colours = label->palette();
    colours.setColor(QPalette::Window, background);
    colours.setColor(QPalette::WindowText, foreground);
    label->setPalette(colours);
    label->setAutoFillBackground(true);
    return label;
}

QLineEdit* make_field(QWidget* parent, const char* name, const QString& text,
                      const TwipsRect& place) {
    auto* field = new QLineEdit(text, parent);
    field->setObjectName(QString::fromLatin1(name));
    field->setGeometry(to_pixels(place));
    field->setFont(sans_bold(9.75));
    return field;
}

KeyButton* make_button(QWidget* parent, const std::string& name, const QString& caption,
                       const TwipsRect& place, const QColor& face, double points) {
    auto* button = new KeyButton(caption, parent);
    button->setObjectName(QString::fromStdString(name));
    button->setGeometry(to_pixels(place));
    button->setFont(sans_bold(points));
    button->setStyleSheet(flat_button_style(face));
    return button;
}

}  // namespace

QString program_version() {
    return QStringLiteral(DELPAD_VERSION);
}

KeypadWindow::KeypadWindow(QString settings_dir, QWidget* parent)
    : QWidget(parent), settings_dir_(std::move(settings_dir)) {
    setObjectName(QStringLiteral("TASTIERA"));
    setWindowTitle(program_title);
    setFixedSize(delpad::to_pixels(15240), delpad::to_pixels(10815));
    QPalette colours = palette();
    colours.setColor(QPalette::Window, QColor::fromRgb(form_colour));
    setPalette(colours);
    setAutoFillBackground(true);

    data_ = new QTcpSocket(this);
    data_->setObjectName(QStringLiteral("WskClient"));
    send_ = new QTcpSocket(this);
    send_->setObjectName(QStringLiteral("WskServer"));
    connect(data_, &QTcpSocket::readyRead, this, &KeypadWindow::show_arrival);
    // Nothing that comes on the SEND connection is used; it is drained so
    // that it cannot pile up in memory.
    connect(send_, &QTcpSocket::readyRead, send_, [socket = send_] { socket->readAll(); });

    build_settings_band();
    build_keys();
}

void KeypadWindow::build_settings_band() {
    build_fields();
    build_band_buttons();
    build_display();
}

// The address and port fields with their captions; only the address is
// editable. Start-up replaces the texts they are laid out with.
void KeypadWindow::build_fields() {
    const QColor form = QColor::fromRgb(form_colour);
    const QColor caption = QColor::fromRgb(inactive_border_colour);
    make_label(this, "Label2(0)", QStringLiteral("IP STAMPANTE"), {120, 120, 1935, 255},
               sans_bold(9.75), form, caption);
    ip_field_ = make_field(this, "Text3", QStringLiteral("192.168.1.100"), {1920, 120, 1455, 375});
    make_label(this, "Label2(1)", QStringLiteral("DATA"), {120, 600, 2175, 255}, sans_bold(9.75),
               form, caption);
    data_field_ = make_field(this, "Text4", QStringLiteral("9930"), {1920, 600, 975, 375});
    data_field_->setEnabled(false);
    make_label(this, "Label2(2)", QStringLiteral("SEND"), {120, 1080, 2175, 255}, sans_bold(9.75),
               form, caption);
    send_field_ = make_field(this, "Text5", QStringLiteral("1723"), {1920, 1080, 975, 375});
    send_field_->setEnabled(false);
}

// SALVA IP and OFF; CONNETTI and DISCONNETTI exist hidden, their work run by
// the program itself.
void KeypadWindow::build_band_buttons() {
    const QColor silver(0xC0C0C0);
    auto* save = make_button(this, "Command5", QStringLiteral("SALVA IP"), {3480, 120, 1575, 495},
                             QColor(0xC0C000), 8.25);
    connect(save, &QPushButton::clicked, this, &KeypadWindow::save_address);
    auto* connect_button = make_button(this, "Command4", QStringLiteral("CONNETTI"),
                                       {3480, 720, 1575, 495}, silver, 8.25);
    connect_button->hide();
    connect(connect_button, &QPushButton::clicked, this, &KeypadWindow::connect_register);
    auto* disconnect_button = make_button(this, "Command3", QStringLiteral("DISCONNETTI"),
                                          {3480, 1320, 1575, 495}, silver, 8.25);
    disconnect_button->hide();
    connect(disconnect_button, &QPushButton::clicked, this, &KeypadWindow::disconnect_register);
    auto* off_button = make_button(this, "CHIUDI", QStringLiteral("OFF"), {5160, 120, 1095, 1695},
                                   QColor(0x008000), 13.5);
    connect(off_button, &QPushButton::clicked, this, &KeypadWindow::off);
}

// The display line, the credits line, and the two hidden fields a key
// press goes through.
void KeypadWindow::build_display() {
    const QColor form = QColor::fromRgb(form_colour);
    display_ = make_label(this, "Label1", QString(), {6360, 120, 8775, 1695}, display_font(),
                          QApplication::palette().color(QPalette::Highlight),
                          QApplication::palette().color(QPalette::WindowText));
    display_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    display_->setWordWrap(true);
    credits_ = make_label(this, "Label3", credits_caption, {120, 10320, 15015, 495},
                          sans_bold(13.5), form, QColor::fromRgb(inactive_border_colour));
    credits_->setAlignment(Qt::AlignCenter);

    outgoing_ = make_field(this, "Text1", QString(), {6360, 1440, 8775, 375});
    outgoing_->hide();
    connect(outgoing_, &QLineEdit::textChanged, this, &KeypadWindow::send_outgoing);
    digits_ = make_field(this, "Text2", QString(), {14820, 1920, 435, 720});
    digits_->hide();
}

void KeypadWindow::build_keys() {
    for (const auto& key : key_table()) add_key(key);
}

QPushButton* KeypadWindow::add_key(const KeySpec& key) {
    auto* button = make_button(this, key.name, QString::fromStdString(key.caption), key.place,
                               key_colour(key.colour), key.point_size);
    if (key.icon) {
        button->setIcon(key_icon(key.name));
        button->setIconSize({icon_pixels, icon_pixels});
    }
    if (key.hidden) button->hide();
    connect(button, &QPushButton::clicked, this, [this, &key] { press_key(key); });
    return button;
}

void KeypadWindow::start() {
    credits_->setText(credits_->text() + QStringLiteral("     vers. ") + program_version());
    const std::filesystem::path dir(settings_dir_.toStdU16String());
    ip_field_->setText(from_single_bytes(read_setting(dir, ip_file)));
    data_field_->setText(from_single_bytes(read_setting(dir, data_file)));
    send_field_->setText(from_single_bytes(read_setting(dir, send_file)));
    connect_register();
}

void KeypadWindow::connect_register() {
    address_ = trimmed_blanks(ip_field_->text());
    convert_port(data_field_->text().toStdString(), data_port_);
    convert_port(send_field_->text().toStdString(), send_port_);
    open_connection(*data_, address_, data_port_);
    QCoreApplication::processEvents();
    open_connection(*send_, address_, send_port_);
    QCoreApplication::processEvents();
}

void KeypadWindow::disconnect_register() {
    close_connection(*data_);
    close_connection(*send_);
}

void KeypadWindow::save_address() {
    save_ip(std::filesystem::path(settings_dir_.toStdU16String()),
            to_single_bytes(ip_field_->text()));
    close_connection(*data_);
    close_connection(*send_);
    connect_register();
}

void KeypadWindow::off() {
    disconnect_register();
    close_connection(*data_);
    close_connection(*send_);
    close();
}

void KeypadWindow::press_key(const KeySpec& key) {
    if (key.family == KeyFamily::digit) {
        press_digit(key);
        return;
    }
    set_outgoing(QString::fromStdString(key.code));
    if (key.clears_digit_field) digits_->clear();
}

void KeypadWindow::press_digit(const KeySpec& key) {
    digits_->setText(digits_->text() + QString::fromStdString(key.caption.substr(0, 1)));
    set_outgoing(digits_->text().rightJustified(2, u'0'));
    digits_->clear();
}

// Setting the outgoing field sends through its change handler. A code equal
// to the one a failed send left there changes nothing, so it is sent
// directly: every key press goes out or is reported.
void KeypadWindow::set_outgoing(const QString& code) {
    if (outgoing_->text() == code)
        send_outgoing();
    else
        outgoing_->setText(code);
}

void KeypadWindow::send_outgoing() {
    const QString code = outgoing_->text();
    if (trimmed_blanks(code).size() < 2) return;
    const auto message = QByteArray::fromStdString(key_message(to_single_bytes(code)));
    if (!write_message(*send_, message)) {
        report_send_failure();
        return;
    }
    outgoing_->clear();
}

void KeypadWindow::report_send_failure() {
    QMessageBox box(QMessageBox::NoIcon, program_title, send_failure_text, QMessageBox::Ok, this);
    box.exec();
}

void KeypadWindow::show_arrival() {
    const QByteArray arrival = data_->readAll();
    const std::string text = display_text(
        std::string_view(arrival.constData(), static_cast<std::size_t>(arrival.size())));
    display_->setText(from_single_bytes(text));
}

}  // namespace delpad
