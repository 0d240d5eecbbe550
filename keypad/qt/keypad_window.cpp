// The keypad window. Every control sits where the register's keyboard has
// it, in twips scaled to the window; what a key sends, when a failure is
// reported and what the display shows are the session's decisions.
#include "keypad_window.hpp"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTcpSocket>
#include <filesystem>
#include <string>

#include "display_line.hpp"
#include "display_text.hpp"
#include "key_button.hpp"

namespace delpad {
namespace {

constexpr int icon_pixels = 32;
constexpr double natural_scale = 1.0 / twips_per_pixel;

QString from_view(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

QString from_single_bytes(const std::string& text) {
    const std::u16string wide = decode_cp1252(text);
    return QString::fromUtf16(wide.data(), static_cast<qsizetype>(wide.size()));
}

std::string to_single_bytes(const QString& text) {
    return text.toLatin1().toStdString();
}

// "MS Sans Serif" first, so Windows gets it; Liberation Sans has the same
// metrics where it is missing.
QFont sans_bold() {
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setBold(true);
    return font;
}

QFont display_font() {
    QFont font;
    font.setFamilies({QStringLiteral("Lucida Console"), QStringLiteral("Liberation Mono")});
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    return font;
}

QColor colour_of(const KeyColour& colour) {
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

void set_colours(QWidget* widget, const QColor& background, const QColor& foreground) {
    QPalette colours = widget->palette();
    colours.setColor(QPalette::Window, background);
    colours.setColor(QPalette::WindowText, foreground);
    widget->setPalette(colours);
    widget->setAutoFillBackground(true);
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

// Closes at once; a connection still flushing is cut, so that a following
// connect finds the object free.
void close_connection(QTcpSocket& socket) {
    socket.close();
    if (socket.state() != QAbstractSocket::UnconnectedState) socket.abort();
}

// A QTcpSocket as the session's connection.
class SocketLink : public Link {
public:
    explicit SocketLink(QTcpSocket& socket) : socket_(socket) {}
    void open(const std::string& host, std::uint16_t port) override {
        socket_.connectToHost(QString::fromStdString(host), port);
        // The window handles what is pending, as it does after each connect.
        QCoreApplication::processEvents();
    }
    bool open_now(const std::string& host, std::uint16_t port) override {
        socket_.connectToHost(QString::fromStdString(host), port);
        return socket_.waitForConnected(reconnect_wait_ms);
    }
    void close() override { close_connection(socket_); }
    bool is_open() const override { return socket_.state() == QAbstractSocket::ConnectedState; }
    bool is_idle() const override { return socket_.state() == QAbstractSocket::UnconnectedState; }
    // One write per message; it fails unless the connection is established.
    bool send(std::string_view bytes) override {
        if (!is_open()) return false;
        const auto size = static_cast<qint64>(bytes.size());
        if (socket_.write(bytes.data(), size) != size) return false;
        socket_.flush();
        return true;
    }

private:
    QTcpSocket& socket_;
};

}  // namespace

QString program_version_text() {
    return from_view(program_version());
}

KeypadWindow::KeypadWindow(QString settings_dir, QWidget* parent)
    : QWidget(parent), settings_dir_(std::move(settings_dir)) {
    setObjectName(QStringLiteral("TASTIERA"));
    setWindowTitle(from_view(program_title));
    set_colours(this, QColor::fromRgb(form_colour), palette().color(QPalette::WindowText));
    // The keyboard belongs to the keypad until the IP field is clicked.
    setFocusPolicy(Qt::StrongFocus);

    data_ = new QTcpSocket(this);
    data_->setObjectName(QStringLiteral("WskClient"));
    send_ = new QTcpSocket(this);
    send_->setObjectName(QStringLiteral("WskServer"));
    data_link_ = std::make_unique<SocketLink>(*data_);
    send_link_ = std::make_unique<SocketLink>(*send_);
    session_ = std::make_unique<Session>(*data_link_, *send_link_,
                                         std::filesystem::path(settings_dir_.toStdU16String()));
    connect(data_, &QTcpSocket::readyRead, this, &KeypadWindow::show_arrival);
    connect(data_, &QTcpSocket::disconnected, this, [this] {
        session_->data_closed();
        display_->clear();
    });
    // Nothing that comes on the SEND connection is used; it is drained so
    // that it cannot pile up in memory.
    connect(send_, &QTcpSocket::readyRead, send_, [socket = send_] { socket->readAll(); });
    for (auto* socket : {data_, send_})
        connect(socket, &QTcpSocket::stateChanged, this, &KeypadWindow::show_connection);

    build_controls();
    build_keys();
    show_connection();
    resize(delpad::to_pixels(form_width), delpad::to_pixels(form_height));
}

// The sockets outlive the session while QObject deletes its children, so
// their signals must no longer reach the window.
KeypadWindow::~KeypadWindow() {
    data_->disconnect(this);
    send_->disconnect(this);
}

void KeypadWindow::place(QWidget* widget, const TwipsRect& where, double points) {
    placed_.push_back({widget, where, points});
    const PixelRect r = scaled(where, natural_scale);
    widget->setGeometry(r.left, r.top, r.width, r.height);
    QFont font = widget->font();
    font.setPointSizeF(points);
    widget->setFont(font);
}

// The settings band, the display line, the mark and the credits line; only
// the address is editable. Start-up replaces the texts the fields are laid
// out with. CONNETTI and DISCONNETTI exist hidden, their work run by the
// program itself.
void KeypadWindow::build_controls() {
    for (const auto& c : form_controls()) {
        const QString name = QString::fromLatin1(c.name);
        const QString text = from_view(c.text);
        QWidget* widget = nullptr;
        switch (c.kind) {
            case ControlKind::label: {
                auto* label = new QLabel(text, this);
                label->setTextFormat(Qt::PlainText);
                label->setFont(sans_bold());
                set_colours(label, colour_of(c.colour), QColor::fromRgb(caption_colour));
                if (name == QLatin1String("Label3")) {
                    label->setAlignment(Qt::AlignCenter);
                    credits_ = label;
                }
                widget = label;
                break;
            }
            case ControlKind::field: {
                auto* field = new QLineEdit(text, this);
                field->setFont(sans_bold());
                if (name == QLatin1String("Text3")) ip_field_ = field;
                if (name == QLatin1String("Text4")) data_field_ = field;
                if (name == QLatin1String("Text5")) send_field_ = field;
                field->setEnabled(field == ip_field_);
                widget = field;
                break;
            }
            case ControlKind::button: {
                auto* button = new KeyButton(text, this);
                button->setFont(sans_bold());
                button->setStyleSheet(flat_button_style(colour_of(c.colour)));
                if (name == QLatin1String("Command5"))
                    connect(button, &QPushButton::clicked, this, &KeypadWindow::save_address);
                if (name == QLatin1String("Command4"))
                    connect(button, &QPushButton::clicked, this, &KeypadWindow::connect_register);
                if (name == QLatin1String("Command3"))
                    connect(button, &QPushButton::clicked, this,
                            &KeypadWindow::disconnect_register);
                if (name == QLatin1String("CHIUDI"))
                    connect(button, &QPushButton::clicked, this, &KeypadWindow::off);
                widget = button;
                break;
            }
            case ControlKind::display: {
                auto* display = new DisplayLine(this);
                display->setFont(display_font());
                set_colours(display, colour_of(c.colour),
                            QApplication::palette().color(QPalette::WindowText));
                display->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
                display_ = display;
                widget = display;
                break;
            }
            case ControlKind::mark: {
                auto* mark = new QLabel(text, this);
                mark->setTextFormat(Qt::PlainText);
                mark->setFont(sans_bold());
                mark->setAlignment(Qt::AlignCenter);
                mark_ = mark;
                widget = mark;
                break;
            }
        }
        widget->setObjectName(name);
        place(widget, c.place, c.point_size);
        if (c.hidden) widget->hide();
    }
}

void KeypadWindow::build_keys() {
    for (const auto& key : key_table()) add_key(key);
}

QPushButton* KeypadWindow::add_key(const KeySpec& key) {
    auto* button = new KeyButton(QString::fromStdString(key.caption), this);
    button->setObjectName(QString::fromStdString(key.name));
    button->setFont(sans_bold());
    button->setStyleSheet(flat_button_style(colour_of(key.colour)));
    place(button, key.place, key.point_size);
    if (key.icon) {
        button->setIcon(key_icon(key.name));
        button->setIconSize({icon_pixels, icon_pixels});
    }
    const std::string hint = keyboard_hint(key.name);
    if (!hint.empty()) button->setToolTip(QString::fromStdString(hint));
    if (key.hidden) button->hide();
    connect(button, &QPushButton::clicked, this, [this, &key] { press_key(key); });
    return button;
}

SettingsFields KeypadWindow::fields() const {
    return {to_single_bytes(ip_field_->text()), to_single_bytes(data_field_->text()),
            to_single_bytes(send_field_->text())};
}

void KeypadWindow::start() {
    credits_->setText(from_view(credits_with_version(program_version())));
    const SettingsFields read = session_->read_settings();
    ip_field_->setText(from_single_bytes(read.address));
    data_field_->setText(from_single_bytes(read.data));
    send_field_->setText(from_single_bytes(read.send));
    setFocus();
    connect_register();
}

void KeypadWindow::connect_register() {
    session_->connect(fields());
}

void KeypadWindow::disconnect_register() {
    session_->disconnect();
    display_->clear();
}

void KeypadWindow::save_address() {
    const bool saved = session_->save_address(fields());
    display_->clear();
    if (!saved) report(save_failure_text);
}

void KeypadWindow::off() {
    session_->off();
    close();
}

void KeypadWindow::press_key(const KeySpec& key) {
    if (!session_->press(key)) report(send_failure_text);
}

void KeypadWindow::report(std::string_view text) {
    QMessageBox box(QMessageBox::NoIcon, from_view(program_title), from_view(text), QMessageBox::Ok,
                    this);
    box.exec();
}

void KeypadWindow::show_arrival() {
    const QByteArray arrival = data_->readAll();
    const std::string& text = session_->data_arrived(
        std::string_view(arrival.constData(), static_cast<std::size_t>(arrival.size())));
    display_->setText(from_single_bytes(text));
}

void KeypadWindow::show_connection() {
    const bool on = session_->connected();
    mark_->setText(from_view(on ? mark_on_text : mark_off_text));
    set_colours(mark_, QColor::fromRgb(on ? mark_on_colour : mark_off_colour), Qt::white);
}

// The PC keyboard plays the keypad, except while the IP field is being
// edited (Escape leaves it).
void KeypadWindow::keyPressEvent(QKeyEvent* event) {
    if (focusWidget() == ip_field_ && ip_field_ != nullptr) {
        if (event->key() == Qt::Key_Escape) setFocus();
        return;
    }
    // A held PC key presses its keypad key once: the register counts every
    // press.
    if (event->isAutoRepeat()) {
        event->accept();
        return;
    }
    const KeySpec* key = nullptr;
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            key = key_for_special(SpecialKey::enter);
            break;
        case Qt::Key_Backspace:
            key = key_for_special(SpecialKey::backspace);
            break;
        case Qt::Key_Escape:
            key = key_for_special(SpecialKey::escape);
            break;
        default:
            if (event->key() >= Qt::Key_F1 && event->key() <= Qt::Key_F12)
                key = key_for_special(SpecialKey::function, event->key() - Qt::Key_F1 + 1);
            else if (event->text().size() == 1)
                key = key_for_char(event->text().at(0).unicode());
    }
    if (key == nullptr) {
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
    press_key(*key);
}

void KeypadWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    apply_layout();
}

void KeypadWindow::apply_layout() {
    const double s = fit_scale(natural_scale, width(), height());
    for (const auto& p : placed_) {
        const PixelRect r = scaled(p.where, s);
        p.widget->setGeometry(r.left, r.top, r.width, r.height);
        QFont font = p.widget->font();
        font.setPointSizeF(p.points * s * twips_per_pixel);
        p.widget->setFont(font);
    }
}

void KeypadWindow::fit_to(QSize available, QSize frame) {
    const double s = fit_scale(natural_scale, available.width() - frame.width(),
                               available.height() - frame.height());
    const PixelRect r = scaled({0, 0, form_width, form_height}, s);
    resize(r.width, r.height);
    apply_layout();
}

}  // namespace delpad
